"""Plugin discovery: the walk of the built-in plugins package and installed entry points.

Scenarios that import plugin code run in a fresh interpreter around a host package built in a
temporary directory; the plugins record their own execution in the top-level module `seen`."""
import json
import os
import sys

import pytest

from conftest import run_python
from mirvak.core import pluginmanager as pm

PluginManager = pm.PluginManager

SEEN = {"seen.py": "order = []\nfail = set()\n"}
# Every plugin module notes that it ran, and raises if the scenario asks it to.
PLUGIN = "import seen\nseen.order.append(__name__)\n"


def plugin(raises=None):
    if raises is None:
        return PLUGIN
    return PLUGIN + f"raise {raises}\n"


def tree(names, prefix="mirvak/plugins/"):
    """{relative path: plugin text} for dotted names below the plugins package; a trailing
    '/' makes a package."""
    files = {}
    for entry in names:
        path = entry.replace(".", "/")
        path = path + "__init__.py" if entry.endswith("/") else path + ".py"
        files[prefix + path] = plugin()
    return files


# Runs discovery with importlib rebound to a recorder, then prints what ran and what was asked.
DISCOVER = """
    import json, seen, importlib
    from mirvak.core import pluginmanager as pm
    asked = []
    class Recorder:
        def import_module(self, name):
            asked.append(name)
            return importlib.import_module(name)
    pm.importlib = Recorder()
    outcome = None
    try:
        result = pm.PluginManager.discover_builtin_plugins()
        outcome = repr(result)
    except BaseException as error:
        outcome = type(error).__name__ + ": " + str(error)
    short = lambda names: [n[len("mirvak.plugins."):] for n in names]
    print(json.dumps([outcome, short(seen.order), short(asked)]))
"""


def discover(host_package, files, code=DISCOVER):
    root = host_package({**SEEN, **files})
    return json.loads(run_python(code, path=root).stdout)


def test_walk_order_and_test_filters(host_package):
    files = tree([
        "gamma", "b9", "b10", "Upper", "mytests",
        "alpha/", "alpha.zeta", "alpha.beta/", "alpha.beta.inner",
        "alpha.tests/", "alpha.tests.test_one", "alpha.tests.deeper/", "alpha.tests.deeper.x",
        "alpha.unittests", "alpha.testsuite", "alpha.test_util",
        "tests/", "tests.deep/", "tests.deep.x",
    ])
    outcome, ran, asked = discover(host_package, files)
    assert outcome == "None"
    # Sorted by file name, each package followed at once by its own contents.
    assert asked == [
        "Upper", "alpha", "alpha.beta", "alpha.beta.inner", "alpha.test_util",
        "alpha.testsuite", "alpha.zeta", "b10", "b9", "gamma",
    ]
    # The walk itself imports the skipped test packages to list them, never their modules.
    assert ran == [
        "Upper", "alpha", "alpha.beta", "alpha.beta.inner", "alpha.test_util",
        "alpha.tests", "alpha.tests.deeper", "alpha.testsuite", "alpha.zeta",
        "b10", "b9", "gamma", "tests", "tests.deep",
    ]


def test_empty_plugins_package(host_package):
    assert discover(host_package, {}) == ["None", [], []]


@pytest.mark.parametrize("raises, outcome", [
    ("RuntimeError('boom')", "RuntimeError: boom"),
    ("ImportError('missing dependency')", "ImportError: missing dependency"),
    ("SystemExit(3)", "SystemExit: 3"),
])
def test_failing_plugin_stops_the_walk(host_package, raises, outcome):
    files = tree(["a", "c", "d/", "d.e"])
    files["mirvak/plugins/b.py"] = plugin(raises)
    got, ran, asked = discover(host_package, files)
    assert [got, ran, asked] == [outcome, ["a", "b"], ["a", "b"]]


@pytest.mark.parametrize("package, raises, outcome, ran", [
    # The walk's own import of a skipped package: ImportError passes silently (its contents
    # are then not listed), any other error propagates.
    ("tests", "ImportError('no')", "None", ["a", "tests", "z"]),
    ("tests", "ModuleNotFoundError('no')", "None", ["a", "tests", "z"]),
    ("tests", "ValueError('bad')", "ValueError: bad", ["a", "tests"]),
    # A package that passes the filter is imported by discovery first: nothing is swallowed.
    ("pkg", "ImportError('no')", "ImportError: no", ["a", "pkg"]),
])
def test_errors_while_walking_packages(host_package, package, raises, outcome, ran):
    files = tree(["a", "z", f"{package}.inner"])
    files[f"mirvak/plugins/{package}/__init__.py"] = plugin(raises)
    got, seen_order, _ = discover(host_package, files)
    assert [got, seen_order] == [outcome, ran]


# mirvak.plugins as a plain module next to the package's other modules.
PLAIN_MODULE = {
    "mirvak/plugins/__init__.py": None,
    "mirvak/plugins.py": "supported_os = ['linux']\nsupported_chassis = ['single_rp']\n",
    "mirvak/sibling.py": plugin(),
}

RECORD_WALK = """
    import json, os, pkgutil
    import mirvak.plugins
    from mirvak.core import pluginmanager as pm
    calls = []
    class Walker:
        def walk_packages(self, *args, **kwargs):
            calls.append([args, kwargs])
            return iter([(None, "mirvak.plugins.sibling", False)])
    class Importer:
        def import_module(self, name):
            calls.append(name)
    real = pm.pkgutil, pm.importlib
    pm.pkgutil, pm.importlib = Walker(), Importer()
    pm.PluginManager.discover_builtin_plugins()
    expected = [os.path.dirname(mirvak.plugins.__file__)]
    # The real walk lists the siblings under the plugins prefix, which cannot import them so.
    pm.pkgutil, pm.importlib = real
    try:
        pm.PluginManager.discover_builtin_plugins()
    except ModuleNotFoundError as error:
        calls.append(error.name)
    print(json.dumps([calls, expected, hasattr(mirvak.plugins, "__path__")]))
"""


def test_plain_module_falls_back_to_its_directory(host_package):
    root = host_package({**SEEN, **PLAIN_MODULE})
    calls, expected, has_path = json.loads(run_python(RECORD_WALK, path=root).stdout)
    assert not has_path
    assert calls == [[[expected, "mirvak.plugins."], {}], "mirvak.plugins.sibling",
                     "mirvak.plugins.core"]
    assert expected == [str(root / "mirvak")]


# A plugins module that the from-import of __path__ cannot satisfy for various reasons.
LOCATE = """
    import json, sys, types
    import mirvak
    FAIL = {}
    module = types.ModuleType("mirvak.plugins")
    module.supported_os, module.supported_chassis = ["linux"], ["single_rp"]
    asked = []
    def lookup(name):
        asked.append(name)
        if name in FAIL:
            raise eval(FAIL[name])
        raise AttributeError(name)
    module.__getattr__ = lookup
    sys.modules["mirvak.plugins"] = mirvak.plugins = module
    from mirvak.core import pluginmanager as pm
    FAIL.update(FAIL_SPEC)
    del asked[:]
    try:
        pm.PluginManager.discover_builtin_plugins()
        out = ["None"]
    except BaseException as error:
        context = error.__context__
        out = [type(error).__name__, str(error),
               type(context).__name__ if context else None, str(context) if context else None]
    print(json.dumps([out, list(dict.fromkeys(asked))]))
"""


@pytest.mark.parametrize("fail, outcome, asked", [
    # Neither __path__ nor __file__: the fall-back's ImportError carries the first one.
    ({}, ["ImportError", "cannot import name '__file__' from 'mirvak.plugins' (unknown location)",
          "ImportError", "cannot import name '__path__' from 'mirvak.plugins' (unknown location)"],
     ["__path__", "__file__"]),
    ({"__file__": "KeyError('f')"},
     ["KeyError", "'f'", "ImportError",
      "cannot import name '__path__' from 'mirvak.plugins' (unknown location)"],
     ["__path__", "__file__"]),
    # An ImportError subclass also leads to the fall-back (where the import itself, probing
    # __path__, fails again)...
    ({"__path__": "ModuleNotFoundError('p')"},
     ["ModuleNotFoundError", "p", "ModuleNotFoundError", "p"], ["__path__"]),
    # ...any other error propagates unchanged.
    ({"__path__": "LookupError('p')"}, ["LookupError", "p", None, None], ["__path__"]),
])
def test_locating_the_plugins_package(host_package, fail, outcome, asked):
    root = host_package()
    code = LOCATE.replace("FAIL_SPEC", repr(fail))
    assert json.loads(run_python(code, path=root).stdout) == [outcome, asked]


class Recorder:
    """Stands in for a module global and records how discovery uses it."""

    def __init__(self, walked=()):
        self.calls = []
        self.walked = walked

    def walk_packages(self, *args, **kwargs):
        self.calls.append(("walk_packages", args, kwargs))
        return iter(self.walked)

    def import_module(self, *args, **kwargs):
        self.calls.append(("import_module", args, kwargs))


def test_walk_arguments_and_filters_on_names(monkeypatch):
    import mirvak.plugins

    names = [
        "mirvak.plugins.a", "other.a", "x.plugins", "x.plugins.y", "mirvak.plugins.tests",
        "mirvak.plugins.a.tests.b", "mirvak.plugins.a.mytests", "mirvak.plugins.a.tests_b",
        "mirvak.plugins.a.testsuite", "mirvak.plugins.a.test_util", "mirvak.plugins.a.test",
    ]
    walker = Recorder([(object(), name, True) for name in names])
    importer = Recorder()
    monkeypatch.setattr(pm, "pkgutil", walker)
    monkeypatch.setattr(pm, "importlib", importer)
    assert PluginManager().discover_builtin_plugins() is None
    [(_, args, kwargs)] = walker.calls
    assert kwargs == {} and args == (mirvak.plugins.__path__, "mirvak.plugins.")
    assert args[0] is mirvak.plugins.__path__
    assert [call[1][0] for call in importer.calls] == [
        "mirvak.plugins.a", "x.plugins.y", "mirvak.plugins.a.tests_b",
        "mirvak.plugins.a.testsuite", "mirvak.plugins.a.test_util", "mirvak.plugins.a.test",
    ]
    assert all(call[2] == {} and len(call[1]) == 1 for call in importer.calls)


@pytest.mark.parametrize("global_name", ["pkgutil", "importlib"])
def test_globals_are_looked_up_at_each_call(monkeypatch, global_name):
    monkeypatch.setattr(pm, "pkgutil", Recorder([(None, "mirvak.plugins.zz", False)]))
    monkeypatch.setattr(pm, "importlib", Recorder())
    monkeypatch.delattr(pm, global_name)
    with pytest.raises(NameError, match=f"'{global_name}'"):
        PluginManager.discover_builtin_plugins()
    replacement = Recorder([(None, "mirvak.plugins.zz", False)])
    monkeypatch.setattr(pm, global_name, replacement, raising=False)
    PluginManager.discover_builtin_plugins()
    assert replacement.calls and replacement.calls[0][0] in ("walk_packages", "import_module")


# --- installed distributions -------------------------------------------------------------

HOME = {
    # The host's own default manager, which external plugins register with.
    "mirvak/home.py": "from mirvak.core.pluginmanager import PluginManager\nmanager = PluginManager()\n",
}


def ext_module(class_name, raises=None):
    text = (
        "import seen\nseen.order.append(__name__)\n"
        "from mirvak.home import manager\n"
        f"class {class_name}:\n    pass\n"
        f"manager.register_plugin({class_name}, os='linux')\n"
        "def setup():\n    seen.order.append('setup called')\n"
    )
    return text + (f"raise {raises}\n" if raises else "")


def distribution(name, groups):
    """Files of an installed distribution: {group: [(entry name, value), ...]}."""
    lines = []
    for group, entries in groups.items():
        lines.append(f"[{group}]")
        lines += [f"{entry} = {value}" for entry, value in entries]
    return {
        f"{name}-1.0.dist-info/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n",
        f"{name}-1.0.dist-info/entry_points.txt": "\n".join(lines) + "\n",
    }


EXTERNAL = """
    import json, seen, logging, importlib.metadata
    from mirvak.core import pluginmanager as pm
    from mirvak.home import manager
    records = []
    class Keep(logging.Handler):
        def emit(self, record):
            records.append(record.getMessage())
    logging.getLogger("mirvak").addHandler(Keep())
    logging.getLogger("mirvak").setLevel(logging.DEBUG)
    calls, real = [], pm.entry_points
    def recorded(*args, **kwargs):
        calls.append(kwargs)
        return real(*args, **kwargs)
    pm.entry_points = recorded
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
    print(json.dumps([outcome, loading, seen.order, winner, calls]))
"""


@pytest.fixture
def installed(host_package, tmp_path_factory):
    """installed(dists..., modules) -> run(code) in a host with those distributions on the path;
    each distribution gets its own path entry, in the order given."""

    def build(*dists, modules=None):
        root = host_package({**SEEN, **HOME, **(modules or {})})
        paths = [str(root)]
        for files in dists:
            site = tmp_path_factory.mktemp("site")
            for relative, text in files.items():
                (site / os.path.dirname(relative)).mkdir(parents=True, exist_ok=True)
                (site / relative).write_text(text)
            paths.append(str(site))

        def run(group="", code=EXTERNAL):
            code = code.replace("# SETUP", group)
            return json.loads(run_python(code, path=os.pathsep.join(paths)).stdout)

        return run

    return build


EXT_MODULES = {
    "ext_alpha/__init__.py": "",
    "ext_alpha/hooks.py": ext_module("AlphaConnection"),
    "ext_zulu.py": ext_module("ZuluConnection"),
    "ext_beta.py": ext_module("BetaConnection"),
    "ext_other.py": ext_module("OtherConnection"),
}


def test_entry_points_load_in_listed_order_and_later_wins(installed):
    run = installed(
        distribution("extfirst", {
            "mirvak.plugins": [("zulu", "ext_zulu:setup"), ("alpha", "ext_alpha.hooks:setup")],
            "other.group": [("other", "ext_other:setup")],
        }),
        distribution("extsecond", {"mirvak.plugins": [("beta", "ext_beta")]}),
        modules=EXT_MODULES,
    )
    outcome, loading, order, winner, calls = run()
    assert outcome == "None"
    # 3.9's entry_points() takes no keyword: the fall-back is the path taken there.
    group = {"group": "mirvak.plugins"}
    assert calls == ([group, {}] if sys.version_info < (3, 10) else [group])
    assert loading == [
        "Loading external plugin zulu from ext_zulu",
        "Loading external plugin alpha from ext_alpha.hooks",
        "Loading external plugin beta from ext_beta",
    ]
    # load() imports and resolves; discovery never calls what it loaded.
    assert order == ["ext_zulu", "ext_alpha.hooks", "ext_beta"]
    assert winner == "BetaConnection"


def test_rebinding_the_group_and_an_empty_group(installed):
    run = installed(
        distribution("extfirst", {"mirvak.plugins": [("zulu", "ext_zulu:setup")],
                                  "other.group": [("other", "ext_other:setup")]}),
        modules=EXT_MODULES,
    )
    assert run("pm.ENTRYPOINT_GROUP = 'other.group'")[:4] == [
        "None", ["Loading external plugin other from ext_other"], ["ext_other"],
        "OtherConnection"]
    assert run("pm.ENTRYPOINT_GROUP = 'nobody.advertises'")[:4] == ["None", [], [], None]


@pytest.mark.parametrize("value, outcome", [
    ("ext_broken:setup", "RuntimeError: broken plugin"),
    ("ext_alpha.hooks:missing", "AttributeError"),
    ("ext_absent:setup", "ModuleNotFoundError: No module named 'ext_absent'"),
])
def test_failing_load_stops_after_its_record(installed, value, outcome):
    run = installed(
        distribution("extfirst", {"mirvak.plugins": [
            ("zulu", "ext_zulu:setup"), ("bad", value), ("beta", "ext_beta:setup")]}),
        modules={**EXT_MODULES,
                 "ext_broken.py": ext_module("BrokenConnection", "RuntimeError('broken plugin')")},
    )
    got, loading, order, winner, _ = run()
    assert got.startswith(outcome)
    module = value.split(":")[0]
    assert loading == ["Loading external plugin zulu from ext_zulu",
                       f"Loading external plugin bad from {module}"]
    assert "ext_beta" not in order and order[0] == "ext_zulu"
    # What loaded before stays registered (the broken one registered before raising).
    assert winner == ("BrokenConnection" if module == "ext_broken" else
                      "AlphaConnection" if module == "ext_alpha.hooks" else "ZuluConnection")


class EntryPoint:
    def __init__(self, name, module, log):
        self.name, self.module, self.log = name, module, log

    def load(self, *args):
        self.log.append(("load", self.name, args))


class Groups(dict):
    """What 3.9's entry_points() returns: a mapping of group names to entry points."""

    def get(self, *args):
        self.calls.append(args)
        return super().get(*args)


class Log:
    def __init__(self, journal):
        self.journal = journal

    def debug(self, *args, **kwargs):
        self.journal.append(("debug", args, kwargs))


def old_style(journal, groups):
    def entry_points(**kwargs):
        journal.append(("entry_points", kwargs))
        if kwargs:
            raise TypeError("entry_points() got an unexpected keyword argument 'group'")
        return groups

    return entry_points


def test_fallback_selection_and_debug_calls(monkeypatch):
    journal = []
    eps = [EntryPoint(7, ("a", "b"), journal), EntryPoint("n", "m.x", journal)]
    groups = Groups({"my.group": eps, "mirvak.plugins": [EntryPoint("no", "no", journal)]})
    groups.calls = []
    monkeypatch.setattr(pm, "entry_points", old_style(journal, groups))
    monkeypatch.setattr(pm, "ENTRYPOINT_GROUP", "my.group")
    monkeypatch.setattr(pm, "log", Log(journal))
    assert PluginManager.discover_external_plugins() is None
    assert groups.calls == [("my.group", [])]
    assert journal == [
        ("entry_points", {"group": "my.group"}), ("entry_points", {}),
        ("debug", ("Loading external plugin 7 from ('a', 'b')",), {}), ("load", 7, ()),
        ("debug", ("Loading external plugin n from m.x",), {}), ("load", "n", ()),
    ]
    # A group nobody advertises: the default empty list, nothing logged.
    journal.clear()
    monkeypatch.setattr(pm, "ENTRYPOINT_GROUP", "nobody")
    assert PluginManager.discover_external_plugins() is None
    assert journal == [("entry_points", {"group": "nobody"}), ("entry_points", {})]


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


@pytest.mark.parametrize("global_name", ["entry_points", "ENTRYPOINT_GROUP", "log"])
def test_external_globals_are_looked_up_at_each_call(monkeypatch, global_name):
    journal = []
    monkeypatch.setattr(pm, "entry_points", lambda **kw: [EntryPoint("a", "b", journal)])
    monkeypatch.setattr(pm, "log", Log(journal))
    monkeypatch.delattr(pm, global_name)
    with pytest.raises(NameError, match=f"'{global_name}'"):
        PluginManager.discover_external_plugins()
    assert ("load", "a", ()) not in journal


@pytest.mark.parametrize("entry, error, text", [
    (5, TypeError, "cannot unpack non-iterable int object"),
    ((None, "mirvak.plugins.a"), ValueError, "not enough values to unpack (expected 3, got 2)"),
    ((None, 42, False), TypeError, "argument of type 'int' is not iterable"),
])
def test_walk_items_unpack_like_a_for_statement(monkeypatch, entry, error, text):
    monkeypatch.setattr(pm, "pkgutil", Recorder([entry]))
    with pytest.raises(error) as caught:
        PluginManager.discover_builtin_plugins()
    assert str(caught.value) == text
