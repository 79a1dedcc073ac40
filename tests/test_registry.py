"""Registration, lookup and removal over the registry tree."""
import copy
import inspect
import logging
import sys
import types

import pytest

import mirvak.core.pluginmanager as pm_module
from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import PluginManager

RESERVED = "Plugin identifier 'data' is reserved"


class A:
    pass


class B:
    pass


class C:
    pass


def rec(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


def not_found(path, chassis_type="single_rp"):
    return "Plugin data not found for (" + path + "), type: " + chassis_type + " "


def keys(mapping):
    return list(mapping)


@pytest.fixture
def debug_log():
    logger = logging.getLogger("mirvak")
    records = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = records.append
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield records
    logger.removeHandler(handler)
    logger.setLevel(level)


@pytest.fixture
def pm():
    return PluginManager()


@pytest.fixture
def module_m(monkeypatch):
    """A class B defined in a module named m."""
    module = types.ModuleType("m")
    module.__file__ = "/plugins/m.py"
    monkeypatch.setitem(sys.modules, "m", module)
    return type("B", (), {"__module__": "m"})


def message(call, *args, **kwargs):
    with pytest.raises(ConnectionInfraError) as caught:
        call(*args, **kwargs)
    assert len(caught.value.args) == 1
    return caught.value.args[0]


# --- registration ---------------------------------------------------------------------------


def test_tree_shapes_and_key_orders(pm, debug_log):
    pm.register_plugin(A, os="linux")
    assert pm.plugins == {"linux": {"data": {"single_rp": rec(A)}}}
    assert keys(pm.plugins["linux"]["data"]["single_rp"]) == ["cls", "path"]
    mapping = pm.plugins["linux"]["data"]
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    assert keys(pm.plugins["linux"]["data"]) == ["single_rp", "dual_rp"]
    assert pm.plugins["linux"]["data"] is mapping
    pm.register_plugin(C, "linux", "p1")
    assert keys(pm.plugins["linux"]) == ["data", "p1"]
    assert pm.plugins["linux"]["p1"] == {"data": {"single_rp": rec(C)}}
    assert pm.plugins["linux"]["data"] == {"single_rp": rec(A), "dual_rp": rec(B)}
    assert debug_log == []


@pytest.mark.parametrize(
    "kwargs, path",
    [
        ({}, ["linux"]),
        ({"platform": "p1"}, ["linux", "p1"]),
        ({"platform": "p1", "model": "m1"}, ["linux", "p1", "m1"]),
        ({"platform": "p1", "model": "m1", "os_flavor": "f1"}, ["linux", "p1", "m1", "f1"]),
        ({"os_flavor": "f1"}, ["linux", "f1"]),
        ({"platform": "p1", "os_flavor": "f1"}, ["linux", "p1", "f1"]),
        ({"platform": ""}, ["linux", ""]),
        ({"model": ""}, ["linux", None, ""]),
        ({"platform": "", "model": "", "os_flavor": ""}, ["linux", "", "", ""]),
    ],
)
def test_level_paths(pm, kwargs, path):
    pm.register_plugin(A, "linux", **kwargs)
    node = pm.plugins
    for member in path:
        assert keys(node) == [member]
        node = node[member]
    assert node == {"data": {"single_rp": rec(A)}}
    assert pm.get_plugin("linux", **kwargs) is A
    pm.unregister_plugin("linux", **kwargs)
    assert node == {}


def test_deeper_first_then_shallower(pm):
    pm.register_plugin(C, "linux", "p1")
    assert keys(pm.plugins["linux"]) == ["p1"]
    pm.register_plugin(A, "linux")
    assert keys(pm.plugins["linux"]) == ["p1", "data"]
    pm.register_plugin(B, "linux", os_flavor="f1")
    assert keys(pm.plugins["linux"]) == ["p1", "data", "f1"]


def test_replacement_logs_and_keeps_mapping(pm, debug_log, module_m):
    pm.register_plugin(A, "linux", "p1")
    pm.register_plugin(B, "linux", "p1", chassis_type="dual_rp")
    data = pm.plugins["linux"]["p1"]["data"]
    old = data["single_rp"]
    assert debug_log == []
    pm.register_plugin(module_m, "linux", "p1")
    assert [(r.levelno, r.name, r.getMessage(), r.args) for r in debug_log] == [
        (logging.DEBUG, "mirvak",
         " A already registered for ['linux', 'p1'], B from m is overriding this class", ())]
    assert pm.plugins["linux"]["p1"]["data"] is data
    assert keys(data) == ["single_rp", "dual_rp"]
    assert data["single_rp"] == {"cls": module_m, "path": "/plugins/m.py"}
    assert old == rec(A)


def test_same_class_again_logs_too(pm, debug_log):
    pm.register_plugin(A, "linux", os_flavor="f1")
    first = pm.plugins["linux"]["f1"]["data"]["single_rp"]
    pm.register_plugin(A, "linux", os_flavor="f1")
    assert [r.getMessage() for r in debug_log] == [
        " A already registered for ['linux', 'f1'], A from {} is overriding this class".format(
            __name__)]
    assert pm.plugins["linux"]["f1"]["data"]["single_rp"] is not first


def test_replacement_failure_keeps_old_record(pm, monkeypatch):
    pm.register_plugin(A, "linux")
    record = pm.plugins["linux"]["data"]["single_rp"]
    monkeypatch.setattr(pm_module, "getfile", lambda obj: "/x.py")
    with pytest.raises(AttributeError):
        pm.register_plugin(types.ModuleType("mod"), "linux")  # a module has no __module__
    assert pm.plugins["linux"]["data"]["single_rp"] is record

    class Broken:
        def debug(self, text):
            raise RuntimeError(text)

    monkeypatch.setattr(pm_module, "log", Broken())
    with pytest.raises(RuntimeError):
        pm.register_plugin(B, "linux")
    assert pm.plugins["linux"]["data"]["single_rp"] is record


@pytest.mark.parametrize("chassis_type", [42, None, ("x",), "anything"])
def test_linux_stores_any_hashable_chassis_type(pm, chassis_type):
    pm.register_plugin(A, "linux", chassis_type=chassis_type)
    assert keys(pm.plugins["linux"]["data"]) == [chassis_type]
    assert pm.get_plugin("linux", chassis_type=chassis_type) is A
    pm.unregister_plugin("linux", chassis_type=chassis_type)  # None: the whole mapping
    assert pm.plugins["linux"] == ({} if chassis_type is None else {"data": {}})


def test_validation_failure_leaves_tree(pm):
    assert message(pm.register_plugin, A, "freebsd", chassis_type="quad").startswith(
        "chassis Type should be one of these ")
    assert message(pm.register_plugin, A, "linux", "P1") == "platform (P1) has to be in lowercase"
    assert pm.plugins == {}


def test_module_globals_rebound(pm, monkeypatch):
    class OtherError(Exception):
        pass

    texts = []
    monkeypatch.setattr(pm_module, "getfile", lambda cls: "/elsewhere/" + cls.__name__)
    monkeypatch.setattr(pm_module, "log", types.SimpleNamespace(debug=texts.append))
    monkeypatch.setattr(pm_module, "ConnectionInfraError", OtherError)
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux")
    assert pm.plugins["linux"]["data"]["single_rp"] == {"cls": B, "path": "/elsewhere/B"}
    assert len(texts) == 1 and texts[0].startswith(" A already registered for ['linux']")
    with pytest.raises(OtherError, match="Plugin data not found"):
        pm.get_plugin("freebsd")
    with pytest.raises(OtherError, match="Plugin data not found"):
        pm.unregister_plugin("freebsd")
    monkeypatch.undo()
    pm.register_plugin(C, "linux")
    assert pm.plugins["linux"]["data"]["single_rp"] == rec(C)
    assert message(pm.get_plugin, "freebsd") == not_found("freebsd")


# --- lookup ---------------------------------------------------------------------------------


@pytest.fixture
def filled(pm):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1")
    return pm


@pytest.mark.parametrize(
    "args, kwargs, found",
    [
        (("linux",), {}, A),
        (("linux", "p1"), {}, B),
        (("linux", "p2"), {}, A),
        (("linux", "p2", "m1", "f1"), {}, A),
        (("linux", "p1", "m1", "f1"), {}, B),
        (("linux", None, None, "f1"), {}, A),
        (("linux", "z", "p1"), {}, B),  # a skipped member does not stop the descent
        (("linux", None, None, "p1"), {}, B),
        ((), {"os": "linux", "platform": "p1", "chassis_type": "single_rp"}, B),
    ],
)
def test_lookup_falls_back(filled, args, kwargs, found):
    assert filled.get_plugin(*args, **kwargs) is found


@pytest.mark.parametrize(
    "setup, query, expected",
    [
        ([(A, ("linux",), {})], (("linux",), {"chassis_type": "dual_rp"}),
         not_found("linux", "dual_rp")),
        ([(A, ("linux", "p1", "m1"), {})], (("linux", "p1"), {}), not_found("linux/p1")),
        ([(A, ("linux", "p1"), {}), (B, ("linux",), {"chassis_type": "dual_rp"})],
         (("linux", "p1"), {"chassis_type": "dual_rp"}), not_found("linux/p1", "dual_rp")),
        ([(A, ("linux",), {})], (("freebsd", "p1", "m1"), {}), not_found("freebsd/p1/m1")),
        ([(A, ("linux",), {})], (("linux",), {"chassis_type": None}), not_found("linux", "None")),
        ([], (("linux", None, None, 7), {}), not_found("linux/7")),
        ([], (("linux", None, ""), {}), not_found("linux/None/")),
        ([], (("linux", "", "", ""), {}), not_found("linux///")),
    ],
)
def test_lookup_failures(pm, setup, query, expected):
    for cls, args, kwargs in setup:
        pm.register_plugin(cls, *args, **kwargs)
    before = copy.deepcopy(pm.plugins)
    args, kwargs = query
    assert message(pm.get_plugin, *args, **kwargs) == expected
    assert pm.plugins == before


def test_lookup_with_non_text_members_succeeds(pm):
    pm.register_plugin(A, "linux", os_flavor=7)
    pm.register_plugin(B, "linux", model="")
    assert pm.get_plugin("linux", os_flavor=7) is A
    assert pm.get_plugin("linux", model="") is B


def test_lookup_reads_live_tree(pm):
    pm.plugins["linux"] = {"data": {"single_rp": {"cls": "written", "path": None}}}
    assert pm.get_plugin("linux") == "written"
    pm._plugins = {"linux": {"data": {"single_rp": {"cls": C}}}}
    assert pm.get_plugin("linux") is C


def test_empty_mapping_after_removal_fails_lookup(filled):
    filled.unregister_plugin("linux", chassis_type="single_rp")
    assert message(filled.get_plugin, "linux", "p2") == not_found("linux/p2")


# --- removal --------------------------------------------------------------------------------


def test_removal_of_chassis_types_and_mappings(pm):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.register_plugin(C, "linux", "p1")
    data = pm.plugins["linux"]["data"]
    assert pm.unregister_plugin("linux", chassis_type="dual_rp") is None
    assert data == {"single_rp": rec(A)}
    pm.unregister_plugin("linux", chassis_type="single_rp")
    assert pm.plugins["linux"]["data"] is data and data == {}
    assert message(pm.unregister_plugin, "linux", chassis_type="single_rp") == (
        "Plugin data not found for single_rp")
    pm.unregister_plugin("linux")
    assert pm.plugins == {"linux": {"p1": {"data": {"single_rp": rec(C)}}}}
    assert message(pm.unregister_plugin, "linux") == "Plugin data not found"


def test_removal_without_chassis_type_drops_whole_mapping(pm):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.register_plugin(C, "linux", "p1", "m1")
    pm.unregister_plugin(os="linux")
    assert pm.plugins == {"linux": {"p1": {"m1": {"data": {"single_rp": rec(C)}}}}}


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("linux", "p2"), {}, "Plugin data not found"),  # no fall-back to "linux"
        (("linux", "p1", "m1"), {}, "Plugin data not found"),
        (("linux", "p1", None, "f1"), {}, "Plugin data not found"),
        (("freebsd",), {}, "Plugin data not found"),
        (("linux", "p1"), {}, "Plugin data not found"),  # a node without "data"
        (("linux",), {"chassis_type": "stack"}, "Plugin data not found for stack"),
        (("linux",), {"chassis_type": ("x", "y")}, "Plugin data not found for ('x', 'y')"),
        (("linux",), {"chassis_type": ("x",)}, "Plugin data not found for ('x',)"),
        (("linux",), {"chassis_type": 3}, "Plugin data not found for 3"),
        (("linux",), {"chassis_type": ""}, "Plugin data not found for "),
    ],
)
def test_removal_failures(pm, args, kwargs, expected):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1", "m2")
    before = copy.deepcopy(pm.plugins)
    assert message(pm.unregister_plugin, *args, **kwargs) == expected
    assert pm.plugins == before


def test_removal_validates_single_rp(pm):
    pm.register_plugin(A, "freebsd", chassis_type="dual_rp")
    pm.register_plugin(B, "freebsd", chassis_type="stack")
    pm.chassis_type_list = ["dual_rp"]
    assert message(pm.unregister_plugin, "freebsd", chassis_type="dual_rp") == (
        "chassis Type should be one of these ['dual_rp'], but got single_rp")
    pm.chassis_type_list = ["single_rp"]
    pm.unregister_plugin("freebsd", chassis_type="stack")  # not validated itself
    assert keys(pm.plugins["freebsd"]["data"]) == ["dual_rp"]
    pm.chassis_type_list = []  # for "linux" the chassis type is not checked at all
    assert message(pm.unregister_plugin, "linux") == "Plugin data not found"
    pm.register_plugin(C, "linux")
    pm.unregister_plugin("linux")
    assert keys(pm.plugins["linux"]) == []


# --- overrides of validate_arguments and their call shapes ----------------------------------

OPERATIONS = [
    ("register_plugin", (A, "linux", "p1", "m1", "f1", "dual_rp"),
     ("linux", "p1", "m1", "dual_rp")),
    ("get_plugin", ("linux", "p1", "m1", "f1", "dual_rp"), ("linux", "p1", "m1", "dual_rp")),
    ("unregister_plugin", ("linux", "p1", "m1", "f1", "dual_rp"),
     ("linux", "p1", "m1", "single_rp")),
    ("unregister_plugin", ("linux", "p1", "m1", "f1"), ("linux", "p1", "m1", "single_rp")),
]


def run_all(manager):
    for operation, args, _ in OPERATIONS:
        getattr(manager, operation)(*args)
    manager.register_plugin(A, "linux", "p1", "m1", "f1", "dual_rp")


def expected_calls(bound):
    prefix = (None,) if bound else ()
    return [(prefix + shape, {}) for _, _, shape in OPERATIONS] + [
        (prefix + ("linux", "p1", "m1", "dual_rp"), {})]


def test_validate_arguments_in_subclass():
    calls = []

    class Sub(PluginManager):
        def validate_arguments(self, *args, **kwargs):
            calls.append(((None,) + args, kwargs))
            return "ignored"

    run_all(Sub())
    assert calls == expected_calls(True)


def test_validate_arguments_on_instance(pm):
    calls = []
    pm.validate_arguments = lambda *args, **kwargs: calls.append((args, kwargs))
    run_all(pm)
    assert calls == expected_calls(False)
    assert PluginManager().validate_arguments("linux", None, None, None) is None


def test_validate_arguments_on_class(monkeypatch):
    calls = []
    monkeypatch.setattr(PluginManager, "validate_arguments",
                        lambda self, *args, **kwargs: calls.append(((None,) + args, kwargs)))
    run_all(PluginManager())
    assert calls == expected_calls(True)


@pytest.mark.parametrize("operation", ["register_plugin", "get_plugin", "unregister_plugin"])
def test_overriding_validation_can_refuse(pm, operation):
    def refuse(*args):
        raise LookupError(args)

    pm.validate_arguments = refuse
    args = (A, "linux") if operation == "register_plugin" else ("linux",)
    with pytest.raises(LookupError):
        getattr(pm, operation)(*args)
    assert pm.plugins == {}


def test_overridden_validator_used_by_registry(monkeypatch, pm):
    monkeypatch.setattr(PluginManager, "validate_model", lambda self, **kw: None)
    pm.register_plugin(A, "linux", "p1", "UPPER")
    assert pm.get_plugin("linux", "p1", "UPPER") is A


# --- mended faults: atomic registration and the reserved "data" identifier ------------------


@pytest.mark.parametrize(
    "cls, kwargs, error",
    [
        (B, {"platform": "p1", "model": "m1", "os_flavor": ["f"]}, TypeError),
        (B, {"platform": "p2", "os_flavor": {}}, TypeError),
        (int, {"platform": "p1", "model": "m1"}, TypeError),
        (len, {"platform": "p3"}, TypeError),
        (3, {"os_flavor": "f9"}, TypeError),
    ],
)
def test_failed_registration_leaves_tree(pm, cls, kwargs, error):
    pm.register_plugin(A, "linux")
    pm.register_plugin(C, "linux", "p1", chassis_type="dual_rp")
    before = copy.deepcopy(pm.plugins)
    with pytest.raises(error):
        pm.register_plugin(cls, "linux", **kwargs)
    assert pm.plugins == before
    assert [keys(n) for n in (pm.plugins, pm.plugins["linux"], pm.plugins["linux"]["p1"])] == [
        ["linux"], ["data", "p1"], ["data"]]
    assert pm.get_plugin("linux", "p9", "m9", "f9") is A


RESERVED_CASES = [
    {"os": "data"},
    {"os": "linux", "platform": "data"},
    {"os": "linux", "platform": "p1", "model": "data"},
    {"os": "linux", "os_flavor": "data"},
    {"os": "linux", "platform": "p1", "os_flavor": "data"},
]


class Text(str):
    pass


@pytest.mark.parametrize("kwargs", RESERVED_CASES + [{"os": "linux", "os_flavor": Text("data")}])
@pytest.mark.parametrize("operation", ["register_plugin", "get_plugin", "unregister_plugin"])
def test_data_is_reserved(pm, operation, kwargs):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1")
    before = copy.deepcopy(pm.plugins)
    args = (C,) if operation == "register_plugin" else ()
    assert message(getattr(pm, operation), *args, **kwargs) == RESERVED
    assert pm.plugins == before


@pytest.mark.parametrize("operation", ["register_plugin", "get_plugin", "unregister_plugin"])
def test_reserved_check_follows_validation(pm, operation):
    args = (C,) if operation == "register_plugin" else ()
    assert message(getattr(pm, operation), *args, os=None, os_flavor="data") == (
        "OS should be one of these " + str(pm.supported_os) + " , but got None")
    pm.validate_arguments = lambda *a: None
    assert message(getattr(pm, operation), *args, os=None, os_flavor="data") == RESERVED


def test_data_like_identifiers_that_are_not_reserved(pm):
    for flavour in ("DATA", "data ", b"data", ("data",)):
        pm.register_plugin(A, "linux", os_flavor=flavour)
        assert pm.get_plugin("linux", os_flavor=flavour) is A
    assert keys(pm.plugins["linux"]) == ["DATA", "data ", b"data", ("data",)]
