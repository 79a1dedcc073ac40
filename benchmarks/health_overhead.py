"""What the discovery report costs over the class's plain discovery.

Generates, in a temporary directory, a copy of the installed ``mirvak``
package whose built-in plugins package holds 200 generated plugin modules (20
sub-packages of 10 modules, each registering one class), and 10 installed
distributions (``*.dist-info``) advertising 50 entry points, each a module
that registers one class.  Then, in fresh interpreters, round after round:

- plain: ``PluginManager.discover_builtin_plugins()`` followed by
  ``PluginManager.discover_external_plugins()``;
- report: ``mirvak.health.discovery_report()``, the same discovery with each
  source isolated, timed and attributed.

Each process imports the registry first and times the discovery alone; the
first round of each is a warm-up that writes the byte-code caches.  The table
gives medians, and the whole-process wall time beside them.

    python benchmarks/health_overhead.py [--rounds N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PACKAGES, MODULES_PER_PACKAGE = 20, 10
DISTRIBUTIONS, POINTS_PER_DISTRIBUTION = 10, 5

PLUGIN = """from mirvak.manager import plugin_manager


class {cls}:
    pass


plugin_manager.register_plugin({cls}, os="linux", platform="{platform}", model="{model}")
"""

PLAIN = """
import time
from mirvak.core.pluginmanager import PluginManager
from mirvak.manager import plugin_manager
start = time.perf_counter()
PluginManager.discover_builtin_plugins()
PluginManager.discover_external_plugins()
print(time.perf_counter() - start, sum(k[:1] in ("g", "e") and k[1:].isdigit()
                                      for k in plugin_manager.plugins["linux"]))
"""

REPORT = """
import time
from mirvak.health import discovery_report
from mirvak.manager import plugin_manager
start = time.perf_counter()
report = discovery_report()
assert report.ok and not report.conflicts, report.to_text()
print(time.perf_counter() - start, sum(k[:1] in ("g", "e") and k[1:].isdigit()
                                      for k in plugin_manager.plugins["linux"]))
"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as handle:
        handle.write(text)


def generate(root):
    """The host package (built-in plugins) under root/host, distributions under root/site."""
    import mirvak

    host = os.path.join(root, "host")
    shutil.copytree(os.path.dirname(mirvak.__file__), os.path.join(host, "mirvak"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    plugins = os.path.join(host, "mirvak", "plugins")
    for p in range(PACKAGES):
        write(os.path.join(plugins, f"gen{p:02d}", "__init__.py"), "")
        for m in range(MODULES_PER_PACKAGE):
            write(os.path.join(plugins, f"gen{p:02d}", f"mod{m:02d}.py"),
                  PLUGIN.format(cls=f"Gen{p}M{m}", platform=f"g{p}", model=f"m{m}"))
    site = os.path.join(root, "site")
    for d in range(DISTRIBUTIONS):
        name = f"bench_plugin_{d:02d}"
        info = os.path.join(site, f"{name}-1.0.dist-info")
        write(os.path.join(info, "METADATA"),
              f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        entries = ["[mirvak.plugins]"]
        write(os.path.join(site, name, "__init__.py"), "")
        for e in range(POINTS_PER_DISTRIBUTION):
            write(os.path.join(site, name, f"ep{e}.py"),
                  PLUGIN.format(cls=f"Ext{d}E{e}", platform=f"e{d}", model=f"m{e}"))
            entries.append(f"ep{d:02d}{e} = {name}.ep{e}")
        write(os.path.join(info, "entry_points.txt"), "\n".join(entries) + "\n")
    return os.pathsep.join([host, site])


def run(code, path):
    env = dict(os.environ, PYTHONPATH=path)
    env.pop("MIRVAK_DISABLE_PLUGINS", None)
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # installed plugins have their byte-code caches
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                         check=True).stdout.split()
    wall = time.perf_counter() - start
    seconds, count = float(out[0]), int(out[1])
    expected = PACKAGES + DISTRIBUTIONS
    assert count == expected, "discovery registered %d generated platforms, not %d" % (
        count, expected)
    return seconds, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as root:
        path = generate(root)
        results = {"plain": [], "report": []}
        for round_ in range(args.rounds + 1):
            for name, code in (("plain", PLAIN), ("report", REPORT)):
                timing = run(code, path)
                if round_:  # round 0 writes the byte-code caches
                    results[name].append(timing)
    medians = {name: [statistics.median(t[i] for t in runs) for i in (0, 1)]
               for name, runs in results.items()}
    (plain, plain_wall), (report, report_wall) = medians["plain"], medians["report"]
    print("Python %s; %d built-in plugin modules, %d entry points; medians of %d rounds"
          % (sys.version.split()[0], PACKAGES * MODULES_PER_PACKAGE,
             DISTRIBUTIONS * POINTS_PER_DISTRIBUTION, args.rounds))
    print("| | discovery | whole process |")
    print("|---|---|---|")
    print("| class's discovery | %.1f ms | %.1f ms |" % (plain * 1e3, plain_wall * 1e3))
    print("| discovery report | %.1f ms | %.1f ms |" % (report * 1e3, report_wall * 1e3))
    print("| overhead | +%.1f ms (%.2fx) | +%.1f ms |" % (
        (report - plain) * 1e3, report / plain, (report_wall - plain_wall) * 1e3))


if __name__ == "__main__":
    main()
