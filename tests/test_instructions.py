"""The callgrind harness (benchmarks/instructions.py) and the unmended yardstick it measures."""
import importlib
import json
import os
import shutil
import subprocess
import sys

import pytest

from helpers import REPO, A, B, load_reference

BENCHMARKS = os.path.join(REPO, "benchmarks")
sys.path.insert(0, BENCHMARKS)
instructions = importlib.import_module("instructions")


@pytest.mark.parametrize("fixed, cost, loop, loops", [
    (270_000_000, 5_224, 31.0, (1000, 2000)),
    (1, 0, 0.0, (1, 2)),
    (123_456_789, 15_000_000, 29.5, (1, 2)),
])
def test_per_call_cancels_what_both_runs_share(fixed, cost, loop, loops):
    n1, n2 = loops
    totals = [fixed + (cost + loop) * n for n in loops]
    assert instructions.per_call(*totals, n1, n2, loop) == cost
    with pytest.raises(ValueError):
        instructions.per_call(*totals[::-1], n2, n1, loop)


@pytest.mark.skipif(shutil.which("valgrind") is None,
                    reason="valgrind is not installed: no instruction counts")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="valgrind cannot run a process that preloads AddressSanitizer")
def test_harness_counts_a_workload_end_to_end(tmp_path):
    out, profile = tmp_path / "counts.json", tmp_path / "profile"
    proc = subprocess.run(
        [sys.executable, os.path.join(BENCHMARKS, "run.py"), "--instructions", "--impl", "python",
         "--workload", "validate_arguments", "--baseline", "none", "--loops", "20,60",
         "--json", str(out), "--profile", str(profile)],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    summary = json.loads(out.read_text())
    assert summary["errors"] == {} and summary["impls"] == ["python"]
    first, second = summary["totals"]["python"]["validate_arguments"]
    per = summary["instructions"]["python"]["validate_arguments"]
    loop = summary["loop_instructions"]
    assert second > first > 0 and 0 < loop < per
    assert per == instructions.per_call(first, second, 20, 60, loop)
    kept = profile / "python.validate_arguments.out"
    assert instructions.callgrind_total(str(kept)) == second
    assert "validate_arguments" in proc.stdout and f"{per:,.0f}" in proc.stdout


@pytest.fixture(scope="module")
def managers():
    sys.path.insert(0, os.path.join(BENCHMARKS, "reference"))
    unmended = importlib.import_module("pluginmanager_unmended")
    return load_reference().PluginManager, unmended.PluginManager


# Ordinary input: the yardstick must give every result, message, record and drawing of the
# reference.
STEPS = [
    ("register_plugin", (A,), dict(os="linux")),
    ("register_plugin", (B,), dict(os="linux", platform="p1", model="m1", os_flavor="f")),
    ("register_plugin", (A,), dict(os="linux", platform="p1", model="m1", os_flavor="f")),
    ("get_plugin", (), dict(os="linux", platform="p2")),
    ("get_plugin", (), dict(os="linux", chassis_type="stack")),
    ("unregister_plugin", (), dict(os="linux", platform="p1", model="m1", os_flavor="f")),
    ("unregister_plugin", (), dict(os="linux", chassis_type="dual_rp")),
    ("validate_arguments", ("freebsd", "P1", None, "single_rp"), {}),
    ("validate_arguments", ("freebsd", "p1", "M1", "single_rp"), {}),
    ("validate_arguments", ("plan9", "p1", "m1", "single_rp"), {}),
]


def test_unmended_variant_matches_the_reference_on_ordinary_input(managers, debug_log):
    outcomes = []
    for cls in managers:
        pm, seen = cls(), []
        for name, args, kwargs in STEPS:
            try:
                seen.append(getattr(pm, name)(*args, **kwargs))
            except Exception as error:  # compared between the two classes below
                seen.append((type(error).__name__, str(error)))
        seen.append(repr(pm).split(") ", 1)[1])
        outcomes.append(seen)
    assert outcomes[0] == outcomes[1]
    messages = [record.getMessage() for record in debug_log]
    assert len(messages) == 4 and messages[:2] == messages[2:]
    # Where a check was left out, the yardstick takes what the reference refuses.
    reference, unmended = (cls() for cls in managers)
    with pytest.raises(Exception, match="reserved"):
        reference.register_plugin(A, os="linux", platform="data")
    unmended.register_plugin(A, os="linux", platform="data")
    assert "data" in unmended.plugins["linux"]
