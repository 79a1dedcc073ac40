"""The registry tree of a manager: the constructor's attributes and the `plugins` property."""
import builtins

import pytest

import mirvak.plugins
from helpers import A, B, rec
from mirvak.core import pluginmanager as pm_module
from mirvak.core.pluginmanager import PluginManager

ATTRIBUTES = ["_plugins", "chassis_type_list", "supported_os"]


def test_init_sets_three_attributes_in_order_and_calls_nothing_else():
    seen = []

    class Recording(PluginManager):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    for name, value in vars(PluginManager).items():
        if name not in ("__init__", "__repr__") and (
                callable(value) or isinstance(value, staticmethod)):
            setattr(Recording, name, staticmethod(lambda *a, **k: pytest.fail("called")))
    manager = Recording()
    assert seen == list(vars(manager)) == ATTRIBUTES
    assert manager._plugins == {} and type(manager._plugins) is dict
    assert manager.chassis_type_list is mirvak.plugins.supported_chassis
    assert manager.supported_os is mirvak.plugins.supported_os
    tree = manager.plugins
    assert manager.plugins is manager._plugins is tree is not PluginManager().plugins
    assert manager.__init__() is None
    assert seen == ATTRIBUTES * 2 and manager.plugins == {} and manager.plugins is not tree


def test_globals_are_looked_up_at_each_construction(monkeypatch):
    before = PluginManager()
    systems, chassis = ["linux"], ("single_rp",)
    monkeypatch.setattr(pm_module, "supported_os", systems)
    monkeypatch.setattr(pm_module, "supported_chassis", chassis)
    after = PluginManager()
    assert after.supported_os is systems and after.chassis_type_list is chassis
    assert before.supported_os is mirvak.plugins.supported_os
    assert before.chassis_type_list is mirvak.plugins.supported_chassis


@pytest.mark.parametrize("name, attribute, kept", [
    ("supported_chassis", "chassis_type_list", ["_plugins"]),
    ("supported_os", "supported_os", ["_plugins", "chassis_type_list"]),
])
def test_missing_global_falls_back_to_builtins_then_name_error(monkeypatch, name, attribute, kept):
    marker = object()
    monkeypatch.delattr(pm_module, name)
    monkeypatch.setattr(builtins, name, marker, raising=False)
    assert getattr(PluginManager(), attribute) is marker
    monkeypatch.delattr(builtins, name)
    manager = PluginManager.__new__(PluginManager)
    with pytest.raises(NameError) as error:
        manager.__init__()
    assert type(error.value) is NameError and str(error.value) == f"name '{name}' is not defined"
    assert list(vars(manager)) == kept


class Hostile:
    """A value that fails whenever it is looked at."""

    def __eq__(self, other):
        raise AssertionError("compared")

    __hash__ = None

    def __bool__(self):
        raise AssertionError("truth-tested")


def test_plugins_cannot_be_assigned_or_deleted():
    manager = PluginManager()
    manager.register_plugin(A, os="linux")
    tree = manager.plugins
    for value in (tree, {}, None, Hostile(), {"linux": {}}):
        for assign in (lambda: setattr(manager, "plugins", value),
                       lambda: type(manager).plugins.fset(manager, value)):
            with pytest.raises(Exception) as error:
                assign()
            assert type(error.value) is Exception
            assert error.value.args == (" Protected Member, cannot modify Plugins",)
            assert manager.plugins is tree and manager._plugins is tree
    with pytest.raises(AttributeError):
        del manager.plugins
    assert manager.plugins is tree and tree == {"linux": {"data": {"single_rp": rec(A)}}}


def test_plugins_is_the_live_tree():
    manager = PluginManager()
    manager.plugins["linux"] = {"data": {"single_rp": rec(A)}}
    assert manager.get_plugin(os="linux") is A
    manager.register_plugin(B, os="freebsd")
    assert manager.plugins["freebsd"]["data"]["single_rp"]["cls"] is B
    manager._plugins = replacement = {"linux": {"data": {"single_rp": rec(B)}}}
    assert manager.plugins is replacement and manager.get_plugin(os="linux") is B
