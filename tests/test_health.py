"""Plugin health against real installed distributions: the discovery report, ``check``,
the warnings of ``tree``, disabling, and ``lookup --explain`` against ``get_plugin``.

The distributions are built as wheels and installed with pip into one directory, once for the
module; every scenario runs the command line in a fresh interpreter with that directory on
its path."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from conftest import run_python
from helpers import SAMPLES, build_wheel, pip_install, run_cli


def plugin(cls, platform, tail=""):
    return ("from mirvak.manager import plugin_manager\n"
            f"class {cls}:\n    pass\n"
            f"plugin_manager.register_plugin({cls}, os='linux', platform='{platform}')\n" + tail)


# distribution: (entry points, files)
DISTRIBUTIONS = {
    "health-good": ([("good", "health_good.hooks"), ("good-again", "health_good.hooks")],
                    {"health_good/__init__.py": "",
                     "health_good/hooks.py": plugin("GoodConnection", "p8")}),
    "health-raises": ([("raises", "health_raises.hooks")],
                      {"health_raises/__init__.py": "", "health_raises/hooks.py": plugin(
                          "HalfConnection", "p4", "raise RuntimeError('plugin broke')\n")}),
    "health-missing": ([("missing", "health_missing.gone")], {"health_missing/__init__.py": ""}),
    "health-func": ([("func", "health_func.hooks:register")],
                    {"health_func/__init__.py": "", "health_func/hooks.py":
                     "def register():\n    " + plugin("FuncConnection", "p7").replace(
                         "\n", "\n    ")}),
    "health-one": ([("one", "health_one.hooks")],
                   {"health_one/__init__.py": "", "health_one/hooks.py": plugin("OneConnection",
                                                                                 "p5")}),
    "health-two": ([("two", "health_two.hooks")],
                   {"health_two/__init__.py": "", "health_two/hooks.py": plugin("TwoConnection",
                                                                                 "p5")}),
    "health-off": ([("off", "health_off.hooks")],
                   {"health_off/__init__.py": "", "health_off/hooks.py": plugin("OffConnection",
                                                                                 "p6")}),
}
OWNER = {ep: (dist, value) for dist, (points, _) in DISTRIBUTIONS.items() for ep, value in points}
LABEL = {ep: f"entry point {ep} = {value} ({dist} 1.0)" for ep, (dist, value) in OWNER.items()}
OFF = {"MIRVAK_DISABLE_PLUGINS": " off , nothing-by-this-name"}


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    wheels = tmp_path_factory.mktemp("wheels")
    built = [build_wheel(wheels, name, points, files)
             for name, (points, files) in DISTRIBUTIONS.items()]
    return pip_install(tmp_path_factory.mktemp("site"), *built)


@pytest.fixture(scope="module")
def report(site):
    """``check --json`` with entry point off disabled through the environment."""
    res = run_cli("check", "--json", pythonpath=site, env=OFF)
    assert (res.returncode, res.stderr) == (1, "")
    return json.loads(res.stdout)


def external(report):
    """The external sources by entry-point name, and the names in load order."""
    sources = [p for p in report["plugins"] if p["kind"] == "external"]
    return {p["name"]: p for p in sources}, [p["name"] for p in sources]


def test_report_sources_statuses_and_registrations(report, site):
    builtin = [p for p in report["plugins"] if p["kind"] == "builtin"]
    # The built-in walk: the same modules as the class imports, each with what it registered.
    expected = {}
    for module, qualname, reg in SAMPLES:
        place = [reg[k] for k in ("os", "platform", "model", "os_flavor") if k in reg]
        expected.setdefault("mirvak.plugins." + module, []).append(
            {"place": place, "chassis_type": reg.get("chassis_type", "single_rp"),
             "cls": f"mirvak.plugins.{module}.{qualname}"})
    assert {p["module"]: p["registrations"] for p in builtin if p["registrations"]} == expected
    assert {p["status"] for p in builtin} == {"ok"}

    by_name, order = external(report)
    assert sorted(order) == sorted(LABEL)
    assert order.index("good") < order.index("good-again")
    def reg(name, cls, platform):
        return [{"place": ["linux", platform], "chassis_type": "single_rp",
                 "cls": f"health_{name}.hooks.{cls}Connection"}]

    expect = {
        "good": ("ok", None, reg("good", "Good", "p8")),
        "good-again": ("already imported", None, []),
        "raises": ("failed", "RuntimeError: plugin broke", reg("raises", "Half", "p4")),
        "missing": ("failed", "ModuleNotFoundError: No module named 'health_missing.gone'", []),
        "func": ("ok", None, []),
        "one": ("ok", None, reg("one", "One", "p5")),
        "two": ("ok", None, reg("two", "Two", "p5")),
        "off": ("disabled", None, []),
    }
    for name, (status, error, registrations) in expect.items():
        source = by_name[name]
        assert (source["status"], source["error"], source["registrations"]) == (
            status, error, registrations), name
        assert (source["distribution"], source["value"], source["version"]) == (
            *OWNER[name], "1.0")
        assert source["flagged"] == (name == "func")
        assert (source["traceback"] is not None) == (status == "failed")
    assert by_name["func"]["attribute"] == "register"
    assert by_name["missing"]["hint"] == (
        "health-missing has no module health_missing.gone: fix the entry point's value (now "
        "missing = health_missing.gone) to name a module it installs; or skip it: --disable "
        "missing")
    assert "health_raises/hooks.py\", line 5, in <module>" in by_name["raises"]["traceback"]
    assert not report["ok"] and report["unused_disabled"] == ["nothing-by-this-name"]

    # The two same-device plugins load in name order: the later one wins.  3.9's entry points
    # know no distribution and load in the order the file system lists the site.
    first, last = ("one", "two")
    decided = "name order: distribution health-two sorts after health-one"
    if sys.version_info < (3, 10):
        first, last = sorted((first, last), key=order.index)
        decided = f"listing order: entry point {last} is listed after {first}"
    assert order.index(first) < order.index(last)
    assert report["conflicts"] == [{
        "place": ["linux", "p5"], "chassis_type": "single_rp",
        "winner": {"cls": f"health_{last}.hooks.{last.title()}Connection", "source": LABEL[last]},
        "replaced": [{"cls": f"health_{first}.hooks.{first.title()}Connection",
                      "source": LABEL[first]}],
        "decided_by": decided}]


WARN_FAILED = [LABEL["raises"] + " failed to load: RuntimeError: plugin broke; hint: the plugin "
                                 "raised while it was imported: fix it; or skip it: --disable "
                                 "raises",
               LABEL["missing"] + " failed to load: ModuleNotFoundError: No module named "
                                  "'health_missing.gone'; hint: health-missing has no module "
                                  "health_missing.gone: fix the entry point's value (now missing "
                                  "= health_missing.gone) to name a module it installs; or skip "
                                  "it: --disable missing"]
WARN_FLAGGED = [LABEL["func"] + " names an attribute: its module health_func.hooks was "
                                "imported, register was not called; hint: point it at the "
                                "module (func = health_func.hooks): discovery imports the module "
                                "and never calls the attribute"]


def warnings(report):
    """The warning lines expected, in the report's order: failures, flagged, conflicts, unused
    names."""
    order = external(report)[1]
    lines = sorted(WARN_FAILED, key=lambda line: order.index(line.split()[2])) + WARN_FLAGGED
    lines = ["plugin " + line for line in lines]
    first, last = sorted(("one", "two"), key=order.index)  # by name, but by listing on 3.9
    return lines + [f"conflict at linux/p5 [single_rp]: health_{last}.hooks.{last.title()}"
                    f"Connection from {LABEL[last]} replaced health_{first}.hooks."
                    f"{first.title()}Connection from {LABEL[first]}"
                    "; hint: --prefer NAME (or MIRVAK_PREFER_PLUGINS) chooses the winner",
                    "disabled name nothing-by-this-name matches no entry point"]


@pytest.mark.parametrize("args, env, disabled, status, last_line", [
    ([], OFF, {"off"}, 1, "check failed: 2 failed plugins"),
    (["--disable", "raises", "--disable", "Health_Missing"], OFF, {"off", "raises", "missing"},
     0, "check passed"),
    (["--strict", "--disable", "raises", "--disable", "health-missing"], OFF,
     {"off", "raises", "missing"}, 1, "check failed: 1 conflict, 1 flagged entry point"),
    (["--strict", "--disable", "raises"], {"MIRVAK_DISABLE_PLUGINS": "func,two,,health-missing"},
     {"raises", "missing", "func", "two"}, 0, "check passed"),
    (["--traceback"], OFF, {"off"}, 1, "check failed: 2 failed plugins"),
])
def test_check_text_and_exit_status(site, report, args, env, disabled, status, last_line):
    res = run_cli("check", *args, pythonpath=site, env=env)
    lines = res.stdout.splitlines()
    assert (res.returncode, res.stderr, lines[-1]) == (status, "", last_line)
    assert lines[0] == "Plugins, in load order:"
    statuses = {name: p["status"] for name, p in external(report)[0].items()}
    statuses.update({name: "disabled" for name in disabled}, off=statuses["off"]
                    if "off" in disabled else "ok")
    for name, label in LABEL.items():
        assert any(line.startswith(f"  {statuses[name]:16} {label}") for line in lines), name
    assert ("Traceback (most recent call last):" in res.stdout) == ("--traceback" in args)
    assert ("RuntimeError: plugin broke" in res.stdout) == ("raises" not in disabled)


def test_tree_warns_and_strict_fails(site, report):
    res = run_cli("tree", "--json", pythonpath=site, env=OFF)
    assert res.returncode == 0
    assert res.stderr.splitlines() == ["warning: " + line for line in warnings(report)]
    tree = json.loads(res.stdout)
    p5 = tree["linux"]["p5"]["data"]["single_rp"]
    assert p5["source"] == report["conflicts"][0]["winner"]["source"]
    assert "p6" not in tree["linux"] and "p7" not in tree["linux"]  # disabled; never called
    assert tree["linux"]["p4"]["data"]["single_rp"]["source"] == LABEL["raises"]

    res = run_cli("tree", "--strict", pythonpath=site, env=OFF)
    assert (res.returncode, res.stdout) == (1, "")
    assert res.stderr.splitlines() == ["error: " + line for line in warnings(report)]
    res = run_cli("tree", "--disable", "health-raises", "--disable", "missing", "--disable",
                  "func", "--disable", "two", pythonpath=site)
    assert (res.returncode, res.stderr) == (0, "")


@pytest.mark.parametrize("args, env", [
    (["--os", "linux", "--platform", "p5"], {}),                 # the conflict's winner
    (["--os", "linux", "--platform", "p6"], OFF),                # disabled: falls back to linux
    (["--os", "linux", "--platform", "p6"], {}),                 # not disabled: its own class
    (["--os", "linux", "--platform", "p7", "--model", "m1"], {}),  # never called: falls back
    (["--os", "linux", "--platform", "p4"], {}),                 # registered, then raised
    (["--os", "Linux", "--platform", "p8"], {}),                 # no such os: suggests linux
    (["--os", "linux", "--platform", "P8"], {}),                 # refused by validation
    (["--os", "freebsd", "--platform", "p8", "--chassis-type", "stack"], {}),
])
def test_lookup_explain_agrees_with_lookup(site, args, env):
    plain = run_cli("lookup", *args, pythonpath=site, env=env)
    res = run_cli("lookup", "--explain", "--json", *args, pythonpath=site, env=env)
    explained = json.loads(res.stdout)
    assert res.returncode == plain.returncode
    # The same warnings; the explanation carries the error and the notes instead of standard
    # error.
    assert res.stderr + ("error: %s\n" % explained["error"] if plain.returncode else "") == \
        "".join(line for line in plain.stderr.splitlines(True) if not line.startswith("note: "))
    notes = [line for line in plain.stderr.splitlines() if line.startswith("note: ")]
    # A plain lookup says when it fell back, or when it failed short of a registration.
    assert bool(notes) == (explained["fell_back"] or (explained["error"] is not None
                                                      and not explained["refused"]))
    if plain.returncode == 0:
        cls, path, source, *replaced = plain.stdout.splitlines()
        assert explained["source"] == source[len("registered by: "):]
        assert replaced == ["replaced: %(cls)s from %(source)s" % c for c in explained["replaced"]]
        assert bool(replaced) == (args[3] == "p5")  # the conflict's winner replaced the loser
        assert explained["result"] == cls
        # The file the registry noted; lookup asks inspect, which knows none for a class whose
        # module failed after registering it.
        assert explained["file"] == (path or str(site / "health_raises" / "hooks.py"))
        assert explained["error"] is None
    else:
        # The error line first, the notes after it.
        lines = plain.stderr.splitlines()
        at = lines.index("error: " + explained["error"])
        assert lines[at + 1:] == notes
        assert explained["result"] is None
    assert explained["refused"] == (explained["path"] is None)
    assert explained["fell_back"] == any(not s["followed"] for s in explained["steps"])
    if args[1] == "Linux":
        assert explained["steps"][0] == {"identifier": "Linux", "followed": False, "at": [],
                                         "suggestions": ["linux"]}
    text = run_cli("lookup", "--explain", *args, pythonpath=site, env=env)
    assert text.returncode == plain.returncode
    result_line = ("result: " + explained["result"] if explained["error"] is None
                   else ("refused: " if explained["refused"] else "error: ") + explained["error"])
    assert result_line in text.stdout.splitlines()


REPORT_API = """
import json
from mirvak.manager import plugin_manager
from mirvak.health import discovery_report, BEFORE_DISCOVERY
from collections import OrderedDict as Early
plugin_manager.register_plugin(Early, os="linux", platform="p8")
first = discovery_report(builtin=False, disable=["raises", "missing"], environ={})
again = discovery_report(builtin=False, disable=["raises", "missing"], environ={})
record = plugin_manager.plugins["linux"]["p8"]["data"]["single_rp"]
print(json.dumps([[str(c) for c in first.conflicts if c.place == ("linux", "p8")],
                  first.source_of(record), sorted({(p.name, p.status) for p in again.plugins}),
                  [p.registrations for p in again.plugins if p.registrations]]))
"""


def test_report_api_before_discovery_and_second_run(site):
    conflicts, source, statuses, registrations = json.loads(
        run_python(REPORT_API, path=site).stdout)
    assert conflicts == ["linux/p8 [single_rp]: health_good.hooks.GoodConnection from "
                         f"{LABEL['good']} replaced collections.OrderedDict from before discovery"]
    assert source == LABEL["good"]
    # A second run imports nothing again: every loaded entry point is "already imported".
    assert statuses == sorted(
        [[name, "already imported"] for name in ("func", "good", "good-again", "off", "one",
                                                 "two")]
        + [["missing", "disabled"], ["raises", "disabled"]])
    assert registrations == []


def test_console_script_and_version():
    from importlib.metadata import version

    script = shutil.which("mirvak", path=os.path.dirname(sys.executable))
    res = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert (res.returncode, res.stdout) == (0, "mirvak %s\n" % version("mirvak"))
    assert run_cli("--version").stdout == "python -m " + res.stdout
    assert subprocess.run([script, "lookup", "--os", "plan9"], capture_output=True, text=True,
                          timeout=60).stderr == run_cli("lookup", "--os", "plan9").stderr
