"""Soak: a million mixed registry operations in one process; the resident set must stay flat.

Usage: python benchmarks/soak.py [--operations N] [--warmup N] [--tolerance-kib N]

Registrations, lookups (found and not found), removals, failing validations, unhashable and
reserved identifiers, a class without a source file, str-subclass identifiers, drawings and
representations, drawn at random (fixed seed) over a bounded set of identifiers, so the
registry itself stays bounded.  VmRSS (from /proc/self/status) is read after the warm-up and
at every tenth of the run; exit status 1 when the end exceeds the start by more than the
tolerance.
"""
import argparse
import gc
import random
import sys
import time

from mirvak.core.pluginmanager import PluginManager


class Alpha:
    pass


class Beta:
    pass


def gamma():
    pass


class Text(str):
    """A str subclass identifier: takes the slow paths of hashing, comparing and validating."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return str.__eq__(self, other)


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


SYSTEMS = ["linux"] * 4 + ["freebsd"] * 3 + ["openbsd", "plan9", Text("linux"), "LINUX", "", None]
PLATFORMS = [None] * 4 + ["p1", "p2", Text("p3"), "P4", 7]
MODELS = [None] * 6 + ["m1", "9300", "M2", ""]
FLAVORS = [None] * 6 + ["f1", 3, ("a", 1), "data", ["unhashable"]]
CHASSIS = ["single_rp", "single_rp", "dual_rp", "stack", None, "bad", Text("stack")]
CLASSES = [Alpha, Beta, gamma, int]


def operations(count, seed):
    """Yields `count` zero-argument calls, one per operation."""
    rng = random.Random(seed)
    managers = [PluginManager() for _ in range(4)]
    choice = rng.choice
    for number in range(count):
        manager = managers[number % len(managers)]
        what = rng.random()
        args = (choice(SYSTEMS), choice(PLATFORMS), choice(MODELS), choice(FLAVORS),
                choice(CHASSIS))
        if what < 0.35:
            yield lambda: manager.register_plugin(choice(CLASSES), *args)
        elif what < 0.7:
            yield lambda: manager.get_plugin(*args)
        elif what < 0.9:
            yield lambda: manager.unregister_plugin(*args[:4], choice([None, args[4]]))
        elif what < 0.97:
            yield lambda: manager.validate_arguments(*args[:3], args[4])
        elif what < 0.99:
            yield lambda: manager.print_tree(manager.plugins.get("linux"), "linux")
        else:
            yield lambda: repr(manager)
        if number % 200_000 == 199_999:
            managers[rng.randrange(len(managers))] = PluginManager()  # drop a whole registry


def run(count, seed, samples):
    outcomes = {}
    step = max(count // 10, 1)
    for number, call in enumerate(operations(count, seed), 1):
        try:
            call()
            key = "result"
        except Exception as error:  # noqa: BLE001 - every failure is expected and counted
            key = type(error).__name__
        outcomes[key] = outcomes.get(key, 0) + 1
        if samples is not None and number % step == 0:
            gc.collect()
            samples.append((number, resident_kib()))
    return outcomes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--operations", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=int, default=100_000)
    parser.add_argument("--tolerance-kib", type=int, default=1024)
    options = parser.parse_args(argv)

    run(options.warmup, seed=1, samples=None)
    gc.collect()
    start = resident_kib()
    samples = []
    began = time.perf_counter()
    outcomes = run(options.operations, seed=2, samples=samples)
    elapsed = time.perf_counter() - began
    gc.collect()
    end = resident_kib()

    print(f"operations: {options.operations:,} in {elapsed:.1f} s "
          f"({elapsed / options.operations * 1e6:.2f} us each), after {options.warmup:,} warm-up")
    print("outcomes: " + ", ".join(f"{key} {value:,}" for key, value in sorted(outcomes.items())))
    print("VmRSS by operation count: "
          + ", ".join(f"{number:,}: {kib:,} KiB" for number, kib in samples))
    print(f"VmRSS start {start:,} KiB, end {end:,} KiB, growth {end - start:+,} KiB "
          f"(tolerance {options.tolerance_kib:,} KiB)")
    return 0 if end - start <= options.tolerance_kib else 1


if __name__ == "__main__":
    sys.exit(main())
