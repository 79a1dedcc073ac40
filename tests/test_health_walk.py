"""The built-in walk shared through the companion module mirvak.core._pluginwalk, and the
report's built-in discovery going on past broken plugin modules."""
import json
import os
import shutil
import subprocess

import pytest

import mirvak
from conftest import EXTENSION, run_python
from helpers import A, B, C, message_of
from mirvak.core import pluginmanager as pm_module
from mirvak.core.pluginmanager import PluginManager
from mirvak.health import _walk, discovery_report

PACKAGE = os.path.dirname(os.path.abspath(mirvak.__file__))
NAMES = [
    "mirvak.plugins.a", "other.a", "x.plugins", "x.plugins.y", "mirvak.plugins.tests",
    "mirvak.plugins.a.tests.b", "mirvak.plugins.a.mytests", "mirvak.plugins.a.tests_b",
    "mirvak.plugins.a.testsuite", "mirvak.plugins.a.test_util", "mirvak.plugins.a.test",
]


class Recorder:
    """Stands in for the globals pkgutil and importlib; records how they are used."""

    def __init__(self, walked=()):
        self.calls, self.walked = [], walked

    def walk_packages(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return iter(self.walked)

    def import_module(self, name):
        self.calls.append(name)


@pytest.mark.parametrize("onerror", [None, print])
def test_companion_walks_with_the_class_globals_and_filter(monkeypatch, onerror):
    walker, importlib = Recorder([(None, name, False) for name in NAMES]), Recorder()
    monkeypatch.setattr(pm_module, "pkgutil", walker)
    monkeypatch.setattr(pm_module, "importlib", importlib)
    pm_module.PluginManager.discover_builtin_plugins()
    by_class, class_walk = list(importlib.calls), walker.calls.pop()
    asked = []
    _walk.walk_builtin_plugins(asked.append, onerror)
    args, kwargs = walker.calls.pop()
    assert (args, kwargs) == (class_walk[0], {} if onerror is None else {"onerror": onerror})
    assert asked == by_class == [name for name in NAMES if _walk.is_plugin_module(name)]
    assert importlib.calls == by_class  # the companion's walk imported nothing itself
    with pytest.raises(TypeError) as caught:
        _walk.is_plugin_module(42)
    assert str(caught.value) == message_of("'plugins' in 42")


def test_companion_needs_the_registry_module():
    res = run_python(f"""
        import importlib.machinery, importlib.util
        loader = importlib.machinery.ExtensionFileLoader("mirvak.core._pluginwalk", {EXTENSION!r})
        module = importlib.util.module_from_spec(
            importlib.util.spec_from_loader(loader.name, loader))
        try:
            loader.exec_module(module)
        except ImportError as error:
            print(error)
        """)
    assert res.stdout == ("mirvak.core._pluginwalk works on the globals of "
                          "mirvak.core.pluginmanager, which has not been imported in this "
                          "interpreter: import it first\n")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_only_the_two_init_functions_are_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", EXTENSION], capture_output=True,
                             text=True, check=True).stdout
    functions = [line.split()[-1] for line in listing.splitlines() if line.split()[1] == "T"]
    assert sorted(functions) == ["PyInit__pluginwalk", "PyInit_pluginmanager"]


def registering(platform, tail=""):
    return ("from mirvak.manager import plugin_manager\nclass K:\n    pass\n"
            f"plugin_manager.register_plugin(K, os='linux', platform='{platform}')\n" + tail)


# A plugins tree with broken modules and packages, each note in the walk's order.
BROKEN = {
    "a.py": registering("pa"),
    "alpha/__init__.py": "",
    "alpha/tests/__init__.py": "raise ImportError('skipped, as the class skips it')\n",
    "alpha/tests/test_x.py": "raise RuntimeError('never imported')\n",
    "b.py": registering("pb", "raise ValueError('bad b')\n"),
    "c.py": registering("pc"),
    "d.py": "from mirvak.manager import plugin_manager\n"
            "plugin_manager.unregister_plugin(os='linux', platform='pa')\n",
    "hang/__init__.py": "while True:\n    pass\n",  # timed out, and not walked again
    "hang/inner.py": registering("never"),
    "pkg/__init__.py": "raise ImportError('no pkg')\n",
    "pkg/inner.py": registering("never"),
    "tests/__init__.py": "raise ValueError('bad tests package')\n",
    "zeta/__init__.py": "",
    "zeta/tests/__init__.py": registering("pz"),
}

REPORT = """
import json
from mirvak.health import discovery_report
from mirvak.core.pluginmanager import PluginManager
report = discovery_report(external=False, timeout=0.5)
print(json.dumps([[p.module[len("mirvak.plugins."):], p.status, p.error and str(p.error),
                   p.imported_by_walk, [r.place[1] for r in p.registrations]
                   + ["-" + place[1] for place, _ in p.removed]]
                  for p in report.plugins]))
try:
    PluginManager.discover_builtin_plugins()
except Exception as error:
    print(type(error).__name__ + ": " + str(error))
"""


def test_report_goes_on_past_broken_builtin_plugins(host_package):
    root = host_package({"mirvak/plugins/" + path: text for path, text in BROKEN.items()})
    for part in ("health", "manager.py"):
        copy = shutil.copytree if part == "health" else shutil.copy
        copy(os.path.join(PACKAGE, part), root / "mirvak" / part)
    out = run_python(REPORT, path=root).stdout.splitlines()
    assert json.loads(out[0]) == [
        ["a", "ok", None, False, ["pa"]],
        ["alpha", "ok", None, False, []],
        ["b", "failed", "ValueError: bad b", False, ["pb"]],
        ["c", "ok", None, False, ["pc"]],
        ["d", "ok", None, False, ["-pa"]],
        ["hang", "failed", "ImportTimeout: timed out after 0.5 s", False, []],
        ["pkg", "failed", "ImportError: no pkg", False, []],
        ["tests", "failed", "ValueError: bad tests package", True, []],
        ["zeta", "ok", None, False, []],
        ["zeta.tests", "ok", None, True, ["pz"]],
    ]
    # The class's own discovery stops at the first failure, as it always did.
    assert out[1] == "ValueError: bad b"


class Closed(PluginManager):
    """A manager whose methods cannot be shadowed: the report cannot watch them."""

    def __setattr__(self, name, value):
        if callable(getattr(type(self), name, None)):
            raise AttributeError(name)
        super().__setattr__(name, value)


def overriding():
    """A manager whose instance overrides register_plugin (calling the class's)."""
    pm = PluginManager()
    pm.register_plugin = lambda *args, **kwargs: PluginManager.register_plugin(pm, *args, **kwargs)
    return pm


@pytest.mark.parametrize("manager", [PluginManager, Closed, overriding])
@pytest.mark.parametrize("replace_tree", [False, True])
def test_report_attributes_each_registration_to_its_source(monkeypatch, manager, replace_tree):
    pm = manager()
    own = dict(vars(pm))

    def z():
        pm.register_plugin(C, os="linux")
        pm.unregister_plugin(os="freebsd")
        if replace_tree:  # a tree replaced wholesale, with the very records it held
            object.__setattr__(pm, "_plugins", dict(pm._plugins))

    def plan(name):
        step = {"x": lambda: pm.register_plugin(B, os="linux"),
                "y": lambda: 1 / 0, "z": z}[name.rsplit(".", 1)[1]]
        step()

    pm.register_plugin(A, os="linux")
    pm.register_plugin(A, os="freebsd")
    importer = Recorder()
    importer.import_module = plan
    monkeypatch.setattr(pm_module, "pkgutil", Recorder(
        [(None, "mirvak.plugins." + name, False) for name in "xyz"]))
    monkeypatch.setattr(pm_module, "importlib", importer)
    report = discovery_report(pm, external=False)
    assert [(p.module, p.status, str(p.error), [str(r) for r in p.registrations], p.removed)
            for p in report.plugins] == [
        ("mirvak.plugins.x", "ok", "None", ["linux [single_rp]: helpers.B"], []),
        ("mirvak.plugins.y", "failed", "ZeroDivisionError: division by zero", [], []),
        ("mirvak.plugins.z", "ok", "None", ["linux [single_rp]: helpers.C"],
         [(("freebsd",), "single_rp")])]
    assert [str(c) for c in report.conflicts] == [
        "linux [single_rp]: helpers.C from mirvak.plugins.z replaced helpers.A from before "
        "discovery, then helpers.B from mirvak.plugins.x"]
    assert report.source_of(pm.plugins["linux"]["data"]["single_rp"]) == "mirvak.plugins.z"
    # The manager's methods are its own again.
    assert {k: v for k, v in vars(pm).items() if k != "_plugins"} == \
        {k: v for k, v in own.items() if k != "_plugins"}


@pytest.mark.parametrize("given, names", [
    ("flaky", ["flaky"]), ("flaky, hooks", ["flaky", "hooks"]), (["a,b", "c"], ["a", "b", "c"]),
])
def test_disable_and_prefer_take_a_str_as_one_name(given, names):
    report = discovery_report(PluginManager(), builtin=False, external=False, disable=given,
                              prefer=given, environ={})
    assert report.disabled == report.preferred == names
