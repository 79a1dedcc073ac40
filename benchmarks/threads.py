"""Lookups per second with threads: how get_plugin hits scale from 1 to 2 threads.

    python benchmarks/threads.py [--seconds S] [--rounds N] [--impl native,python]

For each implementation (native: the installed extension; python: the pure-Python class of
benchmarks/reference), one worker process measures, in turn:

    1 thread               one thread looking up on its manager
    2 threads, own         two threads, each looking up on a manager of its own
    2 threads, shared      two threads looking up on one manager

each for S seconds, the best of N rounds, and the table shows lookups per second with the ratio
of 2 threads to 1 beside each.  The worker imports the implementation as a user would (no
PYTHON_GIL in its environment), so a module that turns the GIL on for the whole process shows it:
the column "GIL" tells whether the GIL was on while the threads ran.  On a build with the GIL
the ratios stay near 1x; on a free-threaded build, with two idle cores, they show how much the
registry lets lookups run in parallel.
"""
import argparse
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import build_manager, import_impl, registry_records  # noqa: E402

RECORDS = 1000
BATCH = 200  # lookups between two looks at the clock
SETUPS = [("1", 1, False), ("own", 2, False), ("shared", 2, True)]


def spin(pm, until, counts, index, start):
    """Looks up until the clock passes `until` (after every thread has reached `start`)."""
    get = pm.get_plugin
    start.wait()
    done = 0
    while True:
        for _ in range(BATCH):
            get(os="freebsd", platform="p3")
        done += BATCH
        if time.perf_counter() >= until[0]:
            break
    counts[index] = (done, time.perf_counter())


def measure(managers, seconds):
    """Lookups per second of one thread per manager given, all running at once."""
    counts = [None] * len(managers)
    start = threading.Barrier(len(managers) + 1)
    until = [0.0]
    threads = [threading.Thread(target=spin, args=(pm, until, counts, index, start))
               for index, pm in enumerate(managers)]
    for thread in threads:
        thread.start()
    began = time.perf_counter()
    until[0] = began + seconds
    start.wait()
    for thread in threads:
        thread.join()
    return sum(done for done, _ in counts) / (max(end for _, end in counts) - began)


def worker(impl, seconds, rounds):
    mod = import_impl(impl)
    records = registry_records(RECORDS)
    managers = [build_manager(mod, records) for _ in range(2)]
    for pm in managers:  # the lookup measured finds what its name says
        assert pm.get_plugin(os="freebsd", platform="p3") is \
            pm.plugins["freebsd"]["p3"]["data"]["single_rp"]["cls"]
    best = {name: 0.0 for name, _, _ in SETUPS}
    for _ in range(rounds):
        for name, threads, shared in SETUPS:
            chosen = [managers[0]] * threads if shared else managers[:threads]
            best[name] = max(best[name], measure(chosen, seconds))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(json.dumps({"impl": impl, "gil": gil, "lps": best}))


def run_worker(impl, seconds, rounds):
    environment = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", impl,
                           "--seconds", str(seconds), "--rounds", str(rounds)],
                          capture_output=True, text=True, env=environment)
    if done.returncode != 0:
        raise SystemExit("threads: the %s worker failed:\n%s" % (impl, done.stderr))
    return json.loads(done.stdout.splitlines()[-1])


def table(results):
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
    print("get_plugin hits per second, best of the rounds; CPython %s (%s), %d CPUs"
          % (sys.version.split()[0], build, os.cpu_count() or 0))
    print("%-8s %-4s %14s %16s %7s %18s %7s" % ("impl", "GIL", "1 thread", "2 threads, own",
                                                "ratio", "2 threads, shared", "ratio"))
    for result in results:
        lps = result["lps"]
        print("%-8s %-4s %14s %16s %6.2fx %18s %6.2fx" % (
            result["impl"], "on" if result["gil"] else "off", "{:,.0f}".format(lps["1"]),
            "{:,.0f}".format(lps["own"]), lps["own"] / lps["1"],
            "{:,.0f}".format(lps["shared"]), lps["shared"] / lps["1"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of one measurement")
    parser.add_argument("--rounds", type=int, default=3, help="measurements of each setup")
    parser.add_argument("--impl", default="native,python", help="implementations to compare")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.seconds, args.rounds)
        return
    table([run_worker(impl, args.seconds, args.rounds) for impl in args.impl.split(",")])


if __name__ == "__main__":
    main()
