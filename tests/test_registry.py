"""Registration, lookup and removal over the registry tree."""
import copy
import logging
import types

import pytest

import mirvak.core.pluginmanager as pm_module
from helpers import A, B, C, not_found, outcome, rec
from mirvak.core.pluginmanager import PluginManager

RESERVED = "Plugin identifier 'data' is reserved"
OPERATIONS = ["register_plugin", "get_plugin", "unregister_plugin"]


def call(pm, operation, *args, **kwargs):
    """The operation with the class C in front when it registers."""
    prefix = (C,) if operation == "register_plugin" else ()
    return getattr(pm, operation)(*prefix, *args, **kwargs)


# --- registration ---------------------------------------------------------------------------


def test_tree_shapes_and_key_orders(pm, debug_log):
    pm.register_plugin(C, "linux", "p1")
    assert list(pm.plugins["linux"]) == ["p1"]
    pm.register_plugin(A, os="linux")
    assert list(pm.plugins["linux"]["data"]["single_rp"]) == ["cls", "path"]
    mapping = pm.plugins["linux"]["data"]
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.register_plugin(B, "linux", os_flavor="f1")
    assert pm.plugins["linux"]["data"] is mapping
    assert list(pm.plugins["linux"]) == ["p1", "data", "f1"]
    assert pm.plugins == {"linux": {
        "p1": {"data": {"single_rp": rec(C)}},
        "data": {"single_rp": rec(A), "dual_rp": rec(B)},
        "f1": {"data": {"single_rp": rec(B)}}}}
    assert list(mapping) == ["single_rp", "dual_rp"] and debug_log == []


@pytest.mark.parametrize("kwargs, path", [
    ({}, ["linux"]),
    ({"platform": "p1"}, ["linux", "p1"]),
    ({"platform": "p1", "model": "m1", "os_flavor": "f1"}, ["linux", "p1", "m1", "f1"]),
    ({"os_flavor": "f1"}, ["linux", "f1"]),
    ({"platform": "p1", "os_flavor": "f1"}, ["linux", "p1", "f1"]),
    ({"platform": ""}, ["linux", ""]),
    ({"model": ""}, ["linux", None, ""]),
    ({"platform": "", "model": "", "os_flavor": ""}, ["linux", "", "", ""]),
    ({"os_flavor": 7}, ["linux", 7]),
])
def test_level_paths(pm, kwargs, path):
    pm.register_plugin(A, "linux", **kwargs)
    node = pm.plugins
    for member in path:
        assert list(node) == [member]
        node = node[member]
    assert node == {"data": {"single_rp": rec(A)}}
    assert pm.get_plugin("linux", **kwargs) is A
    pm.unregister_plugin("linux", **kwargs)
    assert node == {}


def test_replacement_logs_and_keeps_mapping(pm, debug_log):
    pm.register_plugin(A, "linux", "p1")
    pm.register_plugin(C, "linux", "p1", chassis_type="dual_rp")
    data = pm.plugins["linux"]["p1"]["data"]
    old = data["single_rp"]
    pm.register_plugin(B, "linux", "p1")
    assert [(r.levelno, r.name, r.getMessage(), r.args) for r in debug_log] == [
        (logging.DEBUG, "mirvak", " A already registered for ['linux', 'p1'], "
                                  f"B from {B.__module__} is overriding this class", ())]
    assert pm.plugins["linux"]["p1"]["data"] is data and list(data) == ["single_rp", "dual_rp"]
    assert data["single_rp"] == rec(B) and old == rec(A)
    pm.register_plugin(A, "linux", os_flavor="f1")
    first = pm.plugins["linux"]["f1"]["data"]["single_rp"]
    pm.register_plugin(A, "linux", os_flavor="f1")  # the same class again logs too
    assert debug_log[-1].getMessage() == (f" A already registered for ['linux', 'f1'], "
                                          f"A from {A.__module__} is overriding this class")
    assert pm.plugins["linux"]["f1"]["data"]["single_rp"] is not first


def test_failures_keep_the_tree(pm, monkeypatch):
    assert outcome(pm.register_plugin, A, "freebsd", chassis_type="quad").startswith(
        "chassis Type should be one of these ")
    assert outcome(pm.register_plugin, A, "linux", "P1") == "platform (P1) has to be in lowercase"
    assert pm.plugins == {}
    pm.register_plugin(A, "linux")
    record = pm.plugins["linux"]["data"]["single_rp"]
    monkeypatch.setattr(pm_module, "getfile", lambda obj: "/x.py")
    with pytest.raises(AttributeError):
        pm.register_plugin(types.ModuleType("mod"), "linux")  # a module has no __module__
    monkeypatch.setattr(pm_module, "log", types.SimpleNamespace(debug=lambda text: 1 / 0))
    with pytest.raises(ZeroDivisionError):
        pm.register_plugin(B, "linux")
    assert pm.plugins["linux"]["data"]["single_rp"] is record


@pytest.mark.parametrize("chassis_type", [42, None, ("x",)])
def test_linux_stores_any_hashable_chassis_type(pm, chassis_type):
    pm.register_plugin(A, "linux", chassis_type=chassis_type)
    assert list(pm.plugins["linux"]["data"]) == [chassis_type]
    assert pm.get_plugin("linux", chassis_type=chassis_type) is A
    pm.unregister_plugin("linux", chassis_type=chassis_type)  # None: the whole mapping
    assert pm.plugins["linux"] == ({} if chassis_type is None else {"data": {}})


def test_module_globals_are_looked_up_at_each_call(pm, monkeypatch, debug_log):
    class OtherError(Exception):
        pass

    texts = []
    monkeypatch.setattr(pm_module, "getfile", lambda cls: "/elsewhere/" + cls.__name__)
    monkeypatch.setattr(pm_module, "log", types.SimpleNamespace(debug=texts.append))
    monkeypatch.setattr(pm_module, "ConnectionInfraError", OtherError)
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux")
    pm.validate_os("plan9")
    assert pm.plugins["linux"]["data"]["single_rp"] == {"cls": B, "path": "/elsewhere/B"}
    assert texts == [f" A already registered for ['linux'], B from {B.__module__} is overriding "
                     "this class", "plan9 is not part of the built-in list of supported OSes."]
    for operation in (pm.get_plugin, pm.unregister_plugin, pm.validate_os):
        with pytest.raises(OtherError) as caught:
            operation(None if operation == pm.validate_os else "freebsd")
        assert caught.value.args[0].startswith(("Plugin data not found", "OS should be"))
    assert debug_log == []
    monkeypatch.undo()
    pm.register_plugin(C, "linux")
    assert pm.plugins["linux"]["data"]["single_rp"] == rec(C) and len(debug_log) == 1
    assert outcome(pm.get_plugin, "freebsd") == not_found("freebsd")
    monkeypatch.delattr(pm_module, "ConnectionInfraError")
    with pytest.raises(NameError, match="ConnectionInfraError"):
        pm.validate_chassis_type("bad")


# --- lookup ---------------------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs, found", [
    (("linux",), {}, A),
    (("linux", "p1"), {}, B),
    (("linux", "p2"), {}, A),
    (("linux", "p2", "m1", "f1"), {}, A),
    (("linux", "p1", "m1", "f1"), {}, B),
    (("linux", None, None, "f1"), {}, A),
    (("linux", "z", "p1"), {}, B),  # a skipped member does not stop the descent
    (("linux", None, None, "p1"), {}, B),
    ((), {"os": "linux", "platform": "p1", "chassis_type": "single_rp"}, B),
])
def test_lookup_falls_back(pm, args, kwargs, found):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1")
    assert pm.get_plugin(*args, **kwargs) is found


@pytest.mark.parametrize("args, kwargs, expected", [
    (("linux",), {"chassis_type": "dual_rp"}, not_found("linux", "dual_rp")),
    (("linux", "p1"), {}, not_found("linux/p1")),  # no fall-back to linux's own chassis type
    (("freebsd", "p1", "m1"), {}, not_found("freebsd/p1/m1")),
    (("linux",), {"chassis_type": None}, not_found("linux", "None")),
    (("freebsd", None, None, 7), {}, not_found("freebsd/7")),
    (("freebsd", None, ""), {}, not_found("freebsd/None/")),
    (("freebsd", "", "", ""), {}, not_found("freebsd///")),
])
def test_lookup_failures(pm, args, kwargs, expected):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1", chassis_type="dual_rp")
    before = copy.deepcopy(pm.plugins)
    assert outcome(pm.get_plugin, *args, **kwargs) == expected
    assert pm.plugins == before


# --- removal --------------------------------------------------------------------------------


def test_removal_of_chassis_types_and_mappings(pm):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.register_plugin(C, "linux", "p1", "m1")
    data = pm.plugins["linux"]["data"]
    assert pm.unregister_plugin("linux", chassis_type="dual_rp") is None
    assert data == {"single_rp": rec(A)}
    pm.unregister_plugin("linux", chassis_type="single_rp")
    assert pm.plugins["linux"]["data"] is data and data == {}
    # an empty mapping stops the lookup's fall-back
    assert outcome(pm.get_plugin, "linux", "p2") == not_found("linux/p2")
    assert outcome(pm.unregister_plugin, "linux", chassis_type="single_rp") == (
        "Plugin data not found for single_rp")
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.unregister_plugin("linux")
    assert pm.plugins == {"linux": {"p1": {"m1": {"data": {"single_rp": rec(C)}}}}}
    assert outcome(pm.unregister_plugin, "linux") == "Plugin data not found"


@pytest.mark.parametrize("args, kwargs, expected", [
    (("linux", "p2"), {}, "Plugin data not found"),  # no fall-back to "linux"
    (("freebsd",), {}, "Plugin data not found"),
    (("linux", "p1"), {}, "Plugin data not found"),  # a node without "data"
    (("linux",), {"chassis_type": "stack"}, "Plugin data not found for stack"),
    (("linux",), {"chassis_type": ("x", "y")}, "Plugin data not found for ('x', 'y')"),
    (("linux",), {"chassis_type": ("x",)}, "Plugin data not found for ('x',)"),
    (("linux",), {"chassis_type": ""}, "Plugin data not found for "),
])
def test_removal_failures(pm, args, kwargs, expected):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1", "m2")
    before = copy.deepcopy(pm.plugins)
    assert outcome(pm.unregister_plugin, *args, **kwargs) == expected
    assert pm.plugins == before


def test_removal_validates_single_rp(pm):
    pm.register_plugin(A, "freebsd", chassis_type="dual_rp")
    pm.register_plugin(B, "freebsd", chassis_type="stack")
    pm.chassis_type_list = ["dual_rp"]
    assert outcome(pm.unregister_plugin, "freebsd", chassis_type="dual_rp") == (
        "chassis Type should be one of these ['dual_rp'], but got single_rp")
    pm.chassis_type_list = ["single_rp"]
    pm.unregister_plugin("freebsd", chassis_type="stack")  # not validated itself
    assert list(pm.plugins["freebsd"]["data"]) == ["dual_rp"]
    pm.chassis_type_list = []  # for "linux" the chassis type is not checked at all
    assert outcome(pm.unregister_plugin, "linux") == "Plugin data not found"


# --- overrides of validate_arguments and their call shapes ----------------------------------


def test_validate_arguments_override_sees_positional_calls(overridden):
    calls = []
    pm = overridden(validate_arguments=lambda *args, **kwargs: calls.append((args, kwargs)) or 1)
    pm.register_plugin(A, "linux", "p1", "m1", "f1", "dual_rp")
    pm.get_plugin("linux", "p1", "m1", "f1", "dual_rp")
    pm.unregister_plugin("linux", "p1", "m1", "f1", "dual_rp")
    pm.unregister_plugin("linux", "p1", "m1", "f1")
    shape, removal = ("linux", "p1", "m1", "dual_rp"), ("linux", "p1", "m1", "single_rp")
    assert calls == [(shape, {}), (shape, {}), (removal, {}), (removal, {})]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_overridden_validation_decides(pm, monkeypatch, operation):
    pm.validate_arguments = lambda *args: 1 / 0
    with pytest.raises(ZeroDivisionError):
        call(pm, operation, "linux")
    assert pm.plugins == {}
    monkeypatch.setattr(PluginManager, "validate_model", lambda self, **kw: None)
    other = PluginManager()
    other.register_plugin(C, "linux", "p1", "UPPER")
    assert other.get_plugin("linux", "p1", "UPPER") is C


# --- mended faults: atomic registration and the reserved "data" identifier ------------------


@pytest.mark.parametrize("cls, kwargs", [
    (B, {"platform": "p1", "model": "m1", "os_flavor": ["f"]}),
    (B, {"platform": "p2", "os_flavor": {}}),
    (int, {"platform": "p1", "model": "m1"}),
    (len, {"platform": "p3"}),
    (3, {"os_flavor": "f9"}),
    (B, {"platform": "p4", "chassis_type": ["single_rp"]}),  # linux: chassis type unvalidated
])
def test_failed_registration_leaves_tree(pm, cls, kwargs):
    pm.register_plugin(A, "linux")
    pm.register_plugin(C, "linux", "p1", chassis_type="dual_rp")
    before = copy.deepcopy(pm.plugins)
    with pytest.raises(TypeError):
        pm.register_plugin(cls, "linux", **kwargs)
    assert pm.plugins == before
    assert [list(n) for n in (pm.plugins, pm.plugins["linux"], pm.plugins["linux"]["p1"])] == [
        ["linux"], ["data", "p1"], ["data"]]
    assert pm.get_plugin("linux", "p9", "m9", "f9") is A


class Text(str):
    pass


@pytest.mark.parametrize("kwargs", [
    {"os": "data"},
    {"os": "linux", "platform": "data"},
    {"os": "linux", "platform": "p1", "model": "data"},
    {"os": "linux", "os_flavor": "data"},
    {"os": "linux", "platform": "p1", "os_flavor": Text("data")},
])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_data_is_reserved(pm, operation, kwargs):
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", "p1")
    before = copy.deepcopy(pm.plugins)
    assert outcome(call, pm, operation, **kwargs) == RESERVED
    assert pm.plugins == before
    # the check follows validation
    assert outcome(call, pm, operation, os=None, os_flavor="data") == (
        f"OS should be one of these {pm.supported_os} , but got None")
    pm.validate_arguments = lambda *args: None
    assert outcome(call, pm, operation, os=None, os_flavor="data") == RESERVED


def test_data_like_identifiers_that_are_not_reserved(pm):
    for flavour in ("DATA", "data ", b"data", ("data",)):
        pm.register_plugin(A, "linux", os_flavor=flavour)
        assert pm.get_plugin("linux", os_flavor=flavour) is A
    assert list(pm.plugins["linux"]) == ["DATA", "data ", b"data", ("data",)]
