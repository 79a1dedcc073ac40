"""Keys and nodes that run code while the registry walks its tree.

Each operation must end exactly as its steps do when every node and value in use is held by a
strong reference: a node dropped from the tree mid-walk is still the one worked on.  The
values that come back are checked, since a dangling node would hand out an unrelated dict.
"""
import inspect

import pytest

from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import PluginManager


class A:
    pass


class B:
    pass


class C:
    pass


def rec(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


decoys = []


def churn():
    """Reuses freed memory with dicts that look like registry nodes."""
    decoys.clear()
    decoys.extend({"data": {"single_rp": {"cls": "decoy", "path": "decoy"}}, "p1": {}}
                  for _ in range(200))


class Key(str):
    """A text key that runs `action` once, at its first comparison with an equal stored key."""

    def __new__(cls, text, action):
        key = super().__new__(cls, text)
        key.action = action
        return key

    __hash__ = str.__hash__

    def __eq__(self, other):
        action, self.action = self.action, None
        if action is not None:
            action()
            churn()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)


def fresh():
    """linux (A single_rp, B dual_rp) and linux/p1 (C), every key a plain str."""
    pm = PluginManager()
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.register_plugin(C, "linux", "p1")
    return pm


def raises(call):
    with pytest.raises(ConnectionInfraError) as caught:
        call()
    return caught.value.args[0]


# --- lookup ---------------------------------------------------------------------------------


def replace_root(pm):
    pm._plugins = {}


def clear_tree(pm):
    pm.plugins.clear()


def clear_node(pm):
    pm.plugins["linux"].clear()


def drop_node(pm):
    del pm.plugins["linux"]["p1"]


def replace_node(pm):
    pm.plugins["linux"]["p1"] = {"data": {"single_rp": {"cls": "new p1"}}}


def drop_data(pm):
    del pm.plugins["linux"]["p1"]["data"]


NOT_FOUND = "Plugin data not found for (linux/p1), type: single_rp "


@pytest.mark.parametrize(
    "action, result",
    [
        (replace_root, C),  # the descent goes on in the tree it started from
        (clear_tree, C),  # the linux node is still the one in use
        (clear_node, NOT_FOUND),  # p1 vanished during the test: skipped, linux has no "data"
        (drop_node, A),  # skipped: linux's own record
        (replace_node, "new p1"),  # the value under the key after the comparison
        (drop_data, NOT_FOUND),
    ],
    ids=lambda value: getattr(value, "__name__", "result"),
)
def test_lookup_platform_key(action, result):
    pm = fresh()
    key = Key("p1", lambda: action(pm))
    if result == NOT_FOUND:
        assert raises(lambda: pm.get_plugin("linux", key)) == NOT_FOUND
    else:
        assert pm.get_plugin("linux", key) == result


def test_lookup_chassis_key_replacing_mapping():
    pm = fresh()
    node = pm.plugins["linux"]
    key = Key("single_rp", lambda: node.__setitem__("data", {"single_rp": {"cls": "fresh"}}))
    # the membership test saw the old mapping; the record is read from the current one
    assert pm.get_plugin("linux", chassis_type=key) == "fresh"


def test_lookup_chassis_key_clearing_mapping():
    pm = fresh()
    key = Key("dual_rp", lambda: pm.plugins["linux"]["data"].clear())
    assert raises(lambda: pm.get_plugin("linux", chassis_type=key)) == (
        "Plugin data not found for (linux), type: dual_rp ")
    assert pm.plugins["linux"]["data"] == {}


def test_lookup_chassis_key_dropping_tree_after_test():
    pm = fresh()

    def action():
        pm._plugins = {}

    # the mapping's membership test runs the action; the node itself is still in use
    assert pm.get_plugin("linux", chassis_type=Key("dual_rp", action)) is B
    assert pm.plugins == {}


# --- registration ---------------------------------------------------------------------------


def test_register_platform_key_clearing_tree():
    pm = fresh()
    key = Key("p1", lambda: pm.plugins.clear())
    pm.register_plugin(A, "linux", key)
    # the linux node was dropped from the tree before the walk moved on: the record lands there
    assert pm.plugins == {}


def test_register_platform_key_clearing_node():
    pm = fresh()
    key = Key("p1", lambda: pm.plugins["linux"].clear())
    pm.register_plugin(B, "linux", key)
    linux = pm.plugins["linux"]
    assert linux == {"p1": {"data": {"single_rp": rec(B)}}}
    assert type(next(iter(linux))) is Key  # a new node under the new key


def test_register_platform_key_replacing_node():
    pm = fresh()
    key = Key("p1", lambda: pm.plugins["linux"].__setitem__("p1", {"m1": {}}))
    pm.register_plugin(B, "linux", key)
    assert pm.plugins["linux"]["p1"] == {"m1": {}, "data": {"single_rp": rec(B)}}
    assert pm.plugins["linux"]["data"] == {"single_rp": rec(A), "dual_rp": rec(B)}


def test_register_chassis_key_dropping_mapping(caplog):
    pm = fresh()
    caplog.set_level("DEBUG", logger="mirvak")
    key = Key("dual_rp", lambda: pm.plugins["linux"].pop("data"))
    pm.register_plugin(C, "linux", chassis_type=key)
    # the mapping in use is stored back under "data", with the replaced record
    assert pm.plugins["linux"] == {"p1": {"data": {"single_rp": rec(C)}},
                                   "data": {"single_rp": rec(A), "dual_rp": rec(C)}}
    assert [r.getMessage() for r in caplog.records if r.name == "mirvak"] == [
        " B already registered for ['linux'], C from {} is overriding this class".format(
            __name__)]


def test_register_chassis_key_replacing_root():
    pm = fresh()
    kept = []

    def action():
        kept.append(pm._plugins)
        pm._plugins = {"other": {}}

    pm.register_plugin(C, "linux", chassis_type=Key("single_rp", action))
    assert pm.plugins == {"other": {}}
    assert kept[0]["linux"]["data"] == {"single_rp": rec(C), "dual_rp": rec(B)}


# --- removal --------------------------------------------------------------------------------


def test_remove_platform_key_replacing_node():
    pm = fresh()
    old = pm.plugins["linux"]["p1"]
    key = Key("p1", lambda: pm.plugins["linux"].__setitem__("p1", {"data": {}, "m1": {}}))
    pm.unregister_plugin("linux", key)
    assert pm.plugins["linux"]["p1"] == {"m1": {}}
    assert old == {"data": {"single_rp": rec(C)}}


def test_remove_platform_key_clearing_node():
    pm = fresh()
    key = Key("p1", lambda: pm.plugins["linux"].clear())
    assert raises(lambda: pm.unregister_plugin("linux", key)) == "Plugin data not found"
    assert pm.plugins == {"linux": {}}


def test_remove_platform_key_clearing_tree():
    pm = fresh()
    kept = pm.plugins["linux"]["p1"]
    pm.unregister_plugin("linux", Key("p1", lambda: pm.plugins.clear()))
    assert pm.plugins == {} and kept == {}


def root_replacer(pm, kept):
    def action():
        kept.append(pm._plugins)
        pm._plugins = {}

    return action


def test_remove_node_with_root_replaced():
    pm, kept = fresh(), []
    pm.unregister_plugin("linux", Key("p1", root_replacer(pm, kept)))
    assert pm.plugins == {}
    assert kept[0]["linux"]["p1"] == {}


def test_remove_chassis_type_with_root_replaced():
    pm, kept = fresh(), []
    pm.unregister_plugin("linux", chassis_type=Key("dual_rp", root_replacer(pm, kept)))
    assert pm.plugins == {}
    assert kept[0]["linux"]["data"] == {"single_rp": rec(A)}


def test_remove_chassis_key_dropping_mapping():
    pm = fresh()
    key = Key("dual_rp", lambda: pm.plugins["linux"].pop("data"))
    assert pm.unregister_plugin("linux", chassis_type=key) is None
    assert pm.plugins["linux"] == {"p1": {"data": {"single_rp": rec(C)}}}
    assert pm.get_plugin("linux", "p1") is C


def test_remove_chassis_key_replacing_mapping():
    pm = fresh()
    key = Key("dual_rp", lambda: pm.plugins["linux"].__setitem__("data", {"dual_rp": 1}))
    pm.unregister_plugin("linux", chassis_type=key)
    # the old mapping lost its entry; the new one was not touched
    assert pm.plugins["linux"]["data"] == {"dual_rp": 1}


def test_remove_chassis_key_clearing_mapping():
    pm = fresh()
    key = Key("dual_rp", lambda: pm.plugins["linux"]["data"].clear())
    assert raises(lambda: pm.unregister_plugin("linux", chassis_type=key)) == (
        "Plugin data not found for dual_rp")


# --- nodes that are dict subclasses ---------------------------------------------------------


class Node(dict):
    """A node whose keys() answers what it is told to, not what it holds."""

    def __init__(self, *args, listed=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.listed = listed
        self.asked = 0

    def keys(self):
        self.asked += 1
        return list(super().keys()) if self.listed is None else self.listed


def test_node_keys_method_decides_membership():
    pm = PluginManager()
    pm._plugins = root = Node(listed=[])
    pm.register_plugin(A, "linux")
    first = root["linux"]
    pm.register_plugin(B, "linux")  # "linux" is not listed: a fresh node replaces the old
    assert root["linux"] is not first and root["linux"]["data"]["single_rp"] == rec(B)
    assert raises(lambda: pm.get_plugin("linux")) == (
        "Plugin data not found for (linux), type: single_rp ")
    assert raises(lambda: pm.unregister_plugin("linux")) == "Plugin data not found"
    assert root.asked == 5  # the root's own "data" test included
    root.listed = ["linux", "ghost"]
    assert pm.get_plugin("linux") is B
    with pytest.raises(KeyError):
        pm.get_plugin("ghost")
    with pytest.raises(KeyError):
        pm.unregister_plugin("ghost")


def test_node_keys_generator_and_copying_items():
    class Lazy(dict):
        """keys() gives a generator; item access gives copies of the child nodes."""

        def keys(self):
            return (k for k in list(dict.keys(self)))

        def __getitem__(self, key):
            value = dict.__getitem__(self, key)
            return Lazy(value) if key != "data" else value

    pm = PluginManager()
    pm._plugins = Lazy({"linux": {"data": {"single_rp": {"cls": A}}, "p1": {}}})
    assert pm.get_plugin("linux", "p2", "m1") is A
    assert raises(lambda: pm.get_plugin("linux", "p1")) == NOT_FOUND
    pm.register_plugin(B, "linux", "p1")  # stored into a copy: the tree does not change
    assert pm.plugins == {"linux": {"data": {"single_rp": {"cls": A}}, "p1": {}}}
    pm.unregister_plugin("linux")  # deleted from a copy as well
    assert pm.get_plugin("linux") is A
