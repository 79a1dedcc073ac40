"""External discovery against the pure-Python class, in instructions (callgrind).

    python benchmarks/external_discovery.py [--counts 10,100,500] [--impl NAME]...

Generates, in a temporary directory, sites of N installed distributions
(``*.dist-info`` with ``METADATA`` and ``entry_points.txt``), each advertising
one entry point in ``mirvak.plugins`` whose module defines one class.  For each
implementation (``native``, the installed module; ``python``, the reference
under benchmarks/reference/) and each N, two processes run under
``valgrind --tool=callgrind`` with a fixed hash seed: both import the
implementation with only that site, the ``mirvak`` package and the standard
library on ``sys.path``; the second also calls
``PluginManager.discover_external_plugins()``.  The difference of their totals
is the cost of one discovery: selection, ordering, logging and loading.  Byte
code is written by an unmeasured run first, so both read the same caches.

Then it lists the modules that importing the native registry, and running its
discovery, load beyond what the pure-Python module loads.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from instructions import callgrind_total  # noqa: E402

IMPLS = {"native": "mirvak.core.pluginmanager", "python": "pluginmanager"}
HASH_SEED = "0"

# argv: module, directory to put first on sys.path or "", site, host, discover (0/1), list
# modules (0/1).  Runs with -S: nothing but what is named here is on the path.
WORKER = """
import sys
module, first, site, host, discover, listing = sys.argv[1:]
sys.path[:0] = [p for p in (first, site, host) if p]
import importlib
before = set(sys.modules)
pm = importlib.import_module(module)
imported = set(sys.modules)
if discover == "1":
    pm.PluginManager.discover_external_plugins()
if listing == "1":
    import json
    print(json.dumps([sorted(imported - before), sorted(set(sys.modules) - imported)]))
"""


def write(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as handle:
        handle.write(text)


def make_site(root: str, count: int) -> str:
    """A site directory of `count` distributions, one entry point each."""
    site = os.path.join(root, "site-%d" % count)
    for i in range(count):
        name = "bench_ext_%04d" % i
        info = os.path.join(site, "%s-1.0.dist-info" % name)
        write(os.path.join(info, "METADATA"),
              "Metadata-Version: 2.1\nName: %s\nVersion: 1.0\n" % name.replace("_", "-"))
        write(os.path.join(info, "entry_points.txt"),
              "[mirvak.plugins]\nep%04d = %s\n" % (i, name))
        write(os.path.join(site, name + ".py"), "class Plugin%04d:\n    pass\n" % i)
    return site


def make_host(root: str) -> str:
    """A directory holding only the installed mirvak package (no distributions)."""
    import mirvak

    host = os.path.join(root, "host")
    os.makedirs(host)
    os.symlink(os.path.dirname(os.path.abspath(mirvak.__file__)), os.path.join(host, "mirvak"))
    return host


def worker(impl: str, site: str, host: str, discover: bool, listing: bool = False) -> list[str]:
    first = os.path.join(HERE, "reference") if impl == "python" else ""
    return [sys.executable, "-S", "-c", WORKER, IMPLS[impl], first, site, host,
            "1" if discover else "0", "1" if listing else "0"]


def env(write_bytecode: bool) -> dict[str, str]:
    out = dict(os.environ, PYTHONHASHSEED=HASH_SEED)
    for name in ("PYTHONPATH", "PYTHONDONTWRITEBYTECODE", "MIRVAK_DISABLE_PLUGINS"):
        out.pop(name, None)
    if not write_bytecode:
        out["PYTHONDONTWRITEBYTECODE"] = "1"
    return out


def instructions(cmd: list[str], tmp: str) -> int:
    out = os.path.join(tmp, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--dump-instr=no",
                    "--callgrind-out-file=" + out] + cmd, env=env(False), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return callgrind_total(out)


def discovery_cost(impl: str, site: str, host: str, tmp: str) -> int:
    subprocess.run(worker(impl, site, host, True), env=env(True), check=True)  # byte code
    return (instructions(worker(impl, site, host, True), tmp)
            - instructions(worker(impl, site, host, False), tmp))


def modules(impl: str, site: str, host: str) -> tuple[set[str], set[str]]:
    out = subprocess.run(worker(impl, site, host, True, listing=True), env=env(False),
                         check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    on_import, on_discovery = json.loads(out)
    return set(on_import), set(on_discovery)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--counts", default="10,100,500",
                        help="numbers of distributions, comma-separated")
    parser.add_argument("--impl", action="append", choices=sorted(IMPLS),
                        help="implementations to measure (default: native and python)")
    args = parser.parse_args()
    impls = args.impl or ["native", "python"]
    counts = [int(c) for c in args.counts.split(",")]
    print("CPython %s, instructions of one discover_external_plugins() (callgrind)"
          % sys.version.split()[0])
    print("%-15s" % "distributions" + "".join("%16s" % i for i in impls)
          + ("%12s" % "nat/py" if len(impls) == 2 else ""))
    with tempfile.TemporaryDirectory() as root:
        host = make_host(root)
        for count in counts:
            site = make_site(root, count)
            cost = {impl: discovery_cost(impl, site, host, root) for impl in impls}
            row = "%-15d" % count + "".join("%16s" % "{:,}".format(cost[i]) for i in impls)
            if len(impls) == 2:
                row += "%11.3fx" % (cost["native"] / cost["python"])
            print(row, flush=True)
        if len(impls) == 2:
            native, python = modules("native", site, host), modules("python", site, host)
            own = {IMPLS["native"], IMPLS["python"]}
            extra = sorted(native[0] - python[0] - own)
            print("modules the native registry's import adds:", ", ".join(extra) or "none")
            extra = sorted((native[0] | native[1]) - (python[0] | python[1]) - own)
            print("modules its import and discovery add:", ", ".join(extra) or "none")
    return 0


if __name__ == "__main__":
    sys.exit(main())
