"""Tree drawing and the manager's representation."""
import collections
import types

import pytest
from hypothesis import given, settings, strategies as st

from conftest import run_python
from mirvak.core.pluginmanager import PluginManager


def transcription(self, data, output="plugin"):
    """The drawing written out in Python, children drawn through self.print_tree."""
    if not data:
        return ""
    if not isinstance(data, dict):
        return output + " = " + str(data)
    try:
        sorted_keys = sorted(data.keys())
    except TypeError:
        sorted_keys = sorted(data.keys(), key=str)
    last_key = sorted_keys[-1]
    for key in sorted_keys:
        temp_output = self.print_tree(
            data=data[key], output="__ " + (key if isinstance(key, str) else str(key)))
        separator = "  " if key == last_key else "  |"
        current_line = 1
        for line in temp_output.split("\n"):
            if current_line == 1 and key == last_key:
                line = "\n  |" + line
            else:
                line = "\n" + separator + line
            current_line += 1
            output += line
    return output


class Transcribed(PluginManager):
    print_tree = transcription


def both(data, *args, **kwargs):
    """(native drawing, transcribed drawing), or the exception each raised as (type, text)."""
    results = []
    for manager in (PluginManager(), Transcribed()):
        try:
            results.append(manager.print_tree(data, *args, **kwargs))
        except Exception as error:
            results.append((type(error), str(error)))
    return results


def worked_example():
    tree = {}
    tree["beta"] = {"data": {"single_rp": {"cls": "BetaConnection", "path": "/opt/ext/beta.py"}}}
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

WORKED_LABELS = [
    "__ alpha", "__ data", "__ dual_rp", "__ cls", "__ path", "__ single_rp", "__ cls", "__ path",
    "__ beta", "__ b100", "__ data", "__ single_rp", "__ cls", "__ path", "__ data",
    "__ single_rp", "__ cls", "__ path",
]


def test_worked_example():
    text = PluginManager().print_tree(worked_example())
    assert text == WORKED
    assert len(text.split("\n")) == 19 and not text.endswith("\n")
    # Keyword call, and a reversed insertion order draws the same.
    reversed_tree = {k: v for k, v in reversed(list(worked_example().items()))}
    assert PluginManager().print_tree(data=reversed_tree, output="plugin") == WORKED


@pytest.mark.parametrize("data, output, expected", [
    ({}, "plugin", ""),
    (None, "label", ""),
    (0, "label", ""),
    ("", "label", ""),
    (False, "label", ""),
    ([], "label", ""),
    (collections.OrderedDict(), "label", ""),
    ("x", "plugin", "plugin = x"),
    (12, "top", "top = 12"),
    ([1, 2], "top", "top = [1, 2]"),
    (types.MappingProxyType({"a": 1}), "m", "m = {'a': 1}"),  # a mapping, but not a dict
    (collections.OrderedDict(b=1, a=2), "od", "od\n  |__ a = 2\n  |__ b = 1"),
    ({"a": None, "b": 1}, "plugin", "plugin\n  |\n  |__ b = 1"),
    ({"a": 1, "b": {}}, "plugin", "plugin\n  |__ a = 1\n  |"),
    ({"a": "x\ny"}, "plugin", "plugin\n  |__ a = x\n  y"),
    ({"a": "x\ny", "b": "1\n2"}, "p", "p\n  |__ a = x\n  |y\n  |__ b = 1\n  2"),
    ({"a": "\n"}, "p", "p\n  |__ a = \n  "),
    ({"data": 1, "b100": 2, "Zed": 3, "10": 4, "9": 5, "_": 6}, "p",
     "p\n  |__ 10 = 4\n  |__ 9 = 5\n  |__ Zed = 3\n  |__ _ = 6\n  |__ b100 = 2\n  |__ data = 1"),
    ({"a": {"b": {"c": "x\ny"}}}, "p", "p\n  |__ a\n    |__ b\n      |__ c = x\n      y"),
    ({"a": {"b": 1}, "c": 2}, "", "\n  |__ a\n  |  |__ b = 1\n  |__ c = 2"),
])
def test_drawing_rules(data, output, expected):
    assert PluginManager().print_tree(data, output) == expected
    assert Transcribed().print_tree(data, output) == expected


@pytest.mark.parametrize("tree", [
    # Keys of any type: shown through str(), ordered by str() when they cannot be compared.
    {1: "a", 2: {"x": 1}},
    {1: "a", "b": 2, None: {3: "c"}, (1, 2): 4},
    {1: "int", "1": "str"},
    {"1": "str", 1: "int"},
    {2.5: 1, 10: 2, -1: 3},
    {frozenset({1}): 1, frozenset({2}): 2},
    # Text beyond ASCII, lone surrogates included, in keys, values and labels.
    {"é": {"\ud800": "x\udc00y", "日本": 1}, "\U0001f600": "\n\ud83d"},
    {"a": "\x00\n\x00", "\x00": 1},
])
def test_keys_of_any_type_and_any_text(tree):
    native, transcribed = both(tree)
    assert native == transcribed and isinstance(native, str)
    native, transcribed = both(tree, output="\udfff\n\u00e9")
    assert native == transcribed


def test_mixed_keys_sort_stably_by_text():
    assert PluginManager().print_tree({1: "int", "1": "str"}) == \
        "plugin\n  |__ 1 = int\n  |__ 1 = str"
    assert PluginManager().print_tree({None: 1, "M": 2, 0: 3}) == \
        "plugin\n  |__ 0 = 3\n  |__ M = 2\n  |__ None = 1"


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
        return self.text


class Failing:
    def __str__(self):
        raise ZeroDivisionError("no text")


class Keys(dict):
    def keys(self):
        return ["b", "a"]

    def __getitem__(self, key):
        return key.upper()


class Empty(dict):
    def keys(self):
        return []


class Falsy(dict):
    def __bool__(self):
        return False


@pytest.mark.parametrize("data, output", [
    ({Key(2): "two", Key(1): "one\nx", Key(3): "three"}, "p"),
    ({"a": Shown(Text("x\ny")), "b": Shown("\ud800")}, "p"),
    ({"a": Shown(Text(""))}, Text("top")),
    ({"a": {"b": 1}}, Text("top")),
    ("leaf", Text("top")),
    (Shown(Text("value")), "top"),
    (5, 3),
    ({"a": 1}, None),
    ({"a": 1}, b"p"),
    ({"a": Failing()}, "p"),
    (Failing(), "p"),
    (Keys(a=1), "p"),
    (Empty(a=1), "p"),
    (Falsy(a=1), "p"),
    ({"a": 1, 2: {}, 3.0: None}, "p"),
])
def test_odd_objects_match_the_transcription(data, output):
    native, transcribed = both(data, output)
    assert native == transcribed
    assert type(native) is type(transcribed)


def with_hook(base, hook):
    class Hooked(base):
        def print_tree(self, data, output="plugin"):
            return hook(self, data, output, super().print_tree)

    return Hooked


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
    native, transcribed = with_hook(PluginManager, hook)(), with_hook(Transcribed, hook)()
    results = []
    for manager in (native, transcribed):
        try:
            # The top level is the class's own drawing; the override draws every child.
            results.append(PluginManager.print_tree(manager, worked_example()))
        except Exception as error:
            results.append((type(error), str(error)))
    assert results[0] == results[1]
    assert type(results[0]) is type(results[1])


def test_override_sees_every_child_by_keyword():
    calls = []

    class Recording(PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, sorted(kwargs)))
            labels.append(kwargs["output"])
            return super().print_tree(*args, **kwargs)

    labels = []
    assert PluginManager.print_tree(Recording(), worked_example()) == WORKED
    assert calls == [((), ["data", "output"])] * len(WORKED_LABELS)
    assert labels == WORKED_LABELS

    labels.clear()
    manager = PluginManager()
    manager.print_tree = lambda data, output: labels.append(output) or "X\nY"
    assert PluginManager.print_tree(manager, {"a": 1, "b": 2}) == \
        "plugin\n  |X\n  |Y\n  |X\n  Y"
    assert labels == ["__ a", "__ b"]


class Record:
    pass


class Sub(PluginManager):
    pass


def label(manager):
    return f"plugins ({manager.__class__} at {hex(id(manager))}) "


@pytest.mark.parametrize("cls", [PluginManager, Sub])
def test_repr_table(cls):
    manager = cls()
    assert repr(manager) == str(manager) == ""
    manager.plugins.update(worked_example())
    text = repr(manager)
    assert text == str(manager) == label(manager) + WORKED[len("plugin"):]
    assert text.startswith(f"plugins ({cls} at 0x")
    assert manager.plugins == worked_example()  # drawing changes nothing

    manager.register_plugin(Record, os="linux", platform="p1")
    text = repr(manager)
    assert text == label(manager) + PluginManager().print_tree(manager.plugins)[len("plugin"):]
    assert text.endswith(
        f"\n  |__ linux\n    |__ p1\n      |__ data\n        |__ single_rp\n"
        f"          |__ cls = {Record}\n          |__ path = {__file__}")
    assert "\n  |__ beta\n  |  |__ b100\n" in text

    manager._plugins = ["x"]
    assert repr(manager) == label(manager) + " = ['x']"
    manager._plugins = 0
    assert repr(manager) == ""
    del manager._plugins
    with pytest.raises(AttributeError):
        repr(manager)


def test_repr_calls_print_tree_through_the_instance():
    calls = []
    result = object()

    class Drawer(PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, kwargs))
            return result

    manager = Drawer()
    assert manager.__repr__() is result
    [(args, kwargs)] = calls
    assert args == () and kwargs == {"data": manager.plugins, "output": label(manager)}
    assert kwargs["data"] is manager.plugins
    with pytest.raises(TypeError):
        manager.__repr__(1)


def test_repr_with_identifiers_of_other_types():
    # What registration can store without validation: an integer flavour, a None level.
    manager = PluginManager()
    manager.register_plugin(Record, os="linux", os_flavor=5)
    manager.register_plugin(Record, os="linux", os_flavor="edge")
    manager.plugins["linux"][None] = {"data": {"single_rp": {"cls": Record, "path": "p"}}}
    text = repr(manager)
    transcribed = Transcribed.__repr__(manager)
    assert text.replace(label(manager), "") == transcribed.replace(label(manager), "")
    assert "|__ 5\n" in text and "|__ None\n" in text and "|__ edge\n" in text


@pytest.mark.parametrize("code", [
    # A tree that contains itself.
    "tree = {'a': 1}; tree['b'] = tree",
    # Deeper than the recursion limit.
    "tree = {}\nnode = tree\nfor _ in range(200000):\n    node['k'] = node = {}\nnode['k'] = 1",
    # Deeper than any C stack, with the recursion limit raised far above it.
    "sys.setrecursionlimit(10**8)\ntree = {}\nnode = tree\n"
    "for _ in range(1000000):\n    node['k'] = node = {}\nnode['k'] = 1",
])
@pytest.mark.parametrize("override", [False, True])
@pytest.mark.parametrize("stack", [0, 256 * 1024])
def test_runaway_trees_raise_recursion_error(code, override, stack):
    program = f"""
        import sys, threading
        from mirvak.core.pluginmanager import PluginManager
        class Sub(PluginManager):
            def print_tree(self, data, output="plugin"):
                return super().print_tree(data=data, output=output)
        manager = Sub() if {override} else PluginManager()
        {code.replace(chr(10), chr(10) + " " * 8)}
        def attempts():
            for attempt in range(2):
                try:
                    manager.print_tree(tree)
                except RecursionError:
                    print("RecursionError")
            manager.plugins.update(tree)
            try:
                repr(manager)
            except RecursionError:
                print("RecursionError")
        if {stack}:
            threading.stack_size({stack})
            worker = threading.Thread(target=attempts)
            worker.start()
            worker.join()
        else:
            attempts()
        print(manager.print_tree({{"still": "alive"}}))
    """
    result = run_python(program, check=False)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split("\n") == ["RecursionError"] * 3 + ["plugin", "  |__ still = alive", ""]


def test_deep_tree_within_the_limit():
    tree = {}
    node = tree
    for i in range(300):
        node[f"k{i}"] = node = {}
    node["leaf"] = "x\ny"
    native, transcribed = both(tree)
    assert native == transcribed
    assert native.split("\n")[-1] == " " * 602 + "y"


keys = st.one_of(st.text(max_size=4), st.integers(-3, 3), st.none())
leaves = st.one_of(st.text(max_size=6), st.integers(), st.none(), st.just({}), st.booleans())
trees = st.recursive(leaves, lambda children: st.dictionaries(keys, children, max_size=4),
                     max_leaves=30)


@settings(max_examples=300, deadline=None)
@given(trees, st.text(max_size=3))
def test_any_tree_draws_like_the_transcription(tree, output):
    native, transcribed = both(tree, output)
    assert native == transcribed
