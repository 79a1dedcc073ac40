"""Plugin discovery: the walk of the built-in plugins package and installed entry points.

Scenarios that import plugin code run in a fresh interpreter around a host package built in a
temporary directory; the plugins record their own execution in the top-level module `seen`."""
import json
import os
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import run_python, write_tree
from helpers import KEEP_RECORDS, dist_files, message_of
from mirvak.core import pluginmanager as pm
from mirvak.health.order import load_order

PluginManager = pm.PluginManager
SEEN = {"seen.py": "order = []\n"}
PLUGIN = "import seen\nseen.order.append(__name__)\n"  # every plugin module notes that it ran


def tree(names, raising=None, raises=None):
    """{relative path: plugin text} for dotted names below the plugins package (a trailing '/'
    makes a package); the module named `raising` raises `raises` after noting that it ran."""
    files = {}
    for entry in names:
        path = "mirvak/plugins/" + entry.replace(".", "/")
        path += "__init__.py" if entry.endswith("/") else ".py"
        files[path] = PLUGIN + (f"raise {raises}\n" if entry == raising else "")
    return files


# Runs discovery with importlib rebound to a recorder, then prints what ran and what was asked.
DISCOVER = """
import json, seen, importlib
from mirvak.core import pluginmanager as pm
asked = []
pm.importlib = type("Recorder", (), {"import_module": lambda self, name: (
    asked.append(name), importlib.import_module(name))[1]})()
try:
    outcome = repr(pm.PluginManager.discover_builtin_plugins())
except BaseException as error:
    outcome = type(error).__name__ + ": " + str(error)
short = lambda names: [n[len("mirvak.plugins."):] for n in names]
print(json.dumps([outcome, short(seen.order), short(asked)]))
"""


def discover(host_package, files):
    return json.loads(run_python(DISCOVER, path=host_package({**SEEN, **files})).stdout)


def test_walk_order_and_test_filters(host_package):
    outcome, ran, asked = discover(host_package, tree([
        "gamma", "b9", "b10", "Upper", "mytests",
        "alpha/", "alpha.zeta", "alpha.beta/", "alpha.beta.inner",
        "alpha.tests/", "alpha.tests.test_one", "alpha.tests.deeper/", "alpha.tests.deeper.x",
        "alpha.unittests", "alpha.testsuite", "alpha.test_util",
        "tests/", "tests.deep/", "tests.deep.x",
    ]))
    assert outcome == "None"
    # Sorted by file name, each package followed at once by its own contents.
    assert asked == ["Upper", "alpha", "alpha.beta", "alpha.beta.inner", "alpha.test_util",
                     "alpha.testsuite", "alpha.zeta", "b10", "b9", "gamma"]
    # The walk itself imports the skipped test packages to list them, never their modules.
    assert ran == ["Upper", "alpha", "alpha.beta", "alpha.beta.inner", "alpha.test_util",
                   "alpha.tests", "alpha.tests.deeper", "alpha.testsuite", "alpha.zeta",
                   "b10", "b9", "gamma", "tests", "tests.deep"]


@pytest.mark.parametrize("names, raising, raises, outcome, ran, asked", [
    ([], None, None, "None", [], []),  # an empty plugins package
    # A plugin that fails stops the walk, whatever it raises.
    (["a", "b", "c", "d/", "d.e"], "b", "RuntimeError('boom')", "RuntimeError: boom",
     ["a", "b"], ["a", "b"]),
    (["a", "b", "c"], "b", "ImportError('missing')", "ImportError: missing", ["a", "b"],
     ["a", "b"]),
    (["a", "b", "c"], "b", "SystemExit(3)", "SystemExit: 3", ["a", "b"], ["a", "b"]),
    # The walk's own import of a skipped package: ImportError passes silently (its contents
    # are then not listed), any other error propagates.
    (["a", "z", "tests/", "tests.inner"], "tests/", "ImportError('no')", "None",
     ["a", "tests", "z"], ["a", "z"]),
    (["a", "z", "tests/", "tests.inner"], "tests/", "ModuleNotFoundError('no')", "None",
     ["a", "tests", "z"], ["a", "z"]),
    (["a", "z", "tests/", "tests.inner"], "tests/", "ValueError('bad')", "ValueError: bad",
     ["a", "tests"], ["a"]),
    # A package that passes the filter is imported by discovery first: nothing is swallowed.
    (["a", "z", "pkg/", "pkg.inner"], "pkg/", "ImportError('no')", "ImportError: no",
     ["a", "pkg"], ["a", "pkg"]),
])
def test_failing_imports_during_the_walk(host_package, names, raising, raises, outcome, ran,
                                         asked):
    assert discover(host_package, tree(names, raising, raises)) == [outcome, ran, asked]


class Recorder:
    """Stands in for a module global and records how discovery uses it."""

    def __init__(self, walked=()):
        self.calls, self.walked = [], walked

    def walk_packages(self, *args, **kwargs):
        self.calls.append(("walk_packages", args, kwargs))
        return iter(self.walked)

    def import_module(self, *args, **kwargs):
        self.calls.append(("import_module", args, kwargs))


@pytest.fixture
def plugins_module(monkeypatch):
    """Makes mirvak.plugins a plain module whose attribute lookups fail as told."""
    import mirvak

    module = types.ModuleType("mirvak.plugins")
    module.fail, module.asked = {}, []

    def lookup(name):
        module.asked.append(name)
        error = module.fail.get(name, AttributeError(name))
        raise type(error)(*error.args)  # a new one at each lookup

    module.__getattr__ = lookup
    monkeypatch.setitem(sys.modules, "mirvak.plugins", module)
    monkeypatch.setattr(mirvak, "plugins", module)
    return module


def test_plain_module_falls_back_to_its_directory(plugins_module, monkeypatch, tmp_path):
    write_tree(tmp_path, {"mirvak/sibling.py": "", "mirvak/core/__init__.py": ""})
    plugins_module.__file__ = str(tmp_path / "mirvak" / "plugins.py")
    walker, importer = Recorder([(None, "mirvak.plugins.sibling", False)]), Recorder()
    with monkeypatch.context() as patch:
        patch.setattr(pm, "pkgutil", walker)
        patch.setattr(pm, "importlib", importer)
        PluginManager.discover_builtin_plugins()
    assert walker.calls == [("walk_packages", ([str(tmp_path / "mirvak")], "mirvak.plugins."), {})]
    assert importer.calls == [("import_module", ("mirvak.plugins.sibling",), {})]
    # The real walk lists the siblings under the plugins prefix, which cannot import them so.
    with pytest.raises(ModuleNotFoundError) as caught:
        PluginManager.discover_builtin_plugins()
    assert caught.value.name == "mirvak.plugins.core"


NO_PATH = "cannot import name '__path__' from 'mirvak.plugins' (unknown location)"


@pytest.mark.parametrize("fail, error, context, asked", [
    # Neither __path__ nor __file__: the fall-back's ImportError carries the first one.
    ({}, ImportError(NO_PATH.replace("__path__", "__file__")), ImportError(NO_PATH),
     ["__path__", "__file__"]),
    ({"__file__": KeyError("f")}, KeyError("f"), ImportError(NO_PATH), ["__path__", "__file__"]),
    # An ImportError subclass also leads to the fall-back (where the import itself, probing
    # __path__, fails again)...
    ({"__path__": ModuleNotFoundError("p")}, ModuleNotFoundError("p"), ModuleNotFoundError("p"),
     ["__path__"]),
    # ...any other error propagates unchanged.
    ({"__path__": LookupError("p")}, LookupError("p"), None, ["__path__"]),
])
def test_locating_the_plugins_package(plugins_module, fail, error, context, asked):
    plugins_module.fail.update(fail)
    with pytest.raises(BaseException) as caught:
        PluginManager.discover_builtin_plugins()
    describe = lambda e: e and (type(e), str(e))  # noqa: E731
    assert describe(caught.value) == describe(error)
    assert describe(caught.value.__context__) == describe(context)
    assert list(dict.fromkeys(plugins_module.asked)) == asked


def test_walk_arguments_and_filters_on_names(monkeypatch):
    import mirvak.plugins

    names = [
        "mirvak.plugins.a", "other.a", "x.plugins", "x.plugins.y", "mirvak.plugins.tests",
        "mirvak.plugins.a.tests.b", "mirvak.plugins.a.mytests", "mirvak.plugins.a.tests_b",
        "mirvak.plugins.a.testsuite", "mirvak.plugins.a.test_util", "mirvak.plugins.a.test",
    ]
    walker, importer = Recorder([(object(), name, True) for name in names]), Recorder()
    monkeypatch.setattr(pm, "pkgutil", walker)
    monkeypatch.setattr(pm, "importlib", importer)
    assert PluginManager().discover_builtin_plugins() is None
    [(_, args, kwargs)] = walker.calls
    assert kwargs == {} and args == (mirvak.plugins.__path__, "mirvak.plugins.")
    assert args[0] is mirvak.plugins.__path__
    assert importer.calls == [("import_module", (name,), {}) for name in [
        "mirvak.plugins.a", "x.plugins.y", "mirvak.plugins.a.tests_b",
        "mirvak.plugins.a.testsuite", "mirvak.plugins.a.test_util", "mirvak.plugins.a.test"]]


@pytest.mark.parametrize("entry, error, statement", [
    (5, TypeError, "_, name, ispkg = 5"),
    ((None, "mirvak.plugins.a"), ValueError, "_, name, ispkg = None, 'mirvak.plugins.a'"),
    ((None, 42, False), TypeError, "'plugins' in 42"),
])
def test_walk_items_unpack_like_a_for_statement(monkeypatch, entry, error, statement):
    monkeypatch.setattr(pm, "pkgutil", Recorder([entry]))
    with pytest.raises(error) as caught:
        PluginManager.discover_builtin_plugins()
    assert str(caught.value) == message_of(statement)


# --- installed distributions -------------------------------------------------------------


def ext_module(class_name, raises=None):
    """A plugin module registering its class with the host's default manager (mirvak.home)."""
    return (f"import seen\nseen.order.append(__name__)\nfrom mirvak.home import manager\n"
            f"class {class_name}:\n    pass\nmanager.register_plugin({class_name}, os='linux')\n"
            "def setup():\n    seen.order.append('setup called')\n"
            + (f"raise {raises}\n" if raises else ""))


EXTERNAL = KEEP_RECORDS + """
import json, seen, sys
from mirvak.core import pluginmanager as pm
from mirvak.home import manager
calls, real = [], pm.entry_points
pm.entry_points = lambda *args, **kwargs: calls.append(kwargs) or real(*args, **kwargs)
# SETUP
try:
    outcome = repr(pm.PluginManager.discover_external_plugins())
except BaseException as error:
    outcome = type(error).__name__ + ": " + str(error)
try:
    winner = manager.get_plugin(os="linux").__name__
except Exception:
    winner = None
loading = [r for r in records if r.startswith("Loading")]
print(json.dumps([outcome, loading, seen.order, winner, calls, "email.parser" in sys.modules]))
"""

EXT_MODULES = {
    **SEEN,
    "mirvak/home.py": "from mirvak.core.pluginmanager import PluginManager\n"
                      "manager = PluginManager()\n",
    "ext_alpha/__init__.py": "",
    "ext_alpha/hooks.py": ext_module("AlphaConnection"),
    "ext_zulu.py": ext_module("ZuluConnection"),
    "ext_beta.py": ext_module("BetaConnection"),
    "ext_other.py": ext_module("OtherConnection"),
    "ext_broken.py": ext_module("BrokenConnection", "RuntimeError('broken plugin')"),
}


@pytest.fixture
def installed(host_package, tmp_path_factory):
    """installed(dists...) -> run(setup code): discovery in a host with those distributions on
    the path, each in its own path entry, in the order given."""

    def build(*dists):
        paths = [str(host_package(EXT_MODULES))]
        for files in dists:
            paths.append(str(tmp_path_factory.mktemp("site")))
            write_tree(paths[-1], files)
        return lambda group="": json.loads(run_python(EXTERNAL.replace("# SETUP", group),
                                                      path=os.pathsep.join(paths)).stdout)

    return build


def test_entry_points_load_grouped_by_distribution_and_later_wins(installed):
    run = installed(
        dist_files("extsecond", {"mirvak.plugins": [("beta", "ext_beta")]}),
        dist_files("extfirst", {
            "mirvak.plugins": [("zulu", "ext_zulu:setup"), ("alpha", "ext_alpha.hooks:setup")],
            "other.group": [("other", "ext_other:setup")],
        }),
    )
    outcome, loading, order, winner, calls, _ = run()
    assert outcome == "None"
    # 3.9's entry_points() takes no keyword: the fall-back is the path taken there.
    group = {"group": "mirvak.plugins"}
    assert calls == ([group, {}] if sys.version_info < (3, 10) else [group])
    # By distribution, each in its own order; 3.9's entry points know no distribution and keep
    # the listing order.
    names = ["zulu", "alpha", "beta"] if sys.version_info >= (3, 10) else ["beta", "zulu", "alpha"]
    modules = {"alpha": "ext_alpha.hooks", "zulu": "ext_zulu", "beta": "ext_beta"}
    assert loading == [f"Loading external plugin {n} from {modules[n]}" for n in names]
    # load() imports and resolves; discovery never calls what it loaded.
    assert order == [modules[n] for n in names]
    assert winner == {"beta": "BetaConnection", "alpha": "AlphaConnection"}[names[-1]]
    # The group is looked up at each call; a group nobody advertises loads nothing.
    assert run("pm.ENTRYPOINT_GROUP = 'other.group'")[:4] == [
        "None", ["Loading external plugin other from ext_other"], ["ext_other"],
        "OtherConnection"]
    assert run("pm.ENTRYPOINT_GROUP = 'nobody.advertises'")[:4] == ["None", [], [], None]


@pytest.mark.parametrize("reverse", [False, True])
def test_order_across_distributions_whatever_the_path_order(installed, reverse):
    # Ordered by the folder's name (ext_alpha before ext_zeta), not by METADATA's; each keeps
    # its own entry points' order, and one listed twice loads twice (3.9 refuses such a file).
    names = ["b", "a", "b"] if sys.version_info >= (3, 10) else ["b", "a"]
    points = [(n, {"a": "ext_zulu", "b": "ext_beta"}[n]) for n in names]
    dists = [dist_files("Ext.Zeta", {"mirvak.plugins": points}),
             dist_files("ext-alpha", {"mirvak.plugins": [("z", "ext_other")]}, "zzz-last")]
    outcome, loading, order, winner, _, email = installed(*(dists[::-1] if reverse else dists))()
    names = names + ["z"] if sys.version_info < (3, 10) and not reverse else ["z"] + names
    assert (outcome, [line.split()[3] for line in loading]) == ("None", names)
    assert order == list(dict.fromkeys({"a": "ext_zulu", "b": "ext_beta", "z": "ext_other"}[n]
                                       for n in names))
    assert winner == order[-1].replace("ext_", "").title() + "Connection"
    assert not email  # the name came from the folder: METADATA was not parsed


@pytest.mark.parametrize("value, outcome, winner", [
    # What loaded before stays registered (the broken one registered before raising).
    ("ext_broken:setup", "RuntimeError: broken plugin", "BrokenConnection"),
    ("ext_alpha.hooks:missing", "AttributeError", "AlphaConnection"),
    ("ext_absent:setup", "ModuleNotFoundError: No module named 'ext_absent'", "ZuluConnection"),
])
def test_failing_load_stops_after_its_record(installed, value, outcome, winner):
    run = installed(dist_files("extfirst", {"mirvak.plugins": [
        ("1-zulu", "ext_zulu:setup"), ("2-bad", value), ("3-beta", "ext_beta:setup")]}))
    got, loading, order, found, _, _ = run()
    assert got.startswith(outcome) and found == winner
    assert loading == ["Loading external plugin 1-zulu from ext_zulu",
                       f"Loading external plugin 2-bad from {value.split(':')[0]}"]
    assert "ext_beta" not in order and order[0] == "ext_zulu"


class EntryPoint:
    def __init__(self, name, module, journal):
        self.name, self.module, self.journal = name, module, journal

    def load(self, *args):
        self.journal.append(("load", self.name, args))


def test_fallback_selection_and_debug_calls(monkeypatch):
    journal = []

    class Groups(dict):
        """What 3.9's entry_points() returns: a mapping of group names to entry points."""

        def get(self, *args):
            journal.append(("get",) + args)
            return super().get(*args)

    groups = Groups({"my.group": [EntryPoint(7, ("a", "b"), journal),
                                  EntryPoint("n", "m.x", journal)],
                     "mirvak.plugins": [EntryPoint("no", "no", journal)]})

    def entry_points(**kwargs):
        journal.append(("entry_points", kwargs))
        if kwargs:
            raise TypeError("entry_points() got an unexpected keyword argument 'group'")
        return groups

    monkeypatch.setattr(pm, "entry_points", entry_points)
    monkeypatch.setattr(pm, "ENTRYPOINT_GROUP", "my.group")
    monkeypatch.setattr(pm, "log", types.SimpleNamespace(
        debug=lambda *args, **kwargs: journal.append(("debug", args, kwargs))))
    assert PluginManager.discover_external_plugins() is None
    assert journal == [
        ("entry_points", {"group": "my.group"}), ("entry_points", {}), ("get", "my.group", []),
        ("debug", ("Loading external plugin 7 from ('a', 'b')",), {}), ("load", 7, ()),
        ("debug", ("Loading external plugin n from m.x",), {}), ("load", "n", ()),
    ]
    journal.clear()  # a group nobody advertises: the default empty list, nothing logged
    monkeypatch.setattr(pm, "ENTRYPOINT_GROUP", "nobody")
    assert PluginManager.discover_external_plugins() is None
    assert journal == [("entry_points", {"group": "nobody"}), ("entry_points", {}),
                       ("get", "nobody", [])]


class Strange:
    def __str__(self):
        raise ZeroDivisionError("no text")


@pytest.mark.parametrize("first, second, error, context", [
    # Errors inside the fall-back carry the TypeError that led there.
    (TypeError("kw"), RuntimeError("listing failed"), RuntimeError, TypeError),
    (TypeError("kw"), {"get": None}, TypeError, TypeError),
    # Other errors of the first selection are not caught.
    (ValueError("first"), None, ValueError, None),
    (None, [EntryPoint(Strange(), "m", [])], ZeroDivisionError, None),
])
def test_selection_failures(monkeypatch, first, second, error, context):
    def entry_points(**kwargs):
        if kwargs:
            if first is not None:
                raise first
            return second
        if isinstance(second, BaseException):
            raise second
        return type("NoGet", (), second)() if isinstance(second, dict) else second

    monkeypatch.setattr(pm, "entry_points", entry_points)
    with pytest.raises(error) as caught:
        PluginManager.discover_external_plugins()
    found = caught.value.__context__
    assert (type(found) if found is not None else None) is context


@pytest.mark.parametrize("method, global_name", [
    ("discover_builtin_plugins", "pkgutil"), ("discover_builtin_plugins", "importlib"),
    ("discover_external_plugins", "entry_points"),
    ("discover_external_plugins", "ENTRYPOINT_GROUP"), ("discover_external_plugins", "log"),
])
def test_globals_are_looked_up_at_each_call(monkeypatch, method, global_name):
    journal = []
    monkeypatch.setattr(pm, "pkgutil", Recorder([(None, "mirvak.plugins.zz", False)]))
    monkeypatch.setattr(pm, "importlib", Recorder())
    monkeypatch.setattr(pm, "entry_points", lambda **kw: [EntryPoint("a", "b", journal)])
    monkeypatch.delattr(pm, global_name)
    with pytest.raises(NameError, match=f"'{global_name}'"):
        getattr(PluginManager, method)()
    assert journal == []


def read(value):
    if isinstance(value, BaseException):
        # A new exception each time: raising the same one would grow its traceback.
        raise type(value)(*value.args)
    return value


class Dist:
    """`name`, and `_normalized_name` unless it is None (the folder's name, taken as it is)."""

    def __init__(self, name, folder):
        self._name, self._folder = name, folder

    @property
    def name(self):
        return read(self._name)

    def __getattr__(self, attribute):
        if attribute != "_normalized_name" or self._folder is None:
            raise AttributeError(attribute)
        return read(self._folder)


class Point(EntryPoint):
    """An entry point with `dist` (absent when None, None when "none")."""

    def __init__(self, name, dist, folder, journal):
        super().__init__(name, "m", journal)
        if dist is not None:
            self.dist = None if dist == "none" else Dist(dist, folder)


dist_names = st.sampled_from(["Foo_Bar", "foo-bar", "foo..bar", "Zed", "", "none", None, 7,
                              RuntimeError("metadata"), KeyError("Name")])
folders = st.sampled_from([None, "foo_bar", "Zed", "a", "", 7, ValueError("unreadable")])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["a", "B", "b", 3]), dist_names, folders),
                max_size=8))
def test_class_and_report_load_in_the_same_order(entries):
    journal = []
    points = [Point(*entry, journal) for entry in entries]
    saved = pm.entry_points
    pm.entry_points = lambda **kwargs: list(points)
    try:
        assert PluginManager.discover_external_plugins() is None
    finally:
        pm.entry_points = saved
    ordered = load_order(points)
    assert sorted(map(id, ordered)) == sorted(map(id, points))  # nothing dropped or added
    assert journal == [("load", point.name, ()) for point in ordered]
