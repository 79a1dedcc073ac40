"""``python -m mirvak``, run as a subprocess against the installed package."""
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import mirvak.plugins

REPO = Path(__file__).resolve().parents[1]
PLUGINS_DIR = Path(mirvak.plugins.__file__).resolve().parent

# The sample built-in plugins: (module under mirvak.plugins, class, registration).
SAMPLES = [
    ("generic.connection", "GenericConnection", dict(os="linux")),
    ("generic.connection", "GenericP1Connection", dict(os="linux", platform="p1")),
    ("generic.connection", "GenericM1Connection", dict(os="linux", platform="p1", model="m1")),
    ("generic.connection", "GenericEdgeConnection", dict(os="linux", os_flavor="edge")),
    ("bsd.freebsd", "FreebsdConnection", dict(os="freebsd")),
    ("bsd.freebsd", "FreebsdDualConnection", dict(os="freebsd", chassis_type="dual_rp")),
    ("bsd.openbsd", "OpenbsdP2Connection", dict(os="openbsd", platform="p2")),
    ("lab.stack", "LabStackConnection", dict(os="illumos", chassis_type="stack")),
    ("lab.testsuite", "LabBenchConnection", dict(os="netbsd", platform="p3", model="m7")),
]


def run_cli(*args, pythonpath=None):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(
            [str(pythonpath)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.run([sys.executable, "-m", "mirvak", *args], capture_output=True,
                          text=True, env=env, cwd=str(REPO / "tests"), timeout=120)


def sample_file(module):
    return str(PLUGINS_DIR.joinpath(*module.split("."))) + ".py"


def expected_json():
    tree = {}
    for module, qualname, reg in SAMPLES:
        if reg.get("model") is not None:
            path = [reg["os"], reg.get("platform"), reg["model"]]
        elif reg.get("platform") is not None:
            path = [reg["os"], reg["platform"]]
        else:
            path = [reg["os"]]
        if reg.get("os_flavor") is not None:
            path.append(reg["os_flavor"])
        node = tree
        for key in path:
            node = node.setdefault(key, {})
        node.setdefault("data", {})[reg.get("chassis_type", "single_rp")] = {
            "cls": "mirvak.plugins.%s.%s" % (module, qualname), "path": sample_file(module)}
    return tree


def test_tree_draws_the_sample_plugins():
    res = run_cli("tree", "--no-external")
    assert (res.returncode, res.stderr) == (0, "")
    lines = res.stdout.splitlines()
    assert lines[0] == "plugin"
    assert [l for l in lines if l.startswith("  |__ ")] == [
        "  |__ " + o for o in ("freebsd", "illumos", "linux", "netbsd", "openbsd")]
    for module, qualname, _ in SAMPLES:
        cls_line = "|__ cls = <class 'mirvak.plugins.%s.%s'>" % (module, qualname)
        (at,) = [i for i, line in enumerate(lines) if line.endswith(cls_line)]
        assert lines[at + 1].endswith("|__ path = " + sample_file(module))
    # The last system's subtree: no bar in front, one level further left.
    assert lines[-6:] == [
        "  |__ openbsd", "    |__ p2", "      |__ data", "        |__ single_rp",
        "          |__ cls = <class 'mirvak.plugins.bsd.openbsd.OpenbsdP2Connection'>",
        "          |__ path = " + sample_file("bsd.openbsd")]


def test_tree_json_is_the_registry_as_data():
    res = run_cli("tree", "--json", "--no-external")
    assert (res.returncode, res.stderr) == (0, "")
    assert json.loads(res.stdout) == expected_json()


def test_tree_with_both_discoveries_skipped_is_empty():
    res = run_cli("tree", "--json", "--no-builtin", "--no-external")
    assert (res.returncode, json.loads(res.stdout)) == (0, {})
    res = run_cli("tree", "--no-builtin", "--no-external")
    assert (res.returncode, res.stdout, res.stderr) == (0, "", "")


@pytest.mark.parametrize("args, module, qualname", [
    (["--os", "linux"], "generic.connection", "GenericConnection"),
    (["--os", "linux", "--platform", "p1", "--model", "m1"], "generic.connection",
     "GenericM1Connection"),
    # fall-back: no m9 under p1, no p7 under linux
    (["--os", "linux", "--platform", "p1", "--model", "m9"], "generic.connection",
     "GenericP1Connection"),
    (["--os", "linux", "--platform", "p7"], "generic.connection", "GenericConnection"),
    (["--os", "linux", "--platform", "p7", "--os-flavor", "edge"], "generic.connection",
     "GenericEdgeConnection"),
    (["--os", "freebsd", "--chassis-type", "dual_rp"], "bsd.freebsd", "FreebsdDualConnection"),
    (["--os", "illumos", "--chassis-type", "stack"], "lab.stack", "LabStackConnection"),
    (["--os", "netbsd", "--platform", "p3", "--model", "m7"], "lab.testsuite",
     "LabBenchConnection"),
])
def test_lookup(args, module, qualname):
    dotted = "mirvak.plugins.%s.%s" % (module, qualname)
    res = run_cli("lookup", *args)
    assert (res.returncode, res.stderr) == (0, "")
    assert res.stdout.splitlines() == [dotted, sample_file(module)]
    res = run_cli("lookup", "--json", *args)
    assert res.returncode == 0
    assert json.loads(res.stdout) == {"cls": dotted, "path": sample_file(module)}


@pytest.mark.parametrize("args, message", [
    (["--os", "linux", "--platform", "P1"], "platform (P1) has to be in lowercase"),
    (["--os", "linux", "--model", "m1"], "OS and platform are required for Model: m1"),
    (["--os", "freebsd", "--chassis-type", "rack"],
     "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got rack"),
    (["--os", "freebsd", "--chassis-type", "stack"],
     "Plugin data not found for (freebsd), type: stack "),
    (["--os", "openbsd", "--platform", "p5"], "Plugin data not found for (openbsd/p5), type: single_rp "),
    (["--os", ""], "OS should be one of these ['linux', 'freebsd', 'openbsd', 'netbsd', 'illumos']"
     " , but got "),
])
def test_lookup_errors(args, message):
    res = run_cli("lookup", *args)
    assert res.returncode == 1
    assert res.stdout == ""
    assert res.stderr == "error: " + message + "\n"


@pytest.mark.parametrize("args", [
    [], ["lookup"], ["lookup", "--os"], ["tree", "--bogus"], ["remove"], ["tree", "extra"],
])
def test_usage_errors_exit_2(args):
    res = run_cli(*args)
    assert res.returncode == 2
    assert "usage:" in res.stderr and "Traceback" not in res.stderr


@pytest.mark.parametrize("flag_first", [True, False])
def test_verbose_shows_debug_records(flag_first):
    args = ["lookup", "--os", "plan9"]
    res = run_cli(*(["-v"] + args if flag_first else args + ["--verbose"]))
    assert res.returncode == 1
    assert "plan9 is not part of the built-in list of supported OSes." in res.stderr
    assert res.stderr.endswith("error: Plugin data not found for (plan9), type: single_rp \n")
    quiet = run_cli(*args)
    assert quiet.stderr == "error: Plugin data not found for (plan9), type: single_rp \n"


# ---- external plugins -------------------------------------------------------

DEMO_DOTTED = "mirvak_demo_plugin.connection.DemoP9Connection"


@pytest.fixture(scope="module")
def demo_plugin(tmp_path_factory):
    """The example external plugin, installed with pip into a directory
    that goes on PYTHONPATH (its dist-info carries the entry point)."""
    root = tmp_path_factory.mktemp("demo")
    source = root / "source"
    shutil.copytree(REPO / "examples" / "external_plugin", source,
                    ignore=shutil.ignore_patterns("build", "*.egg-info"))
    target = root / "site"
    res = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps",
                          "--target", str(target), str(source)],
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stderr
    return target


def test_external_plugin_shows_in_tree(demo_plugin):
    res = run_cli("tree", pythonpath=demo_plugin)
    assert res.returncode == 0, res.stderr
    assert "cls = <class 'mirvak.plugins.generic.connection.GenericConnection'>" in res.stdout
    assert "  |__ p9\n" in res.stdout
    res = run_cli("tree", "--no-builtin", pythonpath=demo_plugin)
    assert res.stdout == "\n".join([
        "plugin", "  |__ linux", "    |__ p9", "      |__ data", "        |__ single_rp",
        "          |__ cls = <class '%s'>" % DEMO_DOTTED,
        "          |__ path = %s" % (demo_plugin / "mirvak_demo_plugin" / "connection.py"), ""])

    data = json.loads(run_cli("tree", "--json", "--no-builtin", pythonpath=demo_plugin).stdout)
    assert data == {"linux": {"p9": {"data": {"single_rp": {
        "cls": DEMO_DOTTED,
        "path": str(demo_plugin / "mirvak_demo_plugin" / "connection.py")}}}}}


def test_external_plugin_lookup_and_debug_record(demo_plugin):
    res = run_cli("-v", "lookup", "--os", "linux", "--platform", "p9", "--model", "m2",
                  pythonpath=demo_plugin)
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines()[0] == DEMO_DOTTED
    assert "Loading external plugin demo from mirvak_demo_plugin.connection" in res.stderr
    res = run_cli("lookup", "--os", "linux", "--platform", "p9", "--no-external",
                  pythonpath=demo_plugin)
    assert res.stdout.splitlines()[0] == "mirvak.plugins.generic.connection.GenericConnection"


def make_dist(site, dist, entry_points, files):
    """A hand-made installed distribution: dist-info and module files."""
    info = site / ("%s-1.0.dist-info" % dist)
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: %s\nVersion: 1.0\n" % dist)
    (info / "entry_points.txt").write_text(
        "[mirvak.plugins]\n" + "".join("%s = %s\n" % ep for ep in entry_points))
    for name, text in files.items():
        path = site / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


@pytest.mark.parametrize("files, expected", [
    ({"badplug/__init__.py": "", "badplug/hooks.py": "raise ValueError('boom')\n"},
     "external plugin module badplug.hooks failed to import: ValueError: boom"),
    ({"badplug/__init__.py": "", "badplug/hooks.py": "import badplug.helper\n",
      "badplug/helper.py": "import no_such_dependency_xyz\n"},
     "external plugin module badplug.hooks failed to import: ModuleNotFoundError: "
     "No module named 'no_such_dependency_xyz'"),
    ({"badplug/__init__.py": "", "badplug/hooks.py": """\
        from mirvak.manager import plugin_manager
        class C: pass
        plugin_manager.register_plugin(C, os="linux", platform="Upper")
        """},
     "external plugin module badplug.hooks failed to import: ConnectionInfraError: "
     "platform (Upper) has to be in lowercase"),
    ({"badplug/__init__.py": ""},
     "external plugin module badplug.hooks failed to import: ModuleNotFoundError: "
     "No module named 'badplug.hooks'"),
])
def test_failing_external_plugin(tmp_path, files, expected):
    make_dist(tmp_path, "badplug", [("bad", "badplug.hooks")], files)
    res = run_cli("tree", pythonpath=tmp_path)
    assert res.returncode == 1
    assert res.stderr == "error: " + expected + "\n"
    assert res.stdout == ""
    # The same plugin is not loaded when external discovery is skipped.
    assert run_cli("tree", "--no-external", pythonpath=tmp_path).returncode == 0


def test_failing_plugin_stops_lookup_too(tmp_path):
    make_dist(tmp_path, "badplug", [("bad", "badplug")],
              {"badplug/__init__.py": "1/0\n"})
    res = run_cli("-v", "lookup", "--os", "linux", pythonpath=tmp_path)
    assert res.returncode == 1
    assert "Loading external plugin bad from badplug" in res.stderr
    assert res.stderr.endswith(
        "error: external plugin module badplug failed to import: "
        "ZeroDivisionError: division by zero\n")


def test_registry_with_a_non_text_key(tmp_path):
    # An empty model without a platform files the class under linux/None/"".
    make_dist(tmp_path, "oddplug", [("odd", "oddplug")], {"oddplug/__init__.py": """\
        from mirvak.manager import plugin_manager
        class OddConnection: pass
        plugin_manager.register_plugin(OddConnection, os="linux", model="")
        """})
    res = run_cli("tree", "--no-builtin", "--json", pythonpath=tmp_path)
    assert res.returncode == 0, res.stderr
    assert json.loads(res.stdout) == {"linux": {"None": {"": {"data": {"single_rp": {
        "cls": "oddplug.OddConnection", "path": str(tmp_path / "oddplug" / "__init__.py")}}}}}}
    res = run_cli("tree", "--no-builtin", pythonpath=tmp_path)
    assert (res.returncode, res.stderr) == (0, "")
    assert res.stdout.startswith("plugin\n  |__ linux\n    |__ None\n      |__ \n")
