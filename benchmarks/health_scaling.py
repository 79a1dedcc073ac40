"""How ``check`` grows with the number of plugin sources, against bare discovery.

For each size N (default 100, 250, 400, 500 and 1,000) generates, in a
temporary directory, a copy of the installed ``mirvak`` package whose
built-in plugins package holds N generated modules (packages of 10 modules,
each registering one class) and N installed distributions with one entry
point each.  Then, in fresh interpreters, each on its own copy:

- imports: the registry and the health layer imported, nothing run;
- bare: ``PluginManager.discover_builtin_plugins()`` followed by
  ``PluginManager.discover_external_plugins()``;
- report: ``mirvak.health.discovery_report()``, the same discovery with each
  source isolated, timed and attributed;
- check: ``python -m mirvak check --json``, the whole command.

Seconds are medians of several rounds after a warm-up round that writes the
byte-code caches (``--rounds``).  With ``--instructions`` each process also runs
once under ``valgrind --tool=callgrind`` and the table gives its instructions
less those of the imports-only process: the discovery's own cost.  Two ratios
answer whether the report is linear:

- growth: what 250 -> 400 added over what 100 -> 250 added (equal steps of
  150 + 150 sources; 1.00 is linear);
- overhead: report / bare, at each size.

    python benchmarks/health_scaling.py [--sizes 100,250,400,500,1000]
        [--rounds N] [--instructions] [--package DIR]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from health_overhead import PLUGIN  # one plugin module's text, shared with the overhead benchmark

MODULES_PER_PACKAGE = 10

IMPORTS = """
import sys, time
import mirvak.manager, mirvak.health, mirvak.cli
start = time.perf_counter()
"""

# Each process writes the seconds its discovery took as the last line of standard error.
TAIL = """
sys.stderr.write("\\n%r\\n" % (time.perf_counter() - start))
"""

BARE = IMPORTS + """
from mirvak.core.pluginmanager import PluginManager
from mirvak.manager import plugin_manager
PluginManager.discover_builtin_plugins()
PluginManager.discover_external_plugins()
assert len(plugin_manager.plugins["linux"]) >= {expected}, len(plugin_manager.plugins["linux"])
""" + TAIL

REPORT = IMPORTS + """
from mirvak.health import discovery_report
assert discovery_report().ok
""" + TAIL

CHECK = IMPORTS + """
from mirvak.cli import main
status = main(["check", "--json"])
""" + TAIL + """
sys.exit(status)
"""

IMPORTS += TAIL


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as handle:
        handle.write(text)


def generate(root, size, package):
    """The host package (built-in plugins) under root/host, distributions under root/site."""
    host = os.path.join(root, "host")
    shutil.copytree(package, os.path.join(host, "mirvak"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    plugins = os.path.join(host, "mirvak", "plugins")
    for m in range(size):
        package = "gen%03d" % (m // MODULES_PER_PACKAGE)
        write(os.path.join(plugins, package, "__init__.py"), "")
        write(os.path.join(plugins, package, "mod%d.py" % (m % MODULES_PER_PACKAGE)),
              PLUGIN.format(cls="Gen%d" % m, platform="g%d" % m, model="m"))
    site = os.path.join(root, "site")
    for d in range(size):
        name = "scale_plugin_%04d" % d
        info = os.path.join(site, name + "-1.0.dist-info")
        write(os.path.join(info, "METADATA"),
              "Metadata-Version: 2.1\nName: %s\nVersion: 1.0\n" % name)
        write(os.path.join(site, name, "__init__.py"),
              PLUGIN.format(cls="Ext%d" % d, platform="e%d" % d, model="m"))
        write(os.path.join(info, "entry_points.txt"),
              "[mirvak.plugins]\nep%04d = %s\n" % (d, name))
    return os.pathsep.join([host, site])


def environment(path):
    env = dict(os.environ, PYTHONPATH=path, PYTHONHASHSEED="0")
    for name in list(env):
        if name.startswith("MIRVAK_"):
            del env[name]
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # installed plugins have their byte-code caches
    return env


def seconds(code, path):
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=environment(path), cwd=tempfile.gettempdir())
    if res.returncode != 0:
        raise SystemExit("measured process failed (%d):\n%s" % (res.returncode, res.stderr[-2000:]))
    return float(res.stderr.split()[-1])


def instructions(code, path):
    with tempfile.TemporaryDirectory() as out:
        target = os.path.join(out, "callgrind.out")
        res = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + target,
                              sys.executable, "-c", code], capture_output=True, text=True,
                             env=environment(path), cwd=tempfile.gettempdir())
        if res.returncode != 0:
            raise SystemExit("measured process failed under callgrind:\n" + res.stderr[-2000:])
        with open(target) as handle:
            found = re.search(r"^summary:\s+(\d+)", handle.read(), re.M)
    if found is None:
        raise SystemExit("no summary line in the callgrind output")
    return int(found.group(1))


def measure(size, rounds, counted, package):
    codes = {"imports": IMPORTS, "bare": BARE.format(expected=2 * size), "report": REPORT,
             "check": CHECK}
    with tempfile.TemporaryDirectory() as root:
        path = generate(root, size, package)
        times = {name: [] for name in codes}
        for round_ in range(rounds + 1):
            for name, code in codes.items():
                elapsed = seconds(code, path)
                if round_:  # round 0 writes the byte-code caches
                    times[name].append(elapsed)
        result = {name: statistics.median(values) for name, values in times.items()}
        if counted:
            for name, code in codes.items():
                result[name + "_i"] = instructions(code, path)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,250,400,500,1000")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--package", help="the mirvak package directory to copy (by default "
                                          "the installed one; a saved copy compares versions)")
    args = parser.parse_args()
    if args.package is None:
        import mirvak

        args.package = os.path.dirname(mirvak.__file__)
    sizes = [int(s) for s in args.sizes.split(",")]
    results = {size: measure(size, args.rounds, args.instructions, args.package)
               for size in sizes}
    print("Python %s; N built-in modules + N distributions; seconds: the discovery's own, "
          "medians of %d rounds; instructions: the process less the imports-only process"
          % (sys.version.split()[0], args.rounds))
    head = "| N + N | bare s | report s | check s | report / bare |"
    if args.instructions:
        head += " bare instr. | report instr. | check instr. | report / bare |"
    print(head)
    print("|---" * (head.count("|") - 1) + "|")
    for size, r in results.items():
        bare, report, check = r["bare"], r["report"], r["check"]
        line = "| %d + %d | %.3f | %.3f | %.3f | %.2fx |" % (size, size, bare, report, check,
                                                           report / bare)
        if args.instructions:
            bi, ri, ci = (r[k + "_i"] - r["imports_i"] for k in ("bare", "report", "check"))
            line += " %.1fM | %.1fM | %.1fM | %.2fx |" % (bi / 1e6, ri / 1e6, ci / 1e6, ri / bi)
        print(line)
    if args.instructions and all(s in results for s in (100, 250, 400)):
        step = [results[s]["check_i"] for s in (100, 250, 400)]
        print("growth of check, 250->400 over 100->250: %.2fx"
              % ((step[2] - step[1]) / (step[1] - step[0])))


if __name__ == "__main__":
    main()
