"""The pure-Python reference registry and the benchmark harness around it."""
import importlib.util
import json
import os
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(REPO, "benchmarks")


@pytest.fixture(scope="module")
def ref():
    spec = importlib.util.spec_from_file_location(
        "reference_pluginmanager",
        os.path.join(BENCH, "reference", "pluginmanager.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Conn:
    pass


def test_harness_quick_run_for_python(tmp_path):
    out = tmp_path / "bench.json"
    proc = subprocess.run(
        [sys.executable, os.path.join(BENCH, "run.py"), "--quick",
         "--impl", "python", "--json", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "get_platform_hit" in proc.stdout
    summary = json.loads(out.read_text())
    times = summary["median_ns"]["python"]
    assert set(times) >= {"get_platform_hit", "get_fallback", "get_deep4",
                          "get_not_found", "validate_arguments",
                          "register_replace", "register_unregister",
                          "repr_1k", "print_tree_1000"}
    assert all(t is not None and t > 0 for t in times.values())
    assert summary["errors"] == {}
    assert summary["memory"]["python"]["size"] > 0


@pytest.mark.parametrize("kwargs, error", [
    (dict(cls=int, os="linux", platform="p1", model="m1"), TypeError),
    (dict(cls=Conn, os="linux", platform="p1", os_flavor=["f"]), TypeError),
    (dict(cls=Conn, os="linux", chassis_type=["x"]), TypeError),
    (dict(cls=Conn, os="linux", platform="data"), "reserved"),
    (dict(cls=Conn, os="linux", platform="p1", os_flavor="data"), "reserved"),
])
def test_failed_registration_leaves_tree_unchanged(ref, kwargs, error):
    pm = ref.PluginManager()
    pm.register_plugin(Conn, os="linux")
    before = repr(pm.plugins)
    if error == "reserved":
        with pytest.raises(ref.ConnectionInfraError,
                           match="Plugin identifier 'data' is reserved"):
            pm.register_plugin(**kwargs)
    else:
        with pytest.raises(error):
            pm.register_plugin(**kwargs)
    assert repr(pm.plugins) == before


@pytest.mark.parametrize("kwargs, message", [
    (dict(os="linux", platform="p1", chassis_type="dual_rp"),
     "Plugin data not found for (linux/p1), type: dual_rp "),
    (dict(os="linux", model="", os_flavor=7),
     "Plugin data not found for (linux/None//7), type: single_rp "),
    (dict(os="zz", chassis_type="stack"),
     "Plugin data not found for (zz), type: stack "),
])
def test_lookup_not_found_message(ref, kwargs, message):
    pm = ref.PluginManager()
    pm.register_plugin(Conn, os="linux", platform="p1", model="m1")
    with pytest.raises(ref.ConnectionInfraError) as info:
        pm.get_plugin(**kwargs)
    assert str(info.value) == message


def test_print_tree_mixed_keys(ref):
    pm = ref.PluginManager()
    text = pm.print_tree({"b": {2: "x", None: 1, "a": (1,)}, 0: 5})
    assert text == ("plugin\n  |__ 0 = 5\n  |__ b\n    |__ 2 = x"
                    "\n    |__ None = 1\n    |__ a = (1,)")
