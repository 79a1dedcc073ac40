"""Hostile input for every public method: each call ends in a result or a Python exception,
never a crash, and a failed operation leaves the tree as it was wherever that is promised
(validation failures, unhashable identifiers, a class without a source file, lookups,
removals that find nothing, drawings)."""
import inspect
from collections import UserDict

import pytest

import mirvak.core.pluginmanager as pm
from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import PluginManager


class Alpha:
    pass


class Beta:
    pass


class Hostile(Exception):
    """Raised by the hostile objects below, so that its propagation can be recognised."""


def shape(node):
    if isinstance(node, dict):
        return [(key, shape(value)) for key, value in node.items()]
    return node


def attempt(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - any Python exception is an acceptable end
        return error


def filled():
    manager = PluginManager()
    manager.register_plugin(Alpha, "linux")
    manager.register_plugin(Beta, "linux", chassis_type="dual_rp")
    manager.register_plugin(Alpha, "linux", "p1")
    manager.register_plugin(Beta, "linux", "p1", "m1")
    manager.register_plugin(Alpha, "linux", os_flavor="f1")
    manager.register_plugin(Beta, "freebsd", chassis_type="stack")
    return manager


def still_usable(manager):
    """The manager and a fresh one keep working after whatever happened."""
    attempt(repr, manager)
    fresh = PluginManager()
    fresh.register_plugin(Alpha, "linux", "p1")
    assert fresh.get_plugin("linux", "p1", "m1") is Alpha
    assert repr(fresh).endswith("|__ cls = " + str(Alpha) + "\n          |__ path = "
                                + inspect.getfile(Alpha))


# -- hostile identifiers ---------------------------------------------------------------------

def text_class(kind, manager):
    """A str subclass misbehaving in one way; `manager` is the registry it may disturb."""

    def fail(*_):
        raise Hostile(kind)

    def clear_tree():
        manager._plugins.clear()

    namespace = {"__hash__": str.__hash__}
    if kind == "eq raises":
        namespace["__eq__"] = lambda self, other: fail()
    elif kind == "eq gives odd truth":
        namespace["__eq__"] = lambda self, other: type("Odd", (), {"__bool__": fail})()
    elif kind == "hash raises":
        namespace["__hash__"] = lambda self: fail()
    elif kind == "hash varies":
        counter = iter(range(10**9))
        namespace["__hash__"] = lambda self: next(counter)
    elif kind == "islower raises":
        namespace["islower"] = lambda self: fail()
    elif kind == "isdigit raises":
        namespace["islower"] = lambda self: False
        namespace["isdigit"] = lambda self: fail()
    elif kind == "str raises":
        namespace["__str__"] = lambda self: fail()
    elif kind == "str not text":
        namespace["__str__"] = lambda self: 5
    elif kind == "lt raises":
        namespace["__lt__"] = lambda self, other: fail()
        namespace["__gt__"] = lambda self, other: fail()
    elif kind == "eq clears tree":
        namespace["__eq__"] = lambda self, other: (clear_tree(), str.__eq__(self, other))[1]
    elif kind == "hash clears tree":
        namespace["__hash__"] = lambda self: (clear_tree(), str.__hash__(self))[1]
    elif kind == "eq replaces root":
        namespace["__eq__"] = lambda self, other: (
            setattr(manager, "_plugins", {}), str.__eq__(self, other))[1]
    elif kind == "islower registers":
        namespace["islower"] = lambda self: (
            manager.register_plugin(Beta, "linux", "p1"), str.islower(self))[1]
    elif kind == "hash unregisters":
        namespace["__hash__"] = lambda self: (
            attempt(manager.unregister_plugin, "linux"), str.__hash__(self))[1]
    return type("Text", (str,), namespace)


KINDS_CALM = ["eq raises", "eq gives odd truth", "hash raises", "islower raises",
              "isdigit raises", "str raises", "str not text", "lt raises"]
# A hash that changes between the membership test and the store is as disruptive as a change
# of the tree itself: the node made under one hash is not found under the next.
KINDS_MUTATING = ["eq clears tree", "hash clears tree", "eq replaces root", "islower registers",
                  "hash unregisters", "hash varies"]
# Texts that collide with keys of the filled tree, so that comparisons really happen.
SPOTS = {"os": "linux", "platform": "p1", "model": "m1", "os_flavor": "f1",
         "chassis_type": "single_rp"}
OPERATIONS = ["register_plugin", "get_plugin", "unregister_plugin"]


def call_operation(manager, operation, **identifiers):
    arguments = {"os": "linux"}
    arguments.update(identifiers)
    if arguments.get("model") is not None and arguments.get("platform") is None:
        arguments["platform"] = "p1"
    method = getattr(manager, operation)
    if operation == "register_plugin":
        return attempt(method, Alpha, **arguments)
    return attempt(method, **arguments)


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("spot", list(SPOTS))
@pytest.mark.parametrize("kind", KINDS_CALM)
def test_misbehaving_text_identifiers(operation, spot, kind):
    manager = filled()
    before = shape(manager.plugins)
    value = text_class(kind, manager)(SPOTS[spot])
    result = call_operation(manager, operation, **{spot: value})
    if isinstance(result, Exception):
        assert shape(manager.plugins) == before, result
        if isinstance(result, Hostile):
            assert result.args == (kind,)
    for drawing in (attempt(repr, manager), attempt(manager.print_tree, manager.plugins)):
        assert isinstance(drawing, (str, Exception))
    still_usable(manager)


@pytest.mark.parametrize("operation", OPERATIONS + ["print_tree", "__repr__"])
@pytest.mark.parametrize("spot", list(SPOTS))
@pytest.mark.parametrize("kind", KINDS_MUTATING)
def test_identifiers_that_change_the_registry_midway(operation, spot, kind):
    manager = filled()
    value = text_class(kind, manager)(SPOTS[spot])
    if operation == "print_tree":
        tree = {value: {"data": 1}, "zz": {value: 2}, SPOTS[spot] + "x": 3}
        result = attempt(manager.print_tree, tree)
    elif operation == "__repr__":
        # Stored beside, not over, an equal key: an __eq__ that empties the dict it is being
        # inserted into trips the interpreter's own dict (an assertion of 3.11's debug build).
        key = type(value)(str(SPOTS[spot]) + "2")
        manager.plugins[key] = {"data": {key: {"cls": Alpha, "path": "/x"}}}
        result = attempt(repr, manager)
    else:
        result = call_operation(manager, operation, **{spot: value})
    assert result is None or isinstance(result, (type, str, Exception))
    assert isinstance(attempt(repr, manager), (str, Exception))
    still_usable(manager)


UNHASHABLE = [[], ["linux"], {}, {"a": 1}, set(), bytearray(b"p1")]


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("spot", list(SPOTS))
@pytest.mark.parametrize("value", UNHASHABLE, ids=repr)
def test_unhashable_identifiers_change_nothing(operation, spot, value):
    manager = filled()
    before = shape(manager.plugins)
    result = call_operation(manager, operation, **{spot: value})
    assert isinstance(result, (TypeError, ConnectionInfraError)), result
    assert shape(manager.plugins) == before
    still_usable(manager)


@pytest.mark.parametrize("spot", ["os", "platform", "model", "os_flavor", "chassis_type"])
@pytest.mark.parametrize("value", [Alpha, print, 3.5, b"p1", object(), (1, [2]), "\ud800",
                                   "x" * 100000, "p1\n|__ forged", 10**100, True, Ellipsis],
                         ids=lambda value: type(value).__name__)
def test_odd_but_hashable_identifiers_round_trip(spot, value):
    manager = filled()
    before = shape(manager.plugins)
    registered = call_operation(manager, "register_plugin", **{spot: value})
    if isinstance(registered, Exception):
        assert shape(manager.plugins) == before
        return
    found = call_operation(manager, "get_plugin", **{spot: value})
    assert found is Alpha or isinstance(found, ConnectionInfraError)
    drawing = attempt(repr, manager)
    assert isinstance(drawing, str), drawing
    assert isinstance(call_operation(manager, "unregister_plugin", **{spot: value}),
                      (type(None), ConnectionInfraError))
    still_usable(manager)


# -- hostile nodes and trees -----------------------------------------------------------------

def keys_returning(produce):
    return type("OddNode", (dict,), {"keys": lambda self: produce(self)})


ODD_KEYS = {
    "raises": lambda node: (_ for _ in ()).throw(Hostile("keys")),
    "not iterable": lambda node: 5,
    "None": lambda node: None,
    "lies": lambda node: ["p1", "m1", "data", "ghost", "single_rp"],
    "empty": lambda node: [],
    "generator": lambda node: (key for key in dict.keys(node)),
    "clears itself": lambda node: (node.clear(), [])[1],
    "iterator raising": lambda node: iter(type("It", (), {
        "__iter__": lambda s: s, "__next__": lambda s: (_ for _ in ()).throw(Hostile("next"))})()),
    "unhashable keys": lambda node: [[1], {}],
}


@pytest.mark.parametrize("where", ["root", "linux node", "chassis mapping", "record"])
@pytest.mark.parametrize("odd", list(ODD_KEYS))
@pytest.mark.parametrize("operation", ["register", "get", "unregister", "unregister all",
                                       "print_tree", "repr"])
def test_dict_subclass_nodes_with_odd_keys(where, odd, operation):
    manager = filled()
    node_type = keys_returning(ODD_KEYS[odd])
    tree = manager.plugins
    if where == "root":
        manager._plugins = node_type(tree)
    elif where == "linux node":
        tree["linux"] = node_type(tree["linux"])
    elif where == "chassis mapping":
        tree["linux"]["data"] = node_type(tree["linux"]["data"])
    else:
        tree["linux"]["data"]["single_rp"] = node_type(tree["linux"]["data"]["single_rp"])
    calls = {
        "register": lambda: manager.register_plugin(Beta, "linux", chassis_type="single_rp"),
        "get": lambda: manager.get_plugin("linux", "p1", "zz"),
        "unregister": lambda: manager.unregister_plugin("linux", chassis_type="single_rp"),
        "unregister all": lambda: manager.unregister_plugin("linux"),
        "print_tree": lambda: manager.print_tree(manager._plugins),
        "repr": lambda: repr(manager),
    }
    result = attempt(calls[operation])
    assert result is None or isinstance(result, (type, str, Exception)), result
    still_usable(manager)


class Mapping:
    """A mapping that is not a dict: keys(), item access and assignment only."""

    def __init__(self):
        self.store = {}

    def keys(self):
        return self.store.keys()

    def __getitem__(self, key):
        return self.store[key]

    def __setitem__(self, key, value):
        self.store[key] = value

    def __delitem__(self, key):
        del self.store[key]


@pytest.mark.parametrize("root", [None, [], ["linux"], 0, 5, "linux", (), UserDict(), Mapping(),
                                  type("Bare", (), {})()],
                         ids=lambda root: type(root).__name__)
@pytest.mark.parametrize("operation", ["register", "get", "unregister", "print_tree", "repr"])
def test_replaced_root(root, operation):
    manager = PluginManager()
    manager._plugins = root
    calls = {
        "register": lambda: manager.register_plugin(Alpha, "linux", "p1"),
        "get": lambda: manager.get_plugin("linux", "p1"),
        "unregister": lambda: manager.unregister_plugin("linux"),
        "print_tree": lambda: manager.print_tree(manager._plugins),
        "repr": lambda: repr(manager),
    }
    result = attempt(calls[operation])
    assert result is None or isinstance(result, (type, str, Exception)), result
    if isinstance(root, (UserDict, Mapping)) and operation == "register":
        # A mapping that is not a dict still works as the root: the walks use keys() and items.
        assert result is None
        assert manager.get_plugin("linux", "p1") is Alpha
        assert manager.unregister_plugin("linux", "p1") is None
    if root is None and operation in ("register", "get", "unregister"):
        assert isinstance(result, AttributeError)
    if operation == "repr" and not root:
        assert result == ""
    still_usable(manager)


def test_deleted_root():
    manager = filled()
    del manager._plugins
    for call in (lambda: manager.register_plugin(Alpha, "linux"), lambda: repr(manager),
                 lambda: manager.get_plugin("linux"), lambda: manager.unregister_plugin("linux")):
        assert isinstance(attempt(call), AttributeError)
    still_usable(manager)


def test_self_containing_tree_draws_to_recursion_error():
    manager = PluginManager()
    manager._plugins = tree = {"linux": {}}
    tree["linux"]["loop"] = tree
    assert isinstance(attempt(repr, manager), RecursionError)
    tree["linux"]["p1"] = tree["linux"]  # a lookup through the loop stops at the path's end
    manager.register_plugin(Alpha, "linux", "p1", "p1")
    assert manager.get_plugin("linux", "p1", "p1", "p1") is Alpha
    assert isinstance(attempt(repr, manager), RecursionError)
    still_usable(manager)


@pytest.mark.parametrize("chassis_mapping", [None, 0, [], ["single_rp"], "single_rp", 5,
                                             {"single_rp": None}, {"single_rp": 5},
                                             {"single_rp": {}}, {"single_rp": {"path": "/x"}},
                                             {"single_rp": {"cls": 5}}])
@pytest.mark.parametrize("operation", ["register", "get", "unregister", "unregister all", "repr"])
def test_corrupted_chassis_mappings_and_records(chassis_mapping, operation):
    manager = filled()
    manager.plugins["linux"]["data"] = chassis_mapping
    before = shape(manager.plugins)
    calls = {
        "register": lambda: manager.register_plugin(Beta, "linux"),
        "get": lambda: manager.get_plugin("linux"),
        "unregister": lambda: manager.unregister_plugin("linux", chassis_type="single_rp"),
        "unregister all": lambda: manager.unregister_plugin("linux"),
        "repr": lambda: repr(manager),
    }
    result = attempt(calls[operation])
    assert result is None or isinstance(result, (type, int, str, Exception)), result
    if operation == "register" and isinstance(result, Exception):
        # A replacement that cannot read the old record's class name keeps the old record.
        assert shape(manager.plugins) == before
    still_usable(manager)


# -- hostile collaborators: lists, logger, error class, getfile, overrides -------------------

class Container:
    def __init__(self, contains=None, text=None):
        self.contains, self.text = contains, text

    def __contains__(self, item):
        return self.contains(item)

    def __str__(self):
        return self.text()


def boom(*_):
    raise Hostile("boom")


LISTS = {
    "contains raises": Container(contains=boom, text=lambda: "[listed]"),
    "str raises": Container(contains=lambda item: False, text=boom),
    "str not text": Container(contains=lambda item: False, text=lambda: 7),
    "None": None,
    "int": 3,
    "contains registers": None,  # filled in by the test: needs the manager
}


@pytest.mark.parametrize("attribute", ["supported_os", "chassis_type_list"])
@pytest.mark.parametrize("odd", list(LISTS))
@pytest.mark.parametrize("call", ["validate", "register", "get", "unregister"])
@pytest.mark.parametrize("system", ["freebsd", "plan9", "linux", ""])
def test_hostile_lists(attribute, odd, call, system):
    manager = filled()
    value = LISTS[odd]
    if odd == "contains registers":
        value = Container(contains=lambda item: manager.register_plugin(Beta, "linux", "p9")
                          or True, text=lambda: "[x]")
    setattr(manager, attribute, value)
    before = shape(manager.plugins)
    calls = {
        "validate": lambda: manager.validate_arguments(system, None, None, "single_rp"),
        "register": lambda: manager.register_plugin(Alpha, system, "p1"),
        "get": lambda: manager.get_plugin(system, "p1"),
        "unregister": lambda: manager.unregister_plugin(system, "p1"),
    }
    result = attempt(calls[call])
    assert result is None or isinstance(result, (type, Exception)), result
    if isinstance(result, Hostile) and odd != "contains registers":
        assert shape(manager.plugins) == before  # raised during validation
    still_usable(manager)


class RaisingLogger:
    def debug(self, *args):
        raise Hostile("logger")


@pytest.mark.parametrize("logger", [RaisingLogger(), None, 5, type("NoDebug", (), {})(),
                                    type("DebugNotCallable", (), {"debug": 3})()],
                         ids=lambda logger: type(logger).__name__)
def test_hostile_logger(monkeypatch, logger):
    manager = filled()
    monkeypatch.setattr(pm, "log", logger)
    record = manager.plugins["linux"]["data"]["single_rp"]
    before = shape(manager.plugins)
    # A replacement is logged first: when the logger fails, the old record stays in place.
    result = attempt(manager.register_plugin, Beta, "linux")
    assert isinstance(result, Exception)
    assert manager.plugins["linux"]["data"]["single_rp"] is record
    assert shape(manager.plugins) == before
    # An OS outside the built-in list is logged during validation, before anything is touched.
    for call in (manager.validate_os, manager.get_plugin, manager.unregister_plugin):
        assert isinstance(attempt(call, "plan9"), Exception)
    assert isinstance(attempt(manager.register_plugin, Alpha, "plan9"), Exception)
    assert shape(manager.plugins) == before
    # Operations that log nothing are unaffected.
    manager.register_plugin(Alpha, "linux", "p2")
    assert manager.get_plugin("linux", "p2") is Alpha
    monkeypatch.undo()
    still_usable(manager)


class NotAnException:
    def __init__(self, message):
        self.message = message


class RaisingInit(Exception):
    def __init__(self, message):
        raise Hostile("init")


def error_factories(manager):
    return {
        "int": int,
        "None": None,
        "a string": "ConnectionInfraError",
        "returns a number": lambda message: 42,
        "returns None": lambda message: None,
        "not an exception class": NotAnException,
        "returns an exception class": lambda message: KeyError,
        "returns another exception": lambda message: LookupError(message),
        "raises itself": lambda message: boom(),
        "init raises": RaisingInit,
        "base exception class": BaseException,
        "clears the tree": lambda message: (manager._plugins.clear(), ValueError(message))[1],
        "returns an instance of a non-exception": lambda message: object(),
    }


FAILING_CALLS = {
    "validation": lambda m: m.validate_os(None),
    "chassis validation": lambda m: m.validate_chassis_type("bad"),
    "model validation": lambda m: m.validate_model("linux", "p1", "M1"),
    "reserved": lambda m: m.register_plugin(Alpha, "linux", "data"),
    "not found": lambda m: m.get_plugin("linux", chassis_type="stack"),
    "removal path": lambda m: m.unregister_plugin("linux", "p7"),
    "removal chassis": lambda m: m.unregister_plugin("linux", chassis_type="stack"),
}


@pytest.mark.parametrize("factory", list(error_factories(None)))
@pytest.mark.parametrize("failing", list(FAILING_CALLS))
def test_rebound_error_class(monkeypatch, factory, failing):
    manager = filled()
    monkeypatch.setattr(pm, "ConnectionInfraError", error_factories(manager)[factory])
    try:
        result = attempt(FAILING_CALLS[failing], manager)
    except BaseException as error:  # BaseException itself may be raised: also a clean end
        assert type(error) is BaseException
        result = error
    assert isinstance(result, BaseException), result
    if factory in ("returns a number", "returns None", "not an exception class",
                   "returns an instance of a non-exception"):
        assert isinstance(result, TypeError)
        assert "BaseException" in str(result)
    if factory == "returns another exception":
        assert type(result) is LookupError
    if factory == "returns an exception class":
        assert type(result) is KeyError
    monkeypatch.undo()
    still_usable(manager)


@pytest.mark.parametrize("getfile", [
    lambda cls: 5, lambda cls: None, lambda cls: boom(), lambda cls: ["/a"],
    "not callable", None,
], ids=["number", "None", "raises", "list", "string", "None global"])
def test_rebound_getfile(monkeypatch, getfile):
    manager = filled()
    before = shape(manager.plugins)
    monkeypatch.setattr(pm, "getfile", getfile)
    result = attempt(manager.register_plugin, Alpha, "linux", "p5", "m5", "f5")
    if isinstance(result, Exception):
        assert shape(manager.plugins) == before  # the class path comes before any node
    else:
        assert manager.plugins["linux"]["p5"]["m5"]["f5"]["data"]["single_rp"]["path"] == \
            getfile(Alpha)
    monkeypatch.undo()
    still_usable(manager)


def test_getfile_that_changes_the_registry(monkeypatch):
    manager = filled()

    def getfile(cls):
        manager._plugins = {"other": {}}
        return "/elsewhere.py"

    monkeypatch.setattr(pm, "getfile", getfile)
    manager.register_plugin(Alpha, "linux", "p1")
    # The walk starts from the root the instance holds after the class path was taken.
    assert shape(manager.plugins) == [
        ("other", []),
        ("linux", [("p1", [("data", [("single_rp", [("cls", Alpha),
                                                    ("path", "/elsewhere.py")])])])])]


@pytest.mark.parametrize("validator", ["validate_arguments", "validate_model", "validate_os",
                                       "validate_platform", "validate_chassis_type"])
@pytest.mark.parametrize("behaviour", ["raises", "replaces root", "deletes root", "returns odd",
                                       "not callable", "registers"])
@pytest.mark.parametrize("operation", ["register", "get", "unregister"])
def test_hostile_validator_overrides(validator, behaviour, operation):
    manager = filled()

    def override(*args, **kwargs):
        if behaviour == "raises":
            raise Hostile(validator)
        if behaviour == "replaces root":
            manager._plugins = {}
        elif behaviour == "deletes root":
            del manager._plugins
        elif behaviour == "registers":
            manager.__dict__.pop(validator)
            manager.register_plugin(Beta, "linux", "p1", "m1")
        return type("Odd", (), {"__bool__": boom, "__del__": lambda self: None})()

    setattr(manager, validator, 5 if behaviour == "not callable" else override)
    calls = {
        "register": lambda: manager.register_plugin(Alpha, "freebsd", "p1", "m1"),
        "get": lambda: manager.get_plugin("freebsd", "p1", "m1", chassis_type="stack"),
        "unregister": lambda: manager.unregister_plugin("freebsd", chassis_type="stack"),
    }
    result = attempt(calls[operation])
    assert result is None or isinstance(result, (type, Exception)), result
    still_usable(manager)


@pytest.mark.parametrize("override", [
    lambda self, data, output="plugin": 5,
    lambda self, data, output="plugin": None,
    lambda self, data, output="plugin": boom(),
    lambda self, data, output="plugin": self.__dict__.clear() or "",
    lambda self, **kwargs: kwargs["output"] + "!",
    "not callable",
], ids=["number", "None", "raises", "clears instance", "keywords only", "not callable"])
def test_hostile_print_tree_overrides(override):
    subclass = type("Drawing", (PluginManager,), {"print_tree": override})
    manager = subclass()
    manager.register_plugin(Alpha, "linux", "p1")
    for call in (lambda: repr(manager), lambda: PluginManager.print_tree(manager, manager.plugins)):
        result = attempt(call)
        assert isinstance(result, (str, Exception)) or result is None or result == 5
    still_usable(manager)


@pytest.mark.parametrize("attribute", ["__class__", "_plugins"])
def test_representation_with_failing_attributes(attribute):
    subclass = type("Odd", (PluginManager,), {attribute: property(boom)})
    manager = subclass.__new__(subclass)
    assert isinstance(attempt(repr, manager), Hostile)
    still_usable(PluginManager())


@pytest.mark.parametrize("keys", [
    [1, "a", None], [(1,), ("a",)], [b"x", "x"], [1.5, float("nan"), 1], ["\ud800", "a"],
    [object(), object()], [frozenset({1}), frozenset({2})],
], ids=["mixed", "tuples", "bytes and text", "floats", "surrogate", "objects", "sets"])
def test_drawing_keys_of_any_kind(keys):
    manager = PluginManager()
    tree = {key: {"data": {"single_rp": "x"}} for key in keys}
    text = manager.print_tree(tree)
    for key in keys:
        assert "|__ " + str(key) in text
    assert text.count("\n") == 3 * len(keys)


@pytest.mark.parametrize("method, args", [
    ("register_plugin", ()), ("register_plugin", (Alpha,) * 8), ("get_plugin", (1,) * 6),
    ("unregister_plugin", (1,) * 6), ("print_tree", ()), ("print_tree", (1, 2, 3)),
    ("validate_os", ()), ("validate_arguments", (1, 2, 3)), ("__repr__", (1,)),
    ("__init__", (1,)),
])
def test_wrong_argument_counts(method, args):
    manager = filled()
    before = shape(manager.plugins)
    assert isinstance(attempt(getattr(manager, method), *args), TypeError)
    assert shape(manager.plugins) == before


@pytest.mark.parametrize("method", ["get_plugin", "unregister_plugin", "register_plugin",
                                    "print_tree", "validate_os", "__repr__"])
def test_unbound_calls_on_foreign_objects(method):
    function = getattr(PluginManager, method)
    for target in (None, 5, object(), {"_plugins": {}}, type("T", (), {"_plugins": {}})()):
        result = attempt(function, target, *(["linux"] if method != "__repr__" else []))
        assert result is None or isinstance(result, (str, type, Exception)), result
    still_usable(PluginManager())
