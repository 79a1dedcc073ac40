"""Tree drawing and the manager's representation, against exact texts and against the
pure-Python reference drawing (children drawn through self.print_tree in both)."""
import collections
import types

import pytest
from hypothesis import given, settings, strategies as st

from conftest import run_python
from helpers import A, load_reference, rec
from mirvak.core.pluginmanager import PluginManager


class Transcribed(PluginManager):
    print_tree = load_reference().PluginManager.print_tree


def both(data, *args, managers=(PluginManager(), Transcribed()), **kwargs):
    """(native drawing, reference drawing), or the exception each raised as (type, text)."""
    results = []
    for manager in managers:
        try:
            results.append(manager.print_tree(data, *args, **kwargs))
        except Exception as error:
            results.append((type(error), str(error)))
    assert results[0] == results[1] and type(results[0]) is type(results[1])
    return results[0]


def worked_example():
    tree = {"beta": {"data": {"single_rp": {"cls": "BetaConnection", "path": "/opt/ext/beta.py"}}}}
    tree["beta"]["b100"] = {
        "data": {"single_rp": {"cls": "B100Connection", "path": "/opt/ext/b100.py"}}}
    tree["alpha"] = {"data": {
        "single_rp": {"cls": "AlphaConnection", "path": "/opt/ext/alpha.py"},
        "dual_rp": {"cls": "AlphaDualConnection", "path": "/opt/ext/alpha.py"},
    }}
    return tree


WORKED = """\
plugin
  |__ alpha
  |  |__ data
  |    |__ dual_rp
  |    |  |__ cls = AlphaDualConnection
  |    |  |__ path = /opt/ext/alpha.py
  |    |__ single_rp
  |      |__ cls = AlphaConnection
  |      |__ path = /opt/ext/alpha.py
  |__ beta
    |__ b100
    |  |__ data
    |    |__ single_rp
    |      |__ cls = B100Connection
    |      |__ path = /opt/ext/b100.py
    |__ data
      |__ single_rp
        |__ cls = BetaConnection
        |__ path = /opt/ext/beta.py"""


def test_worked_example():
    text = PluginManager().print_tree(worked_example())
    assert text == WORKED and len(text.split("\n")) == 19
    # Keyword call, and a reversed insertion order draws the same.
    reversed_tree = dict(reversed(list(worked_example().items())))
    assert PluginManager().print_tree(data=reversed_tree, output="plugin") == WORKED


@pytest.mark.parametrize("data, output, expected", [
    *[(falsy, "label", "") for falsy in ({}, None, 0, "", False, [], collections.OrderedDict())],
    ("x", "plugin", "plugin = x"), ([1, 2], "top", "top = [1, 2]"),
    (types.MappingProxyType({"a": 1}), "m", "m = {'a': 1}"),  # a mapping, but not a dict
    (collections.OrderedDict(b=1, a=2), "od", "od\n  |__ a = 2\n  |__ b = 1"),
    ({"a": None, "b": 1}, "plugin", "plugin\n  |\n  |__ b = 1"),
    ({"a": 1, "b": {}}, "plugin", "plugin\n  |__ a = 1\n  |"),
    ({"a": "x\ny", "b": "1\n2"}, "p", "p\n  |__ a = x\n  |y\n  |__ b = 1\n  2"),
    ({"a": "\n"}, "p", "p\n  |__ a = \n  "),
    ({"data": 1, "b100": 2, "Zed": 3, "10": 4, "9": 5, "_": 6}, "p",
     "p\n  |__ 10 = 4\n  |__ 9 = 5\n  |__ Zed = 3\n  |__ _ = 6\n  |__ b100 = 2\n  |__ data = 1"),
    ({"a": {"b": {"c": "x\ny"}}}, "p", "p\n  |__ a\n    |__ b\n      |__ c = x\n      y"),
    ({"a": {"b": 1}, "c": 2}, "", "\n  |__ a\n  |  |__ b = 1\n  |__ c = 2"),
    # Keys of any type: shown through str(), ordered by str() (stably) when they cannot be
    # compared among themselves.
    ({1: "int", "1": "str"}, "p", "p\n  |__ 1 = int\n  |__ 1 = str"),
    ({"1": "str", 1: "int"}, "p", "p\n  |__ 1 = str\n  |__ 1 = int"),
    ({None: 1, "M": 2, 0: 3}, "p", "p\n  |__ 0 = 3\n  |__ M = 2\n  |__ None = 1"),
    ({2.5: 1, 10: 2, -1: 3}, "p", "p\n  |__ -1 = 3\n  |__ 2.5 = 1\n  |__ 10 = 2"),
])
def test_drawing_rules(data, output, expected):
    assert both(data, output) == expected


class IterKeys(dict):
    def keys(self):
        return iter(dict.keys(self))


class Grower:
    """A key that cannot be ordered: comparing it adds a key to the tree it is drawn from."""

    def __init__(self, text, tree):
        self.text, self.tree = text, tree

    def __lt__(self, other):
        self.tree[Grower("added", self.tree)] = 0
        raise TypeError("not ordered")

    def __str__(self):
        return self.text


def growing():
    tree = {}
    tree.update({Grower("b", tree): 1, Grower("a", tree): 1})
    return tree


# The fall-back orders the keys as listed once: an iterator of keys is not read again, and a key
# added by a failing comparison is not drawn.
@pytest.mark.parametrize("make, expected", [
    (lambda: IterKeys({"b": 1, 2: "x"}), "p\n  |__ 2 = x\n  |__ b = 1"),
    (growing, "p\n  |__ a = 1\n  |__ b = 1"),
])
def test_fall_back_sorts_the_listed_keys(make, expected):
    assert [m.print_tree(make(), "p") for m in (PluginManager(), Transcribed())] == [expected] * 2


class Key:
    """A key whose comparisons are odd: equal to everything, ordered by its number."""

    def __init__(self, number):
        self.number = number

    def __eq__(self, other):
        return True

    def __lt__(self, other):
        return self.number < other.number

    __hash__ = object.__hash__

    def __str__(self):
        return f"k{self.number}"


class Text(str):
    """Text whose concatenations and splits are marked."""

    def __add__(self, other):
        return Text(str.__add__(self, other) + "+")

    def __radd__(self, other):
        return Text(other + str.__str__(self) + "r")

    def split(self, sep=None):
        return [Text(part) for part in str.split(self, sep)]


class Shown:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        if self.text is None:
            raise ZeroDivisionError("no text")
        return self.text


class Keys(dict):
    def keys(self):
        return ["b", "a"]

    def __getitem__(self, key):
        return key.upper()


@pytest.mark.parametrize("data, output", [
    ({1: "a", "b": 2, None: {3: "c"}, (1, 2): 4}, "p"),
    ({frozenset({1}): 1, frozenset({2}): 2}, "p"),
    # Text beyond ASCII, lone surrogates included, in keys, values and labels.
    ({"é": {"\ud800": "x\udc00y", "日本": 1}, "\U0001f600": "\n\ud83d"}, "\udfff\n\u00e9"),
    ({"a": "\x00\n\x00", "\x00": 1}, "p"),
    ({Key(2): "two", Key(1): "one\nx", Key(3): "three"}, "p"),
    ({"a": Shown(Text("x\ny")), "b": Shown("\ud800")}, "p"),
    ({"a": Shown(Text(""))}, Text("top")),
    ({"a": {"b": 1}}, Text("top")),
    ("leaf", Text("top")),
    (Shown(Text("value")), "top"),
    (5, 3),
    ({"a": 1}, None),
    ({"a": 1}, b"p"),
    ({"a": Shown(None)}, "p"),
    (Shown(None), "p"),
    (Keys(a=1), "p"),
    (type("Empty", (dict,), {"keys": lambda self: []})(a=1), "p"),
    (type("Falsy", (dict,), {"__bool__": lambda self: False})(a=1), "p"),
])
def test_odd_objects_match_the_reference(data, output):
    both(data, output)


def with_hook(base, hook):
    class Hooked(base):
        def print_tree(self, data, output="plugin"):
            return hook(self, data, output, super().print_tree)

    return Hooked()


HOOKS = {
    "same": lambda self, data, output, draw: draw(data=data, output=output),
    "text subclass": lambda self, data, output, draw: Text(draw(data=data, output=output)),
    "two lines": lambda self, data, output, draw: output + "\nA" + str(len(draw(data, output))),
    "hide leaves": lambda self, data, output, draw: (
        draw(data=data, output=output) if isinstance(data, dict) else ""),
    "lines object": lambda self, data, output, draw: (
        draw(data, output) if output == "plugin" else types.SimpleNamespace(
            split=lambda sep: ["<" + sep + ">", output])),
    "bytes": lambda self, data, output, draw: draw(data, output) if output == "plugin" else b"x",
    "none": lambda self, data, output, draw: None if output == "__ beta" else draw(data, output),
}


@pytest.mark.parametrize("hook", HOOKS.values(), ids=list(HOOKS))
def test_override_is_used_below_the_top(hook):
    # The top level is the class's own drawing; the override draws every child.
    managers = (with_hook(PluginManager, hook), with_hook(Transcribed, hook))
    both(worked_example(), managers=[types.SimpleNamespace(
        print_tree=lambda data, m=m: PluginManager.print_tree(m, data)) for m in managers])


def test_override_sees_every_child_by_keyword():
    calls = []

    class Recording(PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, sorted(kwargs), kwargs["output"]))
            return super().print_tree(*args, **kwargs)

    assert PluginManager.print_tree(Recording(), worked_example()) == WORKED
    labels = [line.split("|")[-1].split(" = ")[0] for line in WORKED.split("\n")[1:]]
    assert calls == [((), ["data", "output"], label) for label in labels]
    manager = PluginManager()
    manager.print_tree = lambda data, output: calls.append(output) or "X\nY"
    assert PluginManager.print_tree(manager, {"a": 1, "b": 2}) == "plugin\n  |X\n  |Y\n  |X\n  Y"
    assert calls[-2:] == ["__ a", "__ b"]


def label(manager):
    return f"plugins ({manager.__class__} at {hex(id(manager))}) "


@pytest.mark.parametrize("cls", [PluginManager, type("Sub", (PluginManager,), {})])
def test_repr_table(cls):
    manager = cls()
    assert repr(manager) == str(manager) == ""
    manager.plugins.update(worked_example())
    text = repr(manager)
    assert text == str(manager) == label(manager) + WORKED[len("plugin"):]
    assert text.startswith(f"plugins ({cls} at 0x") and manager.plugins == worked_example()
    manager.register_plugin(A, os="linux", platform="p1")
    assert repr(manager).endswith(
        "\n  |      |__ path = /opt/ext/beta.py\n  |__ linux\n    |__ p1\n      |__ data\n"
        f"        |__ single_rp\n          |__ cls = {A}\n          |__ path = {rec(A)['path']}")
    # What registration can store without validation: an integer flavour, a None level.
    manager.register_plugin(A, os="linux", os_flavor=5)
    manager.register_plugin(A, os="linux", model="")
    reference = Transcribed()
    reference._plugins = manager.plugins
    assert repr(manager) == reference.print_tree(manager.plugins, label(manager))
    assert "\n  |__ linux\n    |__ 5\n    |  |__ data\n" in repr(manager)
    assert "\n    |__ None\n    |  |__ \n    |    |__ data\n" in repr(manager)
    manager._plugins = ["x"]
    assert repr(manager) == label(manager) + " = ['x']"
    manager._plugins = 0
    assert repr(manager) == ""
    del manager._plugins
    with pytest.raises(AttributeError):
        repr(manager)


def test_repr_calls_print_tree_through_the_instance():
    calls, result = [], object()

    class Drawer(PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, kwargs))
            return result

    manager = Drawer()
    assert manager.__repr__() is result
    assert calls == [((), {"data": manager.plugins, "output": label(manager)})]
    assert calls[0][1]["data"] is manager.plugins


# Trees that contain themselves, deeper than the recursion limit, and deeper than any C stack
# (with the recursion limit raised far above it); drawn directly and through repr(), by the
# class and by an override, on the main thread and on a thread with a small stack.
RUNAWAY = """
import sys, threading
from mirvak.core.pluginmanager import PluginManager
class Sub(PluginManager):
    def print_tree(self, data, output="plugin"):
        return super().print_tree(data=data, output=output)
def chain(depth):
    tree = node = {}
    for _ in range(depth):
        node['k'] = node = {}
    node['k'] = 1
    return tree
def attempts(name, tree, cls):
    manager = cls()
    for attempt in ("draw", "again", "repr"):
        try:
            manager.print_tree(tree) if attempt != "repr" else repr(manager)
            print(name, cls.__name__, attempt, "no error", flush=True)
        except RecursionError:
            print(name, cls.__name__, attempt, "RecursionError", flush=True)
        manager.plugins.update(tree)
selfish = {'a': 1}
selfish['b'] = selfish
for name, tree in (("self", selfish), ("deep", chain(200000)), ("deepest", chain(1000000))):
    if name == "deepest":
        sys.setrecursionlimit(10**8)
    for cls in (PluginManager, Sub):
        attempts(name, tree, cls)
        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=attempts, args=(name, tree, cls))
        worker.start()
        worker.join()
        threading.stack_size(0)
print(PluginManager().print_tree({"still": "alive"}))
"""


def test_runaway_trees_raise_recursion_error():
    result = run_python(RUNAWAY, check=False)
    assert result.returncode == 0, result.stdout[-500:] + result.stderr[-2000:]
    expected = [f"{name} {cls} {attempt} RecursionError" for name in ("self", "deep", "deepest")
                for cls in ("PluginManager", "Sub") for _ in range(2)
                for attempt in ("draw", "again", "repr")]
    assert result.stdout.split("\n") == expected + ["plugin", "  |__ still = alive", ""]


def test_deep_tree_within_the_limit():
    tree = node = {}
    for i in range(300):
        node[f"k{i}"] = node = {}
    node["leaf"] = "x\ny"
    assert both(tree).split("\n")[-1] == " " * 602 + "y"


keys = st.one_of(st.text(max_size=4), st.integers(-3, 3), st.none())
leaves = st.one_of(st.text(max_size=6), st.integers(), st.none(), st.just({}), st.booleans())
trees = st.recursive(leaves, lambda children: st.dictionaries(keys, children, max_size=4),
                     max_leaves=30)


@settings(max_examples=300, deadline=None)
@given(trees, st.text(max_size=3))
def test_any_tree_draws_like_the_reference(tree, output):
    both(tree, output)
