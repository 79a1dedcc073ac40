"""The pure-Python reference registry and the benchmark harness around it."""
import json
import os
import subprocess
import sys

import pytest

from helpers import REPO, A, load_reference, not_found


@pytest.fixture(scope="module")
def ref():
    return load_reference()


def test_harness_quick_run_for_python(tmp_path):
    out = tmp_path / "bench.json"
    proc = subprocess.run([sys.executable, os.path.join(REPO, "benchmarks", "run.py"), "--quick",
                           "--impl", "python", "--json", str(out)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "get_platform_hit" in proc.stdout
    summary = json.loads(out.read_text())
    times = summary["median_ns"]["python"]
    assert set(times) >= {"get_platform_hit", "get_fallback", "get_deep4", "get_not_found",
                          "validate_arguments", "register_replace", "register_unregister",
                          "repr_1k", "print_tree_1000"}
    assert all(t is not None and t > 0 for t in times.values())
    assert summary["errors"] == {} and summary["memory"]["python"]["size"] > 0


def test_threads_benchmark_compares_both_classes():
    proc = subprocess.run([sys.executable, os.path.join(REPO, "benchmarks", "threads.py"),
                           "--seconds", "0.05", "--rounds", "1"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    rows = [line.split() for line in proc.stdout.splitlines()[2:]]
    assert [row[0] for row in rows] == ["native", "python"]
    assert all(len(row) == 7 and row[4].endswith("x") and row[6].endswith("x") for row in rows)


@pytest.mark.parametrize("kwargs, error", [
    (dict(cls=int, platform="p1", model="m1"), TypeError),
    (dict(cls=A, platform="p1", os_flavor=["f"]), TypeError),
    (dict(cls=A, chassis_type=["x"]), TypeError),
    (dict(cls=A, platform="data"), "reserved"),
    (dict(cls=A, platform="p1", os_flavor="data"), "reserved"),
])
def test_failed_registration_leaves_tree_unchanged(ref, kwargs, error):
    pm = ref.PluginManager()
    pm.register_plugin(A, os="linux")
    before = repr(pm.plugins)
    with pytest.raises(ref.ConnectionInfraError if error == "reserved" else error) as caught:
        pm.register_plugin(os="linux", **kwargs)
    assert error != "reserved" or str(caught.value) == "Plugin identifier 'data' is reserved"
    assert repr(pm.plugins) == before


@pytest.mark.parametrize("kwargs, message", [
    (dict(os="linux", platform="p1", chassis_type="dual_rp"), not_found("linux/p1", "dual_rp")),
    (dict(os="linux", model="", os_flavor=7), not_found("linux/None//7")),
    (dict(os="zz", chassis_type="stack"), not_found("zz", "stack")),
])
def test_lookup_not_found_message(ref, kwargs, message):
    pm = ref.PluginManager()
    pm.register_plugin(A, os="linux", platform="p1", model="m1")
    with pytest.raises(ref.ConnectionInfraError) as info:
        pm.get_plugin(**kwargs)
    assert str(info.value) == message
