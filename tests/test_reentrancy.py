"""Keys and nodes that run code while the registry walks its tree.

Each operation must end exactly as its steps do when every node and value in use is held by a
strong reference: a node dropped from the tree mid-walk is still the one worked on.  The
values that come back are checked, since a dangling node would hand out an unrelated dict.
"""
import pytest

from helpers import A, B, C, not_found, outcome, rec
from mirvak.core.pluginmanager import PluginManager

decoys = []


class Key(str):
    """A text key that runs `action` once, at its first comparison with an equal stored key,
    then reuses freed memory with dicts that look like registry nodes."""

    def __new__(cls, text, action):
        key = super().__new__(cls, text)
        key.action = action
        return key

    __hash__ = str.__hash__

    def __eq__(self, other):
        action, self.action = self.action, None
        if action is not None:
            action()
            decoys[:] = [{"data": {"single_rp": {"cls": "decoy", "path": "decoy"}}, "p1": {}}
                         for _ in range(200)]
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)


def replace_root(pm, kept):
    kept.append(pm._plugins)
    pm._plugins = {}


def linux(pm):
    return pm.plugins["linux"]


P1_MISSING = not_found("linux/p1")
# name: (operation, key text, action, result, (state, expected state))
SCENARIOS = {
    # --- lookup: get_plugin("linux", key) or the chassis type as key
    "get p1, root replaced": ("get", "p1", replace_root, C, None),  # the walk keeps its tree
    "get p1, tree cleared": ("get", "p1", lambda pm, k: pm.plugins.clear(), C, None),
    # p1 vanished during the test: skipped, and linux has no "data" left
    "get p1, node cleared": ("get", "p1", lambda pm, k: linux(pm).clear(), P1_MISSING, None),
    "get p1, p1 dropped": ("get", "p1", lambda pm, k: linux(pm).pop("p1"), A, None),
    "get p1, p1 replaced": ("get", "p1", lambda pm, k: linux(pm).__setitem__(
        "p1", {"data": {"single_rp": {"cls": "new p1"}}}), "new p1", None),
    "get p1, p1 data dropped": (
        "get", "p1", lambda pm, k: linux(pm)["p1"].pop("data"), P1_MISSING, None),
    # the membership test saw the old mapping; the record is read from the current one
    "get single_rp, mapping replaced": ("get single_rp", "single_rp", lambda pm, k: linux(
        pm).__setitem__("data", {"single_rp": {"cls": "fresh"}}), "fresh", None),
    "get dual_rp, mapping cleared": (
        "get dual_rp", "dual_rp", lambda pm, k: linux(pm)["data"].clear(),
        not_found("linux", "dual_rp"), (lambda pm, k: linux(pm)["data"], {})),
    "get dual_rp, root replaced": (
        "get dual_rp", "dual_rp", replace_root, B, (lambda pm, k: pm.plugins, {})),
    # --- registration: register_plugin(B, "linux", key) or the chassis type as key
    # linux was dropped from the tree before the walk moved on: the record lands there
    "register p1, tree cleared": (
        "register", "p1", lambda pm, k: pm.plugins.clear(), None, (lambda pm, k: pm.plugins, {})),
    "register p1, node cleared": (
        "register", "p1", lambda pm, k: linux(pm).clear(), None,
        (lambda pm, k: (linux(pm), type(next(iter(linux(pm))))),
         ({"p1": {"data": {"single_rp": rec(B)}}}, Key))),  # a new node under the new key
    "register p1, p1 replaced": (
        "register", "p1", lambda pm, k: linux(pm).__setitem__("p1", {"m1": {}}), None,
        (lambda pm, k: linux(pm), {"p1": {"m1": {}, "data": {"single_rp": rec(B)}},
                                   "data": {"single_rp": rec(A), "dual_rp": rec(B)}})),
    # the mapping in use is stored back under "data", with the replaced record
    "register dual_rp, mapping dropped": (
        "register dual_rp", "dual_rp", lambda pm, k: linux(pm).pop("data"), None,
        (lambda pm, k: linux(pm), {"p1": {"data": {"single_rp": rec(C)}},
                                   "data": {"single_rp": rec(A), "dual_rp": rec(C)}})),
    "register single_rp, root replaced": (
        "register single_rp", "single_rp", replace_root, None,
        (lambda pm, k: (pm.plugins, k[0]["linux"]["data"]),
         ({}, {"single_rp": rec(C), "dual_rp": rec(B)}))),
    # --- removal: unregister_plugin("linux", key) or the chassis type as key
    "remove p1, p1 replaced": (
        "remove", "p1", lambda pm, k: k.append(linux(pm)["p1"]) or linux(pm).__setitem__(
            "p1", {"data": {}, "m1": {}}), None,
        (lambda pm, k: (linux(pm)["p1"], k[0]), ({"m1": {}}, {"data": {"single_rp": rec(C)}}))),
    "remove p1, node cleared": ("remove", "p1", lambda pm, k: linux(pm).clear(),
                                "Plugin data not found", (lambda pm, k: pm.plugins, {"linux": {}})),
    "remove p1, tree cleared": (
        "remove", "p1", lambda pm, k: k.append(linux(pm)["p1"]) or pm.plugins.clear(), None,
        (lambda pm, k: (pm.plugins, k[0]), ({}, {}))),
    "remove p1, root replaced": ("remove", "p1", replace_root, None,
                                 (lambda pm, k: (pm.plugins, k[0]["linux"]["p1"]), ({}, {}))),
    "remove dual_rp, root replaced": (
        "remove dual_rp", "dual_rp", replace_root, None,
        (lambda pm, k: (pm.plugins, k[0]["linux"]["data"]), ({}, {"single_rp": rec(A)}))),
    "remove dual_rp, mapping dropped": (
        "remove dual_rp", "dual_rp", lambda pm, k: linux(pm).pop("data"), None,
        (lambda pm, k: (linux(pm), pm.get_plugin("linux", "p1")),
         ({"p1": {"data": {"single_rp": rec(C)}}}, C))),
    # the old mapping lost its entry; the new one was not touched
    "remove dual_rp, mapping replaced": (
        "remove dual_rp", "dual_rp", lambda pm, k: linux(pm).__setitem__("data", {"dual_rp": 1}),
        None, (lambda pm, k: linux(pm)["data"], {"dual_rp": 1})),
    "remove dual_rp, mapping cleared": (
        "remove dual_rp", "dual_rp", lambda pm, k: linux(pm)["data"].clear(),
        "Plugin data not found for dual_rp", None),
}

OPERATIONS = {
    "get": lambda pm, key: pm.get_plugin("linux", key),
    "register": lambda pm, key: pm.register_plugin(B, "linux", key),
    "remove": lambda pm, key: pm.unregister_plugin("linux", key),
}
CHASSIS = {"get": lambda pm, key: pm.get_plugin("linux", chassis_type=key),
           "register": lambda pm, key: pm.register_plugin(C, "linux", chassis_type=key),
           "remove": lambda pm, key: pm.unregister_plugin("linux", chassis_type=key)}


@pytest.mark.parametrize("scenario", list(SCENARIOS.values()), ids=list(SCENARIOS))
def test_key_running_code_mid_walk(debug_log, scenario):
    operation, text, action, result, state = scenario
    pm, kept = PluginManager(), []
    pm.register_plugin(A, "linux")
    pm.register_plugin(B, "linux", chassis_type="dual_rp")
    pm.register_plugin(C, "linux", "p1")
    name, *chassis = operation.split()
    run = (CHASSIS if chassis else OPERATIONS)[name]
    key = Key(text, lambda: action(pm, kept))
    if isinstance(result, str) and result.startswith("Plugin data not found"):
        assert outcome(run, pm, key) == result
    else:
        assert run(pm, key) == result
    if state is not None:
        assert state[0](pm, kept) == state[1]
    if operation == "register dual_rp":
        assert [r.getMessage() for r in debug_log] == [
            f" B already registered for ['linux'], C from {C.__module__} is overriding this class"]


class Node(dict):
    """A node whose keys() answers what it is told to, not what it holds."""

    def __init__(self, *args, listed=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.listed, self.asked = listed, 0

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
    assert outcome(pm.get_plugin, "linux") == not_found("linux")
    assert outcome(pm.unregister_plugin, "linux") == "Plugin data not found"
    assert root.asked == 5  # the root's own "data" test included
    root.listed = ["linux", "ghost"]
    assert pm.get_plugin("linux") is B
    for operation in (pm.get_plugin, pm.unregister_plugin):
        with pytest.raises(KeyError):
            operation("ghost")


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
    assert outcome(pm.get_plugin, "linux", "p1") == P1_MISSING
    pm.register_plugin(B, "linux", "p1")  # stored into a copy: the tree does not change
    assert pm.plugins == {"linux": {"data": {"single_rp": {"cls": A}}, "p1": {}}}
    pm.unregister_plugin("linux")  # deleted from a copy as well
    assert pm.get_plugin("linux") is A
