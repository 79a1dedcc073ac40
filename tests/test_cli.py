"""``python -m mirvak``, run as a subprocess against the installed package."""
import json
import os
import shutil
from pathlib import Path

import pytest

import mirvak.plugins
from conftest import write_tree
from helpers import REPO, SAMPLES, dist_files, pip_install, run_cli

PLUGINS_DIR = Path(mirvak.plugins.__file__).resolve().parent
EMPTY = "the registry is empty: no plugin source registered a class"


def sample_file(module):
    return str(PLUGINS_DIR.joinpath(*module.split("."))) + ".py"


def test_tree_draws_and_dumps_the_sample_plugins():
    res = run_cli("tree", "--no-external")
    assert (res.returncode, res.stderr) == (0, "")
    lines = res.stdout.splitlines()
    assert lines[0] == "plugin"
    assert [line for line in lines if line.startswith("  |__ ")] == [
        "  |__ " + o for o in ("freebsd", "illumos", "linux", "netbsd", "openbsd")]
    for module, qualname, _ in SAMPLES:
        cls_line = f"|__ cls = <class 'mirvak.plugins.{module}.{qualname}'>"
        (at,) = [i for i, line in enumerate(lines) if line.endswith(cls_line)]
        assert lines[at + 1].endswith("|__ path = " + sample_file(module))
    # The last system's subtree: no bar in front, one level further left.
    assert lines[-6:] == [
        "  |__ openbsd", "    |__ p2", "      |__ data", "        |__ single_rp",
        "          |__ cls = <class 'mirvak.plugins.bsd.openbsd.OpenbsdP2Connection'>",
        "          |__ path = " + sample_file("bsd.openbsd")]

    expected = {}
    for module, qualname, reg in SAMPLES:
        node = expected
        for key in filter(None, [reg.get(k) for k in ("os", "platform", "model", "os_flavor")]):
            node = node.setdefault(key, {})
        node.setdefault("data", {})[reg.get("chassis_type", "single_rp")] = {
            "cls": f"mirvak.plugins.{module}.{qualname}", "path": sample_file(module),
            "source": f"mirvak.plugins.{module}"}
    res = run_cli("tree", "--json", "--no-external")
    assert (res.returncode, res.stderr, json.loads(res.stdout)) == (0, "", expected)
    res = run_cli("tree", "--json", "--no-builtin", "--no-external")
    assert (res.returncode, json.loads(res.stdout)) == (0, {})
    res = run_cli("tree", "--no-builtin", "--no-external")
    assert (res.returncode, res.stdout, res.stderr) == (0, "", "note: " + EMPTY + "\n")


@pytest.mark.parametrize("args, module, qualname, note", [
    (["--os", "linux", "--platform", "p1", "--model", "m1"], "generic.connection",
     "GenericM1Connection", ""),
    (["--os", "linux", "--platform", "p7", "--os-flavor", "edge"], "generic.connection",
     "GenericEdgeConnection",
     "note: no p7 under linux; answered from linux/edge; --explain says why\n"),
    (["--os", "freebsd", "--chassis-type", "dual_rp"], "bsd.freebsd", "FreebsdDualConnection",
     ""),
])
def test_lookup(args, module, qualname, note):
    res = run_cli("lookup", *args)
    assert (res.returncode, res.stderr) == (0, note)
    assert res.stdout.splitlines() == [f"mirvak.plugins.{module}.{qualname}", sample_file(module),
                                       f"registered by: built-in module mirvak.plugins.{module}"]


def test_lookup_json():
    res = run_cli("lookup", "--json", "--os", "linux", "--platform", "p7")
    assert res.returncode == 0
    assert json.loads(res.stdout) == {"cls": "mirvak.plugins.generic.connection.GenericConnection",
                                      "path": sample_file("generic.connection"), "replaced": [],
                                      "source": "built-in module mirvak.plugins.generic.connection"}
    assert res.stderr == "note: no p7 under linux; answered from linux; --explain says why\n"


@pytest.mark.parametrize("args, message, note", [
    (["--os", "linux", "--platform", "P1"], "platform (P1) has to be in lowercase", None),
    (["--os", "openbsd", "--platform", "p5"],
     "Plugin data not found for (openbsd/p5), type: single_rp ",
     "no p5 under openbsd, nothing registered at openbsd"),
    (["--os", "Linux", "--platform", "p1"], "Plugin data not found for (Linux/p1), type: single_rp ",
     "no Linux under the root (did you mean linux?), no p1 under the root"),
    (["--os", "linx"], "Plugin data not found for (linx), type: single_rp ",
     "no linx under the root (did you mean linux?)"),
    (["--os", "linux", "--chassis-type", "dualrp"],
     "Plugin data not found for (linux), type: dualrp ",
     "no chassis type dualrp at linux (did you mean dual_rp?)"),
    (["--os", ""], "OS should be one of these ['linux', 'freebsd', 'openbsd', 'netbsd', 'illumos']"
     " , but got ", None),
])
def test_lookup_errors(args, message, note):
    notes = f"note: {note}; --explain says why\n" if note else ""
    res = run_cli("lookup", *args)
    # The error line first, then its notes.
    assert (res.returncode, res.stdout, res.stderr) == (1, "", "error: " + message + "\n" + notes)
    res = run_cli("lookup", "--json", *args)
    assert (res.returncode, res.stderr) == (1, "error: " + message + "\n" + notes)
    assert json.loads(res.stdout)["error"] == message


@pytest.mark.parametrize("args", [
    [], ["lookup"], ["lookup", "--os"], ["tree", "--bogus"], ["remove"], ["tree", "extra"],
])
def test_usage_errors_exit_2(args):
    res = run_cli(*args)
    assert res.returncode == 2
    assert "usage:" in res.stderr and "Traceback" not in res.stderr


def test_verbose_shows_debug_records():
    args = ["lookup", "--os", "plan9"]
    error = ("error: Plugin data not found for (plan9), type: single_rp \n"
             "note: no plan9 under the root; --explain says why\n")
    for res in (run_cli("-v", *args), run_cli(*args, "--verbose")):
        assert res.returncode == 1
        assert "plan9 is not part of the built-in list of supported OSes." in res.stderr
        assert res.stderr.endswith(error)
    assert run_cli(*args).stderr == error


# ---- external plugins -------------------------------------------------------

DEMO_DOTTED = "mirvak_demo_plugin.connection.DemoP9Connection"


@pytest.fixture(scope="module")
def demo_plugin(tmp_path_factory):
    """The example external plugin, installed with pip into a directory
    that goes on PYTHONPATH (its dist-info carries the entry point)."""
    root = tmp_path_factory.mktemp("demo")
    shutil.copytree(os.path.join(REPO, "examples", "external_plugin"), root / "source",
                    ignore=shutil.ignore_patterns("build", "*.egg-info"))
    return pip_install(root / "site", root / "source")


def test_external_plugin_in_tree_and_lookup(demo_plugin):
    res = run_cli("tree", pythonpath=demo_plugin)
    assert res.returncode == 0, res.stderr
    assert "cls = <class 'mirvak.plugins.generic.connection.GenericConnection'>" in res.stdout
    assert "  |__ p9\n" in res.stdout
    path = demo_plugin / "mirvak_demo_plugin" / "connection.py"
    assert run_cli("tree", "--no-builtin", pythonpath=demo_plugin).stdout == "\n".join([
        "plugin", "  |__ linux", "    |__ p9", "      |__ data", "        |__ single_rp",
        f"          |__ cls = <class '{DEMO_DOTTED}'>", f"          |__ path = {path}", ""])
    res = run_cli("tree", "--json", "--no-builtin", pythonpath=demo_plugin)
    assert json.loads(res.stdout) == {"linux": {"p9": {"data": {"single_rp": {
        "cls": DEMO_DOTTED, "path": str(path),
        "source": "entry point demo = mirvak_demo_plugin.connection (mirvak-demo-plugin 0.1.0)"}}}}}

    res = run_cli("-v", "lookup", "--os", "linux", "--platform", "p9", "--model", "m2",
                  pythonpath=demo_plugin)
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines()[0] == DEMO_DOTTED
    assert "Loading external plugin demo from mirvak_demo_plugin.connection" in res.stderr
    res = run_cli("lookup", "--os", "linux", "--platform", "p9", "--no-external",
                  pythonpath=demo_plugin)
    assert res.stdout.splitlines()[0] == "mirvak.plugins.generic.connection.GenericConnection"


BAD = "plugin entry point bad = badplug.hooks (badplug 1.0) failed to load: "
RAISED = "; hint: the plugin raised while it was imported: fix it; or skip it: --disable bad"


@pytest.mark.parametrize("files, expected", [
    ({"badplug/hooks.py": "raise ValueError('boom')\n"}, "ValueError: boom" + RAISED),
    ({"badplug/hooks.py": "import badplug.helper\n",
      "badplug/helper.py": "import no_such_dependency_xyz\n"},
     "ModuleNotFoundError: No module named 'no_such_dependency_xyz'; hint: no_such_dependency_xyz "
     "is a missing dependency of badplug: install it (pip install no_such_dependency_xyz, if "
     "that is its distribution's name); or skip it: --disable bad"),
    ({"badplug/hooks.py": "import badplug.helper\n"},
     "ModuleNotFoundError: No module named 'badplug.helper'; hint: module badplug.helper is "
     "missing from badplug (a packaging fault): reinstall or fix the distribution; or skip it: "
     "--disable bad"),
    ({"badplug/hooks.py": """\
        from mirvak.manager import plugin_manager
        class C: pass
        plugin_manager.register_plugin(C, os="linux", platform="Upper")
        """}, "mirvak.core.errors.ConnectionInfraError: platform (Upper) has to be in lowercase"
     + RAISED),
    ({}, "ModuleNotFoundError: No module named 'badplug.hooks'; hint: badplug has no module "
         "badplug.hooks: fix the entry point's value (now bad = badplug.hooks) to name a module "
         "it installs; or skip it: --disable bad"),
])
def test_failing_external_plugin_warns_and_strict_fails(tmp_path, files, expected):
    write_tree(tmp_path, {**dist_files("badplug", {"mirvak.plugins": [("bad", "badplug.hooks")]}),
                          "badplug/__init__.py": "", **files})
    res = run_cli("tree", pythonpath=tmp_path)
    assert (res.returncode, res.stderr) == (0, "warning: " + BAD + expected + "\n")
    assert "GenericConnection" in res.stdout  # the plugins that loaded still answer
    res = run_cli("tree", "--strict", pythonpath=tmp_path)
    assert (res.returncode, res.stdout, res.stderr) == (1, "", "error: " + BAD + expected + "\n")


def test_failing_plugin_does_not_stop_lookup(tmp_path):
    write_tree(tmp_path, {**dist_files("badplug", {"mirvak.plugins": [("bad", "badplug")]}),
                          "badplug/__init__.py": "1/0\n"})
    res = run_cli("-v", "lookup", "--os", "linux", pythonpath=tmp_path)
    assert res.returncode == 0
    assert res.stdout.splitlines()[0] == "mirvak.plugins.generic.connection.GenericConnection"
    assert "debug: Loading external plugin bad from badplug\n" in res.stderr
    assert res.stderr.endswith("warning: plugin entry point bad = badplug (badplug 1.0) failed "
                               "to load: ZeroDivisionError: division by zero; hint: the plugin "
                               "raised while it was imported: fix it; or skip it: --disable "
                               "bad\n")
    # Neither the plugin nor a warning when external discovery is skipped.
    res = run_cli("tree", "--no-external", pythonpath=tmp_path)
    assert (res.returncode, res.stderr) == (0, "")


def test_registry_with_a_non_text_key(tmp_path):
    # An empty model without a platform files the class under linux/None/"".
    write_tree(tmp_path, {**dist_files("oddplug", {"mirvak.plugins": [("odd", "oddplug")]}),
                          "oddplug/__init__.py": """\
        from mirvak.manager import plugin_manager
        class OddConnection: pass
        plugin_manager.register_plugin(OddConnection, os="linux", model="")
        """})
    res = run_cli("tree", "--no-builtin", "--json", pythonpath=tmp_path)
    assert res.returncode == 0, res.stderr
    assert json.loads(res.stdout) == {"linux": {"None": {"": {"data": {"single_rp": {
        "cls": "oddplug.OddConnection", "path": str(tmp_path / "oddplug" / "__init__.py"),
        "source": "entry point odd = oddplug (oddplug 1.0)"}}}}}}
    res = run_cli("tree", "--no-builtin", pythonpath=tmp_path)
    assert (res.returncode, res.stderr) == (0, "")
    assert res.stdout.startswith("plugin\n  |__ linux\n    |__ None\n      |__ \n")
