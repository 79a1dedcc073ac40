"""Odd objects handed to the registry meet the same treatment as in the pure-Python reference:
the same result or exception (type, text, context), the same calls into their own Python code
in the same order and number, the same tree and the same debug records."""
import re
import sys

import pytest

import mirvak.core.pluginmanager as native
from helpers import A, B, load_reference

# The old name warns from 3.14 on; its successor (3.13+) clears the type cache too.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache

reference = load_reference()
journal = []


class Shout(str):
    """What `str()` of a Loud gives: a str subclass with its own `+` from the left."""

    def __radd__(self, other):
        journal.append(("radd", str(other)))
        return Shout(str(other) + str.__str__(self) + "!")

    def __add__(self, other):
        journal.append(("add", str(other)))
        return Shout(str.__str__(self) + str(other))


class Loud:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        journal.append(("str", self.text))
        return Shout(self.text)

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return isinstance(other, Loud) and other.text == self.text


class ClaimsStr:
    """Passes isinstance(x, str) through its `__class__` alone."""

    def __init__(self, text):
        self.text = text

    on_class = None  # called when __class__ is read, if set

    @property
    def __class__(self):
        journal.append(("__class__", self.text))
        if ClaimsStr.on_class is not None:
            ClaimsStr.on_class()
        return str

    def __eq__(self, other):
        journal.append(("eq", self.text, str(other)))
        return self.text == other

    def __hash__(self):
        return hash(self.text)

    def __str__(self):
        journal.append(("str", self.text))
        return self.text

    __repr__ = __str__

    def islower(self):
        journal.append(("islower", self.text))
        return self.text.islower()

    def isdigit(self):
        journal.append(("isdigit", self.text))
        return self.text.isdigit()

    def __lt__(self, other):
        return self.text < str(other)


class Flipping(str):
    """A str whose equality answers alternately, noting each question."""

    def __new__(cls, text):
        made = super().__new__(cls, text)
        made.answers = 0
        return made

    def __eq__(self, other):
        self.answers += 1
        journal.append(("eq", str.__str__(self), str(other), self.answers))
        return self.answers % 2 == 1

    __hash__ = str.__hash__


class Unprintable:
    def __str__(self):
        journal.append(("str", "unprintable"))
        raise ValueError("no text")

    def __lt__(self, other):
        return NotImplemented

    __gt__ = __lt__


class Counting(dict):
    def keys(self):
        journal.append(("keys", len(self)))
        return super().keys()


class LoudMeta(type):
    def __str__(cls):
        journal.append(("str", "class"))
        return Shout("<class>")


ODD = {
    "claims str": lambda text: ClaimsStr(text),
    "claims str data": lambda text: ClaimsStr("data"),
    "str gives subclass": lambda text: Loud(text),
    "flipping eq": lambda text: Flipping(text),
    "unprintable": lambda text: Unprintable(),
}
PLACES = {"os": "linux", "platform": "p1", "model": "m1", "os_flavor": "f1",
          "chassis_type": "single_rp"}


class Recorder:
    def __init__(self):
        self.records = []

    def debug(self, text):
        self.records.append(str(text))


def run(module, action, missing=None):
    """(outcome, journal, tree shape, records) of `action(manager)` on one implementation,
    with the module global `missing` unbound meanwhile."""
    journal.clear()
    saved_log, module.log = module.log, Recorder()
    manager = module.PluginManager()
    for cls, place in ((A, dict(os="linux")), (B, dict(os="linux", platform="p1")),
                       (A, dict(os="freebsd", chassis_type="dual_rp"))):
        manager.register_plugin(cls, **place)
    journal.clear()
    recorder = module.log
    saved_global = module.__dict__.pop(missing) if missing else None
    try:
        outcome = ("result", action(manager))
    except Exception as error:  # noqa: BLE001 - the exception itself is compared
        context = error.__context__
        outcome = (type(error).__name__, str(error), type(context).__name__ if context else None)
    finally:
        if missing:
            setattr(module, missing, saved_global)
        records, module.log = recorder.records, saved_log
    return anonymous(outcome), [anonymous(entry) for entry in journal], shape(manager.plugins), records


def anonymous(entry):
    """The entry with object addresses (which differ between the two managers) left out."""
    return tuple(re.sub(r"0x[0-9a-f]+", "0x", part) if isinstance(part, str) else part
                 for part in entry)


def shape(node):
    if isinstance(node, dict):
        return [(key if type(key) is str else type(key).__name__, shape(value))
                for key, value in node.items()]
    return node


def same_in_both(action, missing=None):
    assert run(native, action, missing) == run(reference, action, missing)


def registry_call(operation, identifiers):
    """The call `operation(**identifiers())`; the odd objects are made afresh for each run."""
    def action(manager):
        method = getattr(manager, operation)
        given = identifiers()
        return method(A, **given) if operation == "register_plugin" else method(**given)
    return action


@pytest.mark.parametrize("operation", ["register_plugin", "get_plugin", "unregister_plugin"])
@pytest.mark.parametrize("os_name", ["linux", "freebsd", None])
@pytest.mark.parametrize("place", list(PLACES))
@pytest.mark.parametrize("kind", list(ODD))
def test_odd_identifiers(kind, place, os_name, operation):
    def identifiers():
        given = dict(os=os_name, platform="p1", model=None, chassis_type="single_rp")
        given[place] = ODD[kind](PLACES[place])
        return given
    same_in_both(registry_call(operation, identifiers))


TREES = {
    "flipping keys": lambda: {Flipping("a"): {"x": 1}, Flipping("b"): {Flipping("c"): 2}},
    "flipping key last": lambda: {"a": {"x": 1}, Flipping("b"): 2},
    "flipping key not last": lambda: {Flipping("a"): 1, "b": 2},
    "claimed str keys": lambda: {ClaimsStr("a"): 1, ClaimsStr("b"): {ClaimsStr("c"): 3}},
    "unsortable, one unprintable": lambda: {1: "x", "b": 2, Unprintable(): 3},
    "counting nodes, sortable": lambda: Counting(a=Counting(b=1), c=2),
    "counting nodes, mixed keys": lambda: Counting({1: Counting({"x": 1, 2: 3}), "b": 2}),
    "leaf text from a subclass": lambda: {"a": Loud("leaf"), "b": {"c": Loud("deep")}},
}


@pytest.mark.parametrize("label", ["plugin", Shout("top")])
@pytest.mark.parametrize("tree", list(TREES))
def test_odd_trees_draw_alike(tree, label):
    same_in_both(lambda manager: manager.print_tree(TREES[tree](), label))


@pytest.mark.parametrize("missing", ["ConnectionInfraError", "log"])
@pytest.mark.parametrize("action", [
    registry_call("get_plugin", lambda: dict(os="linux", platform="p1", chassis_type=Loud("dual"))),
    registry_call("get_plugin", lambda: dict(os=ClaimsStr("plan9"))),
    registry_call("get_plugin", lambda: dict(os="freebsd", chassis_type=Loud("x"))),
    registry_call("unregister_plugin", lambda: dict(os="linux", chassis_type=Loud("gone"))),
    registry_call("register_plugin", lambda: dict(os="linux", model=Loud("m1"))),
    lambda manager: manager.register_plugin(B, "linux"),
], ids=["not found", "unknown os logged", "chassis refused", "nothing to remove",
        "model without platform", "replacement logged"])
def test_globals_are_looked_up_before_the_message_is_built(missing, action):
    same_in_both(action, missing)


def test_representation_label_is_built_with_plus():
    def action(manager):
        manager.__class__ = LoudMeta("Sub", (type(manager),), {})
        return repr(manager)
    same_in_both(action)


class Colliding(str):
    """A key with the hash of "p1" that is not equal to it, noting each comparison."""

    def __hash__(self):
        return hash("p1")

    def __eq__(self, other):
        journal.append(("eq", str.__str__(self), str(other)))
        return str.__eq__(self, other)


def collide(node):
    """Puts a Colliding key where a lookup of "p1" meets it first."""
    p1 = node.pop("p1")
    node[Colliding("zz")] = {}
    node["p1"] = p1


def noted(name):
    def validator(self, **identifiers):
        journal.append((name, sorted(identifiers)))
    return validator


cleanups = []


def replace_code(function):
    def validate_platform(self, os, platform):
        journal.append(("platform code", os, platform))
    cleanups.append(lambda code=function.__code__: setattr(function, "__code__", code))
    function.__code__ = validate_platform.__code__.replace(co_name=function.__code__.co_name)


def warm(manager):
    return [manager.get_plugin("linux", "p1") for _ in range(3)]


# Each change made after the same lookups ran a few times: whatever the native class
# remembers must follow, as the plain class does.
CHANGES = {
    "validator replaced on the class": lambda m: setattr(type(m), "validate_os",
                                                         noted("os on class")),
    "validator set on the instance": lambda m: setattr(m, "validate_os", lambda os: journal.append(
        ("os on instance", os))),
    "instance attribute deleted again": lambda m: (setattr(m, "validate_os", print),
                                                   delattr(m, "validate_os")),
    "instance dictionary replaced": lambda m: setattr(m, "__dict__", dict(
        vars(m), validate_model=lambda **kw: journal.append(("model", sorted(kw))))),
    "list of systems replaced": lambda m: setattr(m, "supported_os", ["plan9"]),
    "list of systems changed in place": lambda m: m.supported_os.remove("linux"),
    "tree gains a colliding key": lambda m: collide(m.plugins["linux"]),
    "tree node replaced": lambda m: m.plugins.update(linux={"p1": {"data": {"single_rp": {
        "cls": B, "path": "x"}}}}),
    "code of a method replaced": lambda m: replace_code(type(m).__mro__[1].validate_platform),
    "tree read through a property of the class": lambda m: setattr(type(m), "_plugins", property(
        lambda self: {"linux": {"p1": {"data": {"single_rp": {"cls": B, "path": "x"}}}}})),
    "list of systems read through a property of the class": lambda m: setattr(
        type(m), "supported_os", property(lambda self: ["plan9"])),
    "type cache cleared, then a validator replaced": lambda m: (
        clear_type_cache(), setattr(type(m), "validate_model", noted("model on class"))),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_changes_after_warm_up_are_honoured(change):
    def action(manager):
        manager.__class__ = type("Sub", (type(manager),), {})  # a class of its own to change
        manager.supported_os = list(manager.supported_os)
        before = warm(manager)
        CHANGES[change](manager)
        return before, warm(manager), manager.get_plugin("linux", "p2", "m1")
    try:
        same_in_both(action)
    finally:
        while cleanups:
            cleanups.pop()()


class Meddler:
    """Python code run in the middle of an operation: it sets an attribute on the manager."""

    def __init__(self, manager, attribute, value):
        self.manager, self.attribute, self.value = manager, attribute, value

    def __call__(self, *args):
        journal.append(("meddles", self.attribute))
        setattr(self.manager, self.attribute, self.value)
        return True


class MeddlingList(list):
    def __contains__(self, item):
        return self.meddle() and list.__contains__(self, item)


class MeddlingText(str):
    def __bool__(self):
        return self.meddle()


def meddling(kind, manager, attribute, value, text="dual_rp"):
    """An object of `kind` whose first use sets `manager.<attribute> = value`."""
    made = kind(["linux", "freebsd"]) if kind is MeddlingList else kind(text)
    made.meddle = Meddler(manager, attribute, value)
    return made


# Each: (what Python code runs mid-operation, and what it changes).
DURING = {
    "log handler sets a validator": lambda m: (
        setattr(m, "log_hook", Meddler(m, "validate_chassis_type", noted("chassis set"))),
        m.get_plugin("plan9", chassis_type="stack")),
    "list of systems sets a validator": lambda m: (
        setattr(m, "supported_os", meddling(MeddlingList, m, "validate_chassis_type",
                                            noted("chassis set"))),
        m.get_plugin("freebsd", chassis_type="dual_rp")),
    "chassis type replaces the tree": lambda m: m.get_plugin(
        "freebsd", chassis_type=meddling(MeddlingText, m, "_plugins", {})),
    "chassis type replaces the list": lambda m: m.get_plugin(
        "freebsd", chassis_type=meddling(MeddlingText, m, "chassis_type_list", ["single_rp"])),
    "override sets a validator": lambda m: (
        setattr(m, "__class__", type("Sub", (type(m),), {"validate_os": lambda self, os: Meddler(
            m, "validate_chassis_type", noted("chassis set"))()})),
        m.validate_arguments("freebsd", None, None, "dual_rp")),
    "path member replaces the tree": lambda m: m.get_plugin(
        "linux", os_flavor=ClaimsStr("f1"), chassis_type="single_rp"),
}


@pytest.mark.parametrize("case", list(DURING))
def test_changes_made_during_an_operation_are_honoured(case):
    def action(manager):
        module = native if isinstance(manager, native.PluginManager) else reference
        if case == "log handler sets a validator":
            module.log.debug = lambda text: manager.log_hook(text)
        if case == "path member replaces the tree":
            ClaimsStr.on_class = Meddler(manager, "_plugins", {"linux": {}})
        try:
            return DURING[case](manager)
        finally:
            ClaimsStr.on_class = None
    same_in_both(action)


class OnClassOnly:
    """Gives the wrapped function when read on the class, something else on an instance."""

    def __init__(self, function):
        self.function = function

    def __get__(self, instance, owner):
        return self.function if instance is None else (lambda **kw: journal.append(("got", kw)))


def fooling(module, how):
    """A manager whose `validate_chassis_type`, as attribute access finds it, is not the class's
    own method called on that manager, although it looks like it from some side."""
    base = module.PluginManager
    if how == "static":
        return type("Static", (base,), {"validate_chassis_type": staticmethod(base.validate_chassis_type)})()
    if how == "class only":
        return type("ClassOnly", (base,), {"validate_chassis_type": OnClassOnly(base.validate_chassis_type)})()
    other = base()
    other.chassis_type_list = ["odd"]
    if how == "getattribute":  # gives another manager's method
        def __getattribute__(self, name):
            journal.append(("getattribute", name))
            if name == "validate_chassis_type":
                return other.validate_chassis_type
            return object.__getattribute__(self, name)
        return type("Watched", (base,), {"__getattribute__": __getattribute__})()
    manager = base()
    manager.validate_chassis_type = other.validate_chassis_type
    return manager


@pytest.mark.parametrize("how", ["static", "class only", "getattribute", "other manager"])
def test_what_only_looks_like_the_own_method_is_called_as_it_is(how):
    def run(module):
        journal.clear()
        try:
            result = fooling(module, how).validate_arguments("freebsd", None, None, "odd")
        except Exception as error:  # noqa: BLE001 - compared below
            result = (type(error).__name__, str(error))
        return result, list(journal)

    assert run(native) == run(reference)
