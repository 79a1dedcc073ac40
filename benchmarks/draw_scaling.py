"""How drawing a registry scales with its size.

Builds registries of 1,000, 10,000 and 100,000 records (operating system,
platform and model nodes, each model holding a "data" chassis mapping with one
or two plugin records, as registration leaves them), draws each one through
repr() of its manager, and prints the time per record (median of several runs)
and the ratio of the per-record times of the largest and the smallest tree.
A printer that re-concatenated its whole text would show a ratio far above 1.

For scale, each size is also timed for str() of the same tree, a linear walk in
C: its per-record time grows too, only because a larger tree no longer fits in
the processor's caches.  The last column is the drawing's time over that one.

    python benchmarks/draw_scaling.py [--runs N] [--reference]

--reference also times the plain-Python reference for comparison.
"""
import argparse
import importlib.util
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_classes  # noqa: E402
from mirvak.core.pluginmanager import PluginManager  # noqa: E402

SIZES = [1000, 10000, 100000]
SYSTEMS = ["linux", "freebsd", "openbsd", "netbsd", "illumos"]
CLASSES = [bench_classes.AlphaConnection, bench_classes.BetaConnection,
           bench_classes.GammaConnection, bench_classes.DeltaConnection]
PATH = bench_classes.__file__


def fill(tree, records):
    """Fills tree with `records` plugin records below os/platform/model nodes."""
    count = 0
    model = 0
    while count < records:
        system = tree.setdefault(SYSTEMS[model % len(SYSTEMS)], {})
        platform = system.setdefault(f"p{model // len(SYSTEMS) % 40}", {})
        chassis = platform.setdefault(f"m{model}", {}).setdefault("data", {})
        for chassis_type in ("single_rp", "dual_rp")[: 1 + model % 2]:
            if count == records:
                break
            cls = CLASSES[count % len(CLASSES)]
            chassis[chassis_type] = {"cls": cls, "path": PATH}
            count += 1
        model += 1
    return tree


def median_seconds(runs, *workloads):
    """Median time of each workload, the workloads taking turns run after run."""
    times = [[] for _ in workloads]
    for _ in range(runs):
        for spent, workload in zip(times, workloads):
            start = time.perf_counter()
            workload()
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


def load_reference():
    spec = importlib.util.spec_from_file_location(
        "reference_pluginmanager", os.path.join(HERE, "reference", "pluginmanager.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.PluginManager


def measure(manager_class, runs):
    per_record = {}
    for size in SIZES:
        manager = manager_class()
        fill(manager.plugins, size)
        text = repr(manager)
        assert text.count("|__ cls = ") == size
        draw, walk = median_seconds(runs, lambda: repr(manager), lambda: str(manager.plugins))
        per_record[size] = (draw / size, walk / size)
    return per_record


def report(name, per_record):
    print(f"{name}:")
    print(f"  {'records':>9}  {'us/record':>9}  {'ms/drawing':>10}  {'str() us/rec':>12}  {'draw/str':>8}")
    for size, (draw, walk) in per_record.items():
        print(f"  {size:>9,}  {draw * 1e6:9.3f}  {draw * size * 1e3:10.2f}  {walk * 1e6:12.3f}"
              f"  {draw / walk:8.2f}")
    first, last = per_record[SIZES[0]], per_record[SIZES[-1]]
    print(f"  ratio {SIZES[-1]:,}/{SIZES[0]:,} of the per-record times: {last[0] / first[0]:.2f}"
          f" (str() of the tree: {last[1] / first[1]:.2f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=7, help="runs per size (median)")
    parser.add_argument("--reference", action="store_true",
                        help="also time the plain-Python reference")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, median of {args.runs} runs")
    report("native", measure(PluginManager, args.runs))
    if args.reference:
        report("reference", measure(load_reference(), args.runs))


if __name__ == "__main__":
    main()
