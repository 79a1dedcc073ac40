"""Instructions per call of the plugin registry, counted by callgrind.

    python benchmarks/run.py --instructions [--baseline REF|none]
        [--impl NAME]... [--workload NAME]... [--json PATH] [--profile DIR]
        [--loops N1,N2]

Counts the workloads of run.py on the Python that runs this script, for:

    native           mirvak.core.pluginmanager as installed
    baseline         the same module built from a git revision (--baseline,
                     default ca8b0b3), cached under benchmarks/.cache/
    python           the pure-Python reference (benchmarks/reference/)
    python-unmended  the reference without its mended checks
    cython           the reference compiled by Cython (build_cython.py)

Each implementation, workload and loop count gets a worker process of its
own under ``valgrind --tool=callgrind`` with PYTHONHASHSEED fixed.  A worker
builds the 1,000-record registry of run.py and runs the workload statement
in timeit's loop (garbage collection off, as timeit has it).  Two loop counts
N1 < N2 give the totals I1 and I2, and (I2 - I1) / (N2 - N1) is the cost of
one pass of the loop: start-up, import and set-up, the same in both
processes, cancel out.  The loop's own cost per pass, counted the same way
around an empty statement, is subtracted.  Instruction counts do not depend
on what else the machine is doing, so small loop counts suffice.

--profile DIR keeps the callgrind output of the N2 run of every
implementation and workload (``callgrind_annotate DIR/<impl>.<workload>.out``
shows where the instructions go; see the README for a build with symbols).
"""
from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import platform as host_platform
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402
import workloads  # noqa: E402

IMPLS = ["native", "baseline", "python", "python-unmended", "cython"]
DEFAULT_BASELINE = "ca8b0b3"
HASH_SEED = "0"
CACHE = os.path.join(HERE, ".cache")
WORKER = os.path.join(HERE, "instructions_worker.py")

# Loop counts (N1, N2) per workload.  N1 lies past the interpreter's warm-up
# (specialisation of the loop and of the methods it calls, and one-off steps
# seen up to a few hundred passes), so both counts see the same steady state,
# where the total grows by exactly the same amount per pass.  One drawing of
# the registry calls print_tree thousands of times, so the first call warms
# up and the second is measured.  Most of a worker's time is start-up under
# valgrind; larger counts only make the run longer.
LOOPS = {name: (1000, 2000) for name, _, _ in workloads.WORKLOADS}
LOOPS["repr_1k"] = (1, 2)
EMPTY_LOOP = (1000, 2000)

# Ratio columns of the table: (label, numerator, denominator).
RATIOS = [
    ("nat/base", "native", "baseline"),
    ("py/nat", "python", "native"),
    ("cy/nat", "cython", "native"),
    ("py/unm", "python", "python-unmended"),
]


# ---------------------------------------------------------------- arithmetic

def per_call(total_1: int, total_2: int, loops_1: int, loops_2: int,
             loop: float = 0.0) -> float:
    """Instructions of one call from the totals of two runs that differ only
    in their loop count, less `loop`, the loop's own cost per pass."""
    if loops_2 <= loops_1:
        raise ValueError("the second loop count must be the larger one")
    return (total_2 - total_1) / float(loops_2 - loops_1) - loop


def callgrind_total(path: str) -> int:
    """Total instructions (event Ir) recorded in a callgrind output file."""
    summary = None
    with open(path) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
            if line.startswith("summary:"):
                summary = int(line.split()[1])
    if summary is None:
        raise ValueError("no instruction total in %s" % path)
    return summary


# ---------------------------------------------------------------- baseline

def _git(*args: str) -> bytes:
    return subprocess.run(["git", "-C", workloads.REPO, *args], check=True,
                          stdout=subprocess.PIPE).stdout


def _build_key(commit: str) -> str:
    """Cache key of a baseline build: revision, interpreter (its ABI flags
    too: 3.13 and 3.13t share a cache tag) and the scikit-build settings of
    the environment (build type, defines, ...)."""
    settings = sorted((k, v) for k, v in os.environ.items()
                      if k.startswith("SKBUILD_"))
    digest = hashlib.sha1(repr(settings).encode()).hexdigest()[:8]
    return "%s-%s%s-%s" % (commit[:12], sys.implementation.cache_tag,
                           sys.abiflags, digest)


def build_baseline(ref: str) -> tuple[str, str]:
    """Install the module of git revision `ref` into a directory of its own
    for the running Python (cached); return that directory and the commit."""
    commit = _git("rev-parse", "--verify", ref + "^{commit}").decode().strip()
    root = os.path.join(CACHE, "baseline", _build_key(commit))
    site = os.path.join(root, "site")
    done = os.path.join(root, "installed")
    if os.path.exists(done):
        return site, commit
    shutil.rmtree(root, ignore_errors=True)
    tree = os.path.join(root, "tree")
    os.makedirs(tree)
    archive = subprocess.Popen(
        ["git", "-C", workloads.REPO, "archive", commit], stdout=subprocess.PIPE)
    assert archive.stdout is not None
    subprocess.run(["tar", "-x", "-C", tree], stdin=archive.stdout,
                   check=True)
    archive.stdout.close()
    if archive.wait() != 0:
        raise subprocess.CalledProcessError(archive.returncode, "git archive")
    print("building %s (%s) into %s ..." % (ref, commit[:12], site),
          flush=True)
    cmd = [sys.executable, "-m", "pip", "install", "-q", "--no-deps",
           "--target", site]
    if run._can_import("scikit_build_core"):
        cmd.append("--no-build-isolation")
    subprocess.run(cmd + [tree], check=True)
    with open(done, "w") as f:
        f.write(commit + "\n")
    return site, commit


# ---------------------------------------------------------------- driver

def _worker_cmd(impl: str, workload: str, loops: int, width: int,
                site: str | None) -> list[str]:
    # Loop counts are written with the same width, so the two processes of a
    # measurement differ in nothing but the count.
    cmd = [sys.executable, WORKER, impl, workload, str(loops).zfill(width)]
    return cmd + [site] if site else cmd


def _env(write_bytecode: bool = False) -> dict[str, str]:
    """The workers' environment: a fixed hash seed, no PYTHONPATH, and byte
    code written only by the unmeasured check run (the measured runs then
    read the same cached byte code)."""
    env = dict(os.environ, PYTHONHASHSEED=HASH_SEED)
    env.pop("PYTHONPATH", None)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    if not write_bytecode:
        env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def check_impl(impl: str, names: list[str],
               site: str | None) -> tuple[str | None, bool]:
    """Run every workload once outside valgrind.  Returns (error text or
    None, whether the implementation can be measured): a worker that fails
    cannot; one whose results are wrong is measured and flagged."""
    problems: set[str] = set()
    for workload in names:
        proc = subprocess.run(_worker_cmd(impl, workload, 1, 1, site),
                              env=_env(write_bytecode=True),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        problems.update(proc.stdout.splitlines())
        if proc.returncode != 0:
            lines = proc.stderr.strip().splitlines() or sorted(problems)
            return "%s failed: %s" % (workload, lines[-1]), False
    return "; ".join(sorted(problems)) or None, True


def count(impl: str, workload: str, loops: int, width: int, site: str | None,
          out_file: str) -> int:
    """Total instructions of one worker process under callgrind."""
    cmd = ["valgrind", "--tool=callgrind", "--dump-instr=no",
           "--callgrind-out-file=" + out_file]
    proc = subprocess.run(cmd + _worker_cmd(impl, workload, loops, width, site),
                          env=_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise RuntimeError("worker %s/%s failed under callgrind"
                           % (impl, workload))
    return callgrind_total(out_file)


def measure(impl: str, workload: str, loops: tuple[int, int], loop: float,
            site: str | None, keep_dir: str | None) -> tuple[float, list[int]]:
    """(instructions per call, [I1, I2]) of one implementation and workload;
    `loop` is the loop's own cost per pass."""
    n1, n2 = loops
    width = len(str(n2))
    with tempfile.TemporaryDirectory() as tmp:
        first = count(impl, workload, n1, width, site,
                      os.path.join(tmp, "first.out"))
        second_out = os.path.join(keep_dir or tmp,
                                  "%s.%s.out" % (impl, workload))
        second = count(impl, workload, n2, width, site, second_out)
    return per_call(first, second, n1, n2, loop), [first, second]


def _fmt(value: float | None) -> str:
    return "n/a" if value is None else "{:,.0f}".format(value)


def _ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None or b == 0:
        return "n/a"
    return "%.2fx" % (a / b)


def report(summary: dict[str, Any]) -> None:
    """Print the table of a run."""
    impls, per = summary["impls"], summary["instructions"]
    print()
    print("Python %s (%s) on %s, %s: instructions per call (callgrind, "
          "PYTHONHASHSEED=%s)" % (summary["python"], summary["executable"],
                                  summary["machine"], summary["date"],
                                  summary["hash_seed"]))
    print("timeit's loop: %.1f instructions per pass, subtracted"
          % summary["loop_instructions"])
    if summary.get("baseline"):
        print("baseline: %s (%s)" % (summary["baseline"],
                                     summary["baseline_commit"]))
    print()
    ratios = [r for r in RATIOS if r[1] in impls and r[2] in impls]
    head = ("%-21s" % "workload" + "".join("%16s" % i for i in impls)
            + "".join("%10s" % r[0] for r in ratios))
    print(head)
    print("-" * len(head))
    for workload in summary["workloads"]:
        cells = [per[i].get(workload) for i in impls]
        line = "%-21s" % workload + "".join("%16s" % _fmt(c) for c in cells)
        line += "".join("%10s" % _ratio(per[a].get(workload),
                                        per[b].get(workload))
                        for _, a, b in ratios)
        print(line)
    for impl, error in sorted(summary["errors"].items()):
        print("  %s: %s" % (impl, error))


def _prepare(impls: list[str],
             ref: str) -> tuple[str | None, str | None, dict[str, str]]:
    """Make sure every implementation can be imported.  Returns the baseline
    directory and commit (or None, None) and the errors of implementations
    that cannot be measured."""
    errors: dict[str, str] = {}
    site = commit = None
    if "native" in impls and not run.ensure_native():
        errors["native"] = "not importable"
    if "cython" in impls:
        import build_cython
        print("cython module in %s" % build_cython.build(), flush=True)
    if "baseline" in impls:
        try:
            site, commit = build_baseline(ref)
        except (subprocess.CalledProcessError, OSError) as exc:
            errors["baseline"] = "build of %s failed: %s" % (ref, exc)
    return site, commit, errors


def _parse_loops(text: str) -> tuple[int, int]:
    n1, n2 = (int(n) for n in text.split(","))
    if not 0 < n1 < n2:
        raise argparse.ArgumentTypeError("need 0 < N1 < N2")
    return n1, n2


def main(argv: list[str] | None = None) -> int:
    """Measure, print the table, save the numbers."""
    ap = argparse.ArgumentParser(
        prog="run.py --instructions",
        description="Instructions per call, counted by callgrind.")
    ap.add_argument("--impl", action="append", choices=IMPLS,
                    help="implementation to measure (repeatable; default: "
                    "all)")
    ap.add_argument("--workload", action="append", choices=list(LOOPS),
                    help="workload to measure (repeatable; default: all)")
    ap.add_argument("--baseline", default=DEFAULT_BASELINE, metavar="REF",
                    help="git revision of the baseline build (default "
                    "%(default)s; 'none' leaves it out)")
    ap.add_argument("--json", metavar="PATH", help="save the numbers here")
    ap.add_argument("--profile", metavar="DIR",
                    help="keep one callgrind output per implementation and "
                    "workload here")
    ap.add_argument("--loops", type=_parse_loops, metavar="N1,N2",
                    help="the two loop counts of every workload (default: "
                    "per workload)")
    args = ap.parse_args(argv)

    if shutil.which("valgrind") is None:
        ap.error("valgrind is not installed (apt-get install valgrind)")
    impls = [i for i in IMPLS if i in (args.impl or IMPLS)]
    if args.baseline == "none":
        impls = [i for i in impls if i != "baseline"]
    names = [w for w in LOOPS if w in (args.workload or LOOPS)]
    loops = {w: args.loops or LOOPS[w] for w in names}
    if args.profile:
        os.makedirs(args.profile, exist_ok=True)

    started = time.time()
    site, commit, errors = _prepare(impls, args.baseline)
    loop = measure("none", "empty_loop", args.loops or EMPTY_LOOP, 0.0, None,
                   None)[0]
    per: dict[str, dict[str, float]] = {i: {} for i in impls}
    totals: dict[str, dict[str, list[int]]] = {i: {} for i in impls}
    for impl in impls:
        impl_site = site if impl == "baseline" else None
        if impl in errors:
            continue  # n/a in the table
        error, measurable = check_impl(impl, names, impl_site)
        if error:
            errors[impl] = error
        if not measurable:
            continue
        for workload in names:
            t0 = time.time()
            try:
                per[impl][workload], totals[impl][workload] = measure(
                    impl, workload, loops[workload], loop, impl_site,
                    args.profile)
            except RuntimeError as exc:
                errors[impl] = str(exc)
                continue
            print("%-16s %-20s %14s instructions per call  (%.0f s)"
                  % (impl, workload, _fmt(per[impl][workload]),
                     time.time() - t0), flush=True)

    summary = {
        "python": host_platform.python_version(),
        "implementation": host_platform.python_implementation(),
        "executable": sys.executable,
        "machine": run._machine(),
        "platform": host_platform.platform(),
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "hash_seed": HASH_SEED,
        "baseline": args.baseline if "baseline" in impls else None,
        "baseline_commit": commit,
        "impls": impls,
        "workloads": names,
        "loops": loops,
        "loop_instructions": loop,
        "instructions": per,
        "totals": totals,
        "errors": errors,
        "seconds": round(time.time() - started, 1),
    }
    report(summary)
    print("\n%.0f s in all" % summary["seconds"])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=2, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
