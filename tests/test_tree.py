"""The registry tree of a manager: the constructor's attributes and the `plugins` property."""
import builtins
import inspect

import pytest

import mirvak.plugins
from mirvak.core import pluginmanager as pm_module
from mirvak.core.pluginmanager import PluginManager

PROTECTED = " Protected Member, cannot modify Plugins"


class Conn:
    pass


class Other:
    pass


def record(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


# ---------------------------------------------------------------------------------------------
# __init__


def test_init_sets_three_attributes_in_order():
    seen = []

    class Recording(PluginManager):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    manager = Recording()
    assert seen == ["_plugins", "chassis_type_list", "supported_os"]
    assert list(vars(manager)) == seen
    assert manager._plugins == {} and type(manager._plugins) is dict
    assert manager.chassis_type_list is mirvak.plugins.supported_chassis
    assert manager.supported_os is mirvak.plugins.supported_os
    assert manager.__init__() is None
    assert seen == ["_plugins", "chassis_type_list", "supported_os"] * 2


def test_each_instance_owns_a_new_tree():
    first, second = PluginManager(), PluginManager()
    assert first.plugins is first.plugins is first._plugins
    assert first.plugins is not second.plugins
    tree = first.plugins
    first.__init__()
    assert first.plugins == {} and first.plugins is not tree


def test_init_calls_no_other_method():
    class Tripwire(PluginManager):
        pass

    for name, value in vars(PluginManager).items():
        if callable(value) or isinstance(value, staticmethod):
            if name not in ("__init__", "__repr__"):
                setattr(Tripwire, name, staticmethod(lambda *a, **k: pytest.fail("called")))
    assert list(vars(Tripwire())) == ["_plugins", "chassis_type_list", "supported_os"]


def test_globals_are_looked_up_at_each_construction(monkeypatch):
    before = PluginManager()
    systems, chassis = ["linux"], ("single_rp",)
    monkeypatch.setattr(pm_module, "supported_os", systems)
    monkeypatch.setattr(pm_module, "supported_chassis", chassis)
    after = PluginManager()
    assert after.supported_os is systems and after.chassis_type_list is chassis
    assert before.supported_os is mirvak.plugins.supported_os
    assert before.chassis_type_list is mirvak.plugins.supported_chassis


@pytest.mark.parametrize("name", ["supported_os", "supported_chassis"])
def test_globals_fall_back_to_builtins(monkeypatch, name):
    marker = object()
    monkeypatch.delattr(pm_module, name)
    monkeypatch.setattr(builtins, name, marker, raising=False)
    manager = PluginManager()
    attribute = "chassis_type_list" if name == "supported_chassis" else "supported_os"
    assert getattr(manager, attribute) is marker


@pytest.mark.parametrize("name, kept", [
    ("supported_chassis", ["_plugins"]),
    ("supported_os", ["_plugins", "chassis_type_list"]),
])
def test_missing_global_raises_name_error_and_keeps_earlier_attributes(monkeypatch, name, kept):
    monkeypatch.delattr(pm_module, name)
    monkeypatch.delattr(builtins, name, raising=False)
    manager = PluginManager.__new__(PluginManager)
    with pytest.raises(NameError) as error:
        manager.__init__()
    assert type(error.value) is NameError
    assert str(error.value) == f"name '{name}' is not defined"
    assert list(vars(manager)) == kept
    with pytest.raises(NameError):
        PluginManager()


# ---------------------------------------------------------------------------------------------
# The plugins property


class Hostile:
    """A value that fails whenever it is looked at."""

    def __eq__(self, other):
        raise AssertionError("compared")

    __hash__ = None

    def __bool__(self):
        raise AssertionError("truth-tested")


@pytest.mark.parametrize("value", [
    "same tree", {}, None, Hostile(), {"linux": {}},
])
@pytest.mark.parametrize("how", ["setattr", "fset"])
def test_assignment_always_raises_and_leaves_the_tree(value, how):
    manager = PluginManager()
    manager.register_plugin(Conn, os="linux")
    tree = manager.plugins
    snapshot = {"linux": {"data": {"single_rp": record(Conn)}}}
    if isinstance(value, str):
        value = tree
    with pytest.raises(Exception) as error:
        if how == "setattr":
            manager.plugins = value
        else:
            type(manager).plugins.fset(manager, value)
    assert type(error.value) is Exception
    assert error.value.args == (PROTECTED,)
    assert manager.plugins is tree and manager._plugins is tree
    assert tree == snapshot


def test_no_deleter():
    manager = PluginManager()
    tree = manager.plugins
    with pytest.raises(AttributeError):
        del manager.plugins
    assert manager.plugins is tree


def test_plugins_is_the_live_tree():
    manager = PluginManager()
    manager.plugins["linux"] = {"data": {"single_rp": record(Conn)}}
    assert manager.get_plugin(os="linux") is Conn
    manager.register_plugin(Other, os="freebsd")
    assert manager.plugins["freebsd"]["data"]["single_rp"]["cls"] is Other
    replacement = {"linux": {"data": {"single_rp": record(Other)}}}
    manager._plugins = replacement
    assert manager.plugins is replacement
    assert manager.get_plugin(os="linux") is Other
