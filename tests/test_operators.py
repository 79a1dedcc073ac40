"""What operators see with real installed distributions: one winner whatever the listing order,
--prefer, JSON that stays JSON next to a printing plugin, misspelt groups, the failure callback,
and progress and Ctrl-C on a pseudo-terminal."""
import json
import os
import pty
import select
import signal
import subprocess
import sys
import time

import pytest

from conftest import run_python
from helpers import REPO, build_wheel, pip_install, run_cli


def plugin(cls, platform, head=""):
    return (head + "from mirvak.manager import plugin_manager\n"
            f"class {cls}:\n    pass\n"
            f"plugin_manager.register_plugin({cls}, os='linux', platform='{platform}')\n")


# A plugin that waits until the file named by OPS_RELEASE exists (at most a minute); with
# OPS_ANNOUNCE set it says so first.
WAIT = """\
import os, sys, time
release = os.environ.get("OPS_RELEASE")
if os.environ.get("OPS_ANNOUNCE"):
    sys.stderr.write("ops-slow waits\\n")
    sys.stderr.flush()
deadline = time.monotonic() + 60
while release and not os.path.exists(release) and time.monotonic() < deadline:
    time.sleep(0.01)
"""

DISTRIBUTIONS = {
    "ops-alpha": ([("alpha", "ops_alpha.hooks")],
                  {"ops_alpha/__init__.py": "", "ops_alpha/hooks.py": plugin("Alpha", "p61")}),
    "Ops_Zulu": ([("a-zulu", "ops_zulu.hooks")],
                 {"ops_zulu/__init__.py": "", "ops_zulu/hooks.py": plugin("Zulu", "p61")}),
    "ops-printer": ([("printer", "ops_printer.hooks")],
                    {"ops_printer/__init__.py": "", "ops_printer/hooks.py": plugin(
                        "Printer", "p60", "import os, warnings\nprint('hello from printer')\n"
                                          "os.write(1, b'raw bytes\\n')\n"
                                          "warnings.warn('printer warns')\n")}),
    "ops-slow": ([("slow", "ops_slow.hooks")],
                 {"ops_slow/__init__.py": "", "ops_slow/hooks.py": plugin("Slow", "p62", WAIT)}),
    "ops-broken": ([("broken", "ops_broken.hooks")],
                   {"ops_broken/__init__.py": "", "ops_broken/hooks.py": "raise ValueError(7)\n"}),
}


@pytest.fixture(scope="module")
def sites(tmp_path_factory):
    """Each distribution installed into a directory of its own: {name: directory}."""
    wheels = tmp_path_factory.mktemp("wheels")
    return {name: pip_install(tmp_path_factory.mktemp("site"),
                              build_wheel(wheels, name, points, files))
            for name, (points, files) in DISTRIBUTIONS.items()}


def path(sites, *names):
    return os.pathsep.join(str(sites[name]) for name in names)


WINNER = "lookup --no-builtin --json --os linux --platform p61".split()


@pytest.mark.parametrize("args, env, winner, decided", [
    ([], {}, "Zulu", "name order: distribution Ops_Zulu sorts after ops-alpha"),
    (["--prefer", "ops_alpha"], {}, "Alpha", "preference: ops_alpha loads last"),
    ([], {"MIRVAK_PREFER_PLUGINS": "alpha, a-zulu"}, "Zulu", "preference: a-zulu loads last"),
    (["--prefer", "alpha"], {"MIRVAK_PREFER_PLUGINS": "alpha,a-zulu"}, "Alpha",
     "preference: alpha loads last"),
])
def test_one_winner_whatever_the_listing_order(sites, args, env, winner, decided):
    if sys.version_info < (3, 10) and not args and not env:  # no distribution: name order
        winner, decided = "Alpha", "name order: entry point alpha sorts after a-zulu"
    # The two distributions on the path in both orders: the answer does not follow the listing.
    for names in (["ops-alpha", "Ops_Zulu"], ["Ops_Zulu", "ops-alpha"]):
        res = run_cli(*WINNER, *args, pythonpath=path(sites, *names), env=env)
        assert res.returncode == 0, res.stderr
        answer = json.loads(res.stdout)
        assert answer["cls"] == f"ops_{winner.lower()}.hooks.{winner}"
        loser = "Alpha" if winner == "Zulu" else "Zulu"
        assert [c["cls"] for c in answer["replaced"]] == [f"ops_{loser.lower()}.hooks.{loser}"]
        check = json.loads(run_cli("check", "--json", "--no-builtin", *args,
                                   pythonpath=path(sites, *names), env=env).stdout)
        assert [c["decided_by"] for c in check["conflicts"]] == [decided]
    res = run_cli("tree", "--no-builtin", "--prefer", "nobody", pythonpath=path(sites, "ops-alpha"))
    assert res.stderr.splitlines()[-1] == "warning: preferred name nobody matches no entry point"


@pytest.mark.parametrize("args", [
    ["check", "--json"], ["tree", "--json"], ["lookup", "--json", "--os", "linux", "--platform",
                                              "p60"],
    ["lookup", "--json", "--os", "linux", "--platform", "P60"],
    ["check"], ["tree"], ["lookup", "--os", "linux", "--platform", "p60"],
])
def test_standard_output_holds_only_the_answer_next_to_a_printing_plugin(sites, args):
    res = run_cli(*args, "--no-builtin", pythonpath=path(sites, "ops-printer"))
    # What the plugin printed, through Python or at the file descriptor, went to stderr, and
    # its warning is told as the plugin's.
    assert "hello from printer\n" in res.stderr and "raw bytes\n" in res.stderr
    assert ("warning: plugin entry point printer = ops_printer.hooks (ops-printer 1.0) warned: "
            "UserWarning: printer warns (") in res.stderr
    if "--json" not in args:
        assert "hello from printer" not in res.stdout and "raw bytes" not in res.stdout
        first = {"check": "Plugins, in load order:", "tree": "plugin",
                 "lookup": "ops_printer.hooks.Printer"}[args[0]]
        assert res.stdout.splitlines()[0] == first
        return
    data = json.loads(res.stdout)  # nothing but the document
    if args[0] == "check":
        (source,) = data["plugins"]
        assert source["output"] == "hello from printer\n"
        assert source["warnings"][0].startswith("UserWarning: printer warns (")
    elif "P60" in args:
        assert res.returncode == 1
        assert data["error"] == "platform (P60) has to be in lowercase" and data["refused"]


def test_check_lists_a_misspelt_group(tmp_path):
    info = tmp_path / "ops_lost-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: ops-lost\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[mirvak.plugin]\nlost = ops_lost\n"
                                           "[Mirvak_Plugins]\nfound = ops_lost\n"
                                           "[mirvak.plugins.extra]\nother = ops_lost\n")
    res = run_cli("check", "--no-builtin", "--strict", pythonpath=tmp_path)
    lines = res.stdout.splitlines()
    at = lines.index("Entry-point groups that look like a misspelling of mirvak.plugins "
                     "(never loaded):")
    assert lines[at + 1:at + 3] == [
        f"  {group} in ops-lost 1.0: {entry} = ops_lost; hint: rename the group to mirvak.plugins"
        for group, entry in (("mirvak.plugin", "lost"), ("Mirvak_Plugins", "found"))]
    assert res.returncode == 1 and "2 misspelt groups" in lines[-1]


ON_FAILURE = """
import json, mirvak
from importlib.metadata import version
from mirvak.health import discovery_report
seen = []
report = discovery_report(builtin=False, on_failure=lambda s, e: seen.append((s, e)))
(source, error), = seen
print(json.dumps([source.name, repr(error), error is source.error.exception,
                  "exception" in json.dumps(source.to_json()),
                  mirvak.__version__ == version("mirvak")]))
"""


def test_on_failure_gets_the_exception_itself(sites):
    out = run_python(ON_FAILURE, path=path(sites, "ops-broken", "ops-alpha")).stdout
    # The JSON names the exception's class ("exception"), never holds the object itself.
    assert json.loads(out) == ["broken", "ValueError(7)", True, True, True]


def run_on_pty(args, env, until, then=None, timeout=60):
    """Runs ``python -m mirvak ARGS`` with a pseudo-terminal as its standard output and error;
    once its output contains `until`, calls then(process).  Returns (output, exit status)."""
    master, slave = pty.openpty()
    environment = {k: v for k, v in os.environ.items() if not k.startswith("MIRVAK_")}
    environment.update(env)
    process = subprocess.Popen([sys.executable, "-m", "mirvak", *args], stdin=subprocess.DEVNULL,
                               stdout=slave, stderr=slave, env=environment,
                               cwd=os.path.join(REPO, "tests"))
    os.close(slave)
    output, deadline, fired = b"", time.monotonic() + timeout, False
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the child closed its side
                    break
                if not chunk:
                    break
                output += chunk
            if not fired and until.encode() in output:
                fired = True
                if then is not None:
                    then(process)
        return output.decode(), process.wait(timeout=max(1, deadline - time.monotonic()))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)


SLOW = "entry point slow = ops_slow.hooks (ops-slow 1.0)"


@pytest.mark.parametrize("command", ["check", "tree"])
def test_progress_on_a_terminal(sites, tmp_path, command):
    release = tmp_path / "release"
    env = {"PYTHONPATH": path(sites, "ops-alpha", "ops-slow"), "OPS_RELEASE": str(release),
           "MIRVAK_PROGRESS_DELAY": "0", "MIRVAK_SLOW_SECONDS": "0"}
    # check shows each source as it finishes; tree a progress line while the slow one runs.
    until = "ops-alpha 1.0)" if command == "check" else "importing " + SLOW
    output, status = run_on_pty([command, "--no-builtin"], env, until,
                                lambda process: release.touch())
    assert status == 0, output
    lines = output.replace("\r\n", "\n").split("\n")
    if command == "check":
        assert lines[1].startswith("  ok               entry point alpha = ops_alpha.hooks")
        assert lines[1].endswith("ms  (slow)")  # a threshold of 0 marks every source
        assert lines[-3].startswith("discovery took ")
    else:
        assert "\r\x1b[Kdiscovering plugins: 1 done, importing " + SLOW in output
        # The line is cleared before the note, which names the sources over the threshold.
        assert "\r\x1b[Knote: slow plugin sources: entry point alpha" in output


def test_ctrl_c_names_the_source_being_imported(sites, tmp_path):
    env = {"PYTHONPATH": path(sites, "ops-slow"), "OPS_RELEASE": str(tmp_path / "never"),
           "MIRVAK_PROGRESS_DELAY": "0", "OPS_ANNOUNCE": "1"}
    # The signal comes once the plugin is waiting: CPython itself may lose a KeyboardInterrupt
    # raised in the middle of the import machinery's own C code (a debug build aborts there).
    output, status = run_on_pty(["tree", "--no-builtin"], env, "ops-slow waits",
                                lambda process: process.send_signal(signal.SIGINT))
    assert status == 130, output
    assert "importing " + SLOW in output
    assert output.replace("\r\n", "\n").endswith("\ninterrupted while importing " + SLOW + "\n")
    assert "Traceback" not in output


def test_lookup_says_when_the_device_is_left_to_a_disabled_plugin(sites):
    res = run_cli("lookup", "--os", "linux", "--platform", "p61", "--disable", "ops-alpha",
                  pythonpath=path(sites, "ops-alpha", "ops-printer"))
    assert res.returncode == 0
    assert [line for line in res.stderr.splitlines() if line.startswith("note: ")] == [
        "note: no p61 under linux (did you mean p1 or p60?); answered from linux; --explain says "
        "why",
        "note: entry point alpha = ops_alpha.hooks (ops-alpha 1.0) is disabled, so not loaded; "
        "its module names p61"]
