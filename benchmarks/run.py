"""Side-by-side timings of the plugin registry.

Three implementations of the same module are compared by default:

    native   mirvak.core.pluginmanager (the C++ extension, installed)
    python   benchmarks/reference/pluginmanager.py (plain Python)
    cython   the same reference compiled by Cython (built on demand)

and on request (--impl) a fourth:

    python-unmended  the reference without its mended checks
                     (benchmarks/reference/pluginmanager_unmended.py)

    python benchmarks/run.py [--rounds N] [--quick] [--json PATH]
    python benchmarks/run.py --instructions ...   (instructions.py: callgrind)

Every round runs one worker process per implementation, in turn (native,
python, cython, native, ...); each worker builds its registries and times
every workload once.  The table shows medians over the rounds.  An
implementation that raises NotImplementedError for a workload is shown as
n/a there.
"""
import argparse
import datetime
import json
import math
import os
import platform as host_platform
import statistics
import subprocess
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import (  # noqa: E402
    DEFAULT_IMPLS, IMPLS, REPO, WORKLOADS, build_manager, import_impl,
    registry_records, workload_namespace)

# The baseline build of another revision is measured by instructions.py only.
TIMED_IMPLS = [i for i in IMPLS if i != "baseline"]
PRINT_SIZES = [1000, 10000, 100000]
QUICK_PRINT_SIZES = [1000, 10000]
MEMORY_RECORDS = 100000
QUICK_MEMORY_RECORDS = 10000
# Loops per measurement inside a worker; the best of them is kept.
REPEAT = 3
# A tree whose drawing would take longer than this (extrapolated from the
# smaller trees) is not drawn; a quadratic printer would take hours.
PRINT_BUDGET_S = 60.0


# ---------------------------------------------------------------- workers

def _measure(stmt, namespace, target_s, repeat=REPEAT):
    """Time per call in ns: the best of `repeat` loops of about target_s
    seconds each (the best is the one least disturbed by other work)."""
    timer = timeit.Timer(stmt, globals=namespace, timer=time.perf_counter_ns)
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target_s * 1e8 or number >= 10 ** 8:
            break
        number *= 10
    if number == 1 and elapsed > 1e9:
        return float(elapsed)  # one call of over a second is sample enough
    if elapsed < target_s * 1e9:
        number = max(1, int(number * target_s * 1e9 / max(elapsed, 1)))
    return min(timer.repeat(repeat, number)) / float(number)


def _extrapolate(done, size):
    """Expected ns per call of drawing a tree of `size` records, from the
    growth seen so far (at least linear)."""
    if not done:
        return None
    s1, t1 = done[-1]
    exponent = 1.0
    if len(done) > 1:
        s0, t0 = done[-2]
        exponent = max(1.0, math.log(t1 / t0) / math.log(float(s1) / s0))
    return t1 * (float(size) / s1) ** exponent


def worker(impl, target_s, print_sizes):
    results, errors = {}, {}
    mod = import_impl(impl)
    ns = workload_namespace(mod, errors)

    have_registry = "pm" in ns
    for name, _, stmt in WORKLOADS:
        if not have_registry and name != "validate_arguments":
            results[name] = None
            continue
        try:
            if not have_registry:  # validation needs no registry
                ns["pm"] = mod.PluginManager()
            results[name] = _measure(stmt, ns, target_s)
        except NotImplementedError:
            results[name] = None
            errors[name] = "raised NotImplementedError"

    done = []  # (size, ns per call) of the trees drawn so far
    for size in print_sizes:
        name = "print_tree_%d" % size
        estimate = _extrapolate(done, size)
        if estimate is not None and estimate > PRINT_BUDGET_S * 1e9:
            results[name] = None
            errors[name] = ("skipped: about %.0f s per call, extrapolated "
                            "from the smaller trees" % (estimate / 1e9))
            continue
        try:
            big = build_manager(mod, registry_records(size))
            ns["big"] = big
            results[name] = _measure("big.print_tree(big_tree)",
                                     dict(ns, big_tree=big.plugins), target_s)
            done.append((size, results[name]))
        except NotImplementedError:
            results[name] = None
            errors[name] = "raised NotImplementedError"
        ns.pop("big", None)
    return {"impl": impl, "times": results, "errors": errors}


def memory_worker(impl, n):
    import tracemalloc
    mod = import_impl(impl)
    records = registry_records(n)
    try:
        pm = mod.PluginManager()
        pm.register_plugin(records[0][0], os="linux")
    except NotImplementedError:
        return {"impl": impl, "memory": None}
    del pm
    tracemalloc.start()
    pm = build_manager(mod, records)
    size, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert len(pm.plugins) > 0
    return {"impl": impl, "memory": {"records": n, "size": size,
                                     "peak": peak}}


# ---------------------------------------------------------------- driver

def _can_import(module):
    return subprocess.call([sys.executable, "-c", "import " + module],
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL) == 0


def ensure_native(reinstall=False):
    if not reinstall and _can_import(IMPLS["native"]):
        return True
    print("installing %s into %s ..." % (REPO, sys.executable), flush=True)
    cmd = [sys.executable, "-m", "pip", "install", "-q"]
    if _can_import("scikit_build_core"):
        cmd.append("--no-build-isolation")
    cmd.append(REPO)
    if subprocess.call(cmd) != 0 or not _can_import(IMPLS["native"]):
        print("warning: the native module is not importable; "
              "it is reported as n/a", file=sys.stderr)
        return False
    return True


def run_worker(args):
    cmd = [sys.executable, os.path.abspath(__file__)] + args
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _fmt_time(ns):
    if ns is None:
        return "n/a"
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e4:
        return "%.1f us" % (ns / 1e3)
    return "%.0f ns" % ns


def _cell(ns, error):
    if ns is None and error and error.startswith("skipped"):
        return "skipped"
    return _fmt_time(ns)


def _ratio(a, b):
    if a is None or b is None or b == 0:
        return "n/a"
    return "%.2fx" % (a / b)


def _machine():
    cpu = host_platform.processor() or host_platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return cpu


def report(summary):
    impls = summary["impls"]
    med = summary["median_ns"]
    print()
    print("Python %s on %s (%s), %s, %d round(s)" % (
        summary["python"], summary["machine"], summary["platform"],
        summary["date"], summary["rounds"]))
    print()
    head = "%-22s" % "workload" + "".join("%12s" % i for i in impls)
    if "native" in impls:
        head += "".join("%11s" % ("%s/nat" % i[:2]) for i in impls
                        if i != "native")
    print(head)
    print("-" * len(head))
    names = [w[0] for w in WORKLOADS] + ["print_tree_%d" % s
                                         for s in summary["print_sizes"]]
    for name in names:
        line = "%-22s" % name + "".join(
            "%12s" % _cell(med[i].get(name),
                           summary["errors"].get(i, {}).get(name))
            for i in impls)
        if "native" in impls:
            line += "".join("%11s" % _ratio(med[i].get(name),
                                            med["native"].get(name))
                            for i in impls if i != "native")
        print(line)

    sizes = summary["print_sizes"]
    print()
    print("print_tree, time per record:")
    for i in impls:
        per = [med[i].get("print_tree_%d" % s) for s in sizes]
        per = [None if t is None else t / s for t, s in zip(per, sizes)]
        cells = "  ".join("%d: %s" % (s, _fmt_time(t))
                          for s, t in zip(sizes, per))
        lin = _ratio(per[-1], per[0])
        print("  %-8s %s   linearity %d/%d: %s" % (i, cells, sizes[-1],
                                                   sizes[0], lin))

    mem = summary.get("memory") or {}
    if mem:
        print()
        print("memory (tracemalloc) of a registry built through each:")
        for i in impls:
            m = mem.get(i)
            if not m:
                print("  %-8s n/a" % i)
                continue
            line = "  %-8s %d records: size %d bytes, peak %d bytes" % (
                i, m["records"], m["size"], m["peak"])
            if i != "native" and mem.get("native"):
                line += "   (size %s/native: %s)" % (
                    i, _ratio(m["size"], mem["native"]["size"]))
            print(line)

    if summary["errors"]:
        print()
        for impl, errs in sorted(summary["errors"].items()):
            for name, err in sorted(errs.items()):
                print("  %s: %s %s" % (impl, name, err))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if "--instructions" in argv:
        sys.path.insert(0, HERE)
        import instructions
        argv.remove("--instructions")
        return instructions.main(argv)
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=None,
                    help="rounds (default 5, or 1 with --quick)")
    ap.add_argument("--quick", action="store_true",
                    help="fast smoke run: short loops, small trees")
    ap.add_argument("--json", metavar="PATH", help="save the results here")
    ap.add_argument("--impl", default=",".join(DEFAULT_IMPLS),
                    help="comma-separated list of: " + ", ".join(TIMED_IMPLS))
    ap.add_argument("--reinstall", action="store_true",
                    help="pip install the repository before measuring")
    ap.add_argument("--no-memory", action="store_true",
                    help="skip the tracemalloc measurement")
    # internal: one worker process
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--memory-worker", help=argparse.SUPPRESS)
    ap.add_argument("--target", type=float, default=None,
                    help=argparse.SUPPRESS)
    ap.add_argument("--sizes", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--records", type=int, default=None,
                    help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        sizes = [int(s) for s in args.sizes.split(",")]
        print(json.dumps(worker(args.worker, args.target, sizes)))
        return 0
    if args.memory_worker:
        print(json.dumps(memory_worker(args.memory_worker, args.records)))
        return 0

    impls = [i.strip() for i in args.impl.split(",") if i.strip()]
    for i in impls:
        if i not in TIMED_IMPLS:
            ap.error("unknown implementation %r" % i)
    rounds = args.rounds or (1 if args.quick else 5)
    target = 0.02 if args.quick else 0.2
    sizes = QUICK_PRINT_SIZES if args.quick else PRINT_SIZES
    mem_records = QUICK_MEMORY_RECORDS if args.quick else MEMORY_RECORDS

    if "native" in impls and not ensure_native(args.reinstall):
        pass  # the workers report it as n/a
    if "cython" in impls:
        sys.path.insert(0, HERE)
        import build_cython
        print("cython module in %s" % build_cython.build(), flush=True)

    samples = {i: {} for i in impls}
    errors = {}
    for r in range(rounds):
        for impl in impls:
            t0 = time.time()
            res = run_worker(["--worker", impl, "--target", str(target),
                              "--sizes", ",".join(map(str, sizes))])
            if res is None:
                errors.setdefault(impl, {})["worker"] = "failed (see stderr)"
                continue
            for name, t in res["times"].items():
                samples[impl].setdefault(name, []).append(t)
            if res["errors"]:
                errors.setdefault(impl, {}).update(res["errors"])
            print("round %d/%d %-7s %.1f s" % (r + 1, rounds, impl,
                                                time.time() - t0), flush=True)

    median = {}
    for impl in impls:
        median[impl] = {}
        for name, ts in samples[impl].items():
            ts = [t for t in ts if t is not None]
            median[impl][name] = statistics.median(ts) if ts else None

    memory = {}
    if not args.no_memory:
        for impl in impls:
            res = run_worker(["--memory-worker", impl,
                              "--records", str(mem_records)])
            memory[impl] = res and res["memory"]

    summary = {
        "python": host_platform.python_version(),
        "implementation": host_platform.python_implementation(),
        "machine": _machine(),
        "platform": host_platform.platform(),
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "rounds": rounds,
        "quick": args.quick,
        "impls": impls,
        "print_sizes": sizes,
        "median_ns": median,
        "samples_ns": samples,
        "memory": memory,
        "errors": errors,
    }
    report(summary)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=2, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
