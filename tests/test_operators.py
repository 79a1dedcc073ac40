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
    # Its author lists zz first: it loads first, and aa wins.
    "ops-pair": ([("zz", "ops_pair.first"), ("aa", "ops_pair.second")],
                 {"ops_pair/__init__.py": "", "ops_pair/first.py": plugin("First", "p63"),
                  "ops_pair/second.py": plugin("Second", "p63")}),
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
    # The two distributions on the path in both orders: from 3.10 the answer does not follow
    # the listing.
    for names in (["ops-alpha", "Ops_Zulu"], ["Ops_Zulu", "ops-alpha"]):
        if sys.version_info < (3, 10) and not args and not env:  # no distribution: the listing
            winner = "Zulu" if names[-1] == "Ops_Zulu" else "Alpha"
            decided = "listing order: entry point %s is listed after %s" % (
                ("a-zulu", "alpha") if winner == "Zulu" else ("alpha", "a-zulu"))
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


def test_one_distribution_keeps_its_entry_points_order(sites):
    check = json.loads(run_cli("check", "--json", "--no-builtin",
                               pythonpath=path(sites, "ops-pair")).stdout)
    assert [p["name"] for p in check["plugins"]] == ["zz", "aa"]
    where = " in ops-pair" if sys.version_info >= (3, 10) else ""
    assert [(c["winner"]["cls"], c["decided_by"]) for c in check["conflicts"]] == [
        ("ops_pair.second.Second", "listing order: entry point aa is listed after zz" + where)]


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
    # A shell starts background jobs with SIGINT ignored (CI runs its suites so), and an ignored
    # signal stays ignored across exec: the command gets Ctrl-C as a terminal's user sends it.
    process = subprocess.Popen([sys.executable, "-m", "mirvak", *args], stdin=subprocess.DEVNULL,
                               stdout=slave, stderr=slave, env=environment,
                               cwd=os.path.join(REPO, "tests"),
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
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


# ---- broken installations, hidden answers, stops and limits ----------------------------------


def write_distribution(root, name, entry_points, files, metadata=None):
    """A distribution installed by hand under root: its files {path: text}, its
    entry_points.txt (text or bytes), METADATA (bytes, or the usual text) and RECORD."""
    stem = name.replace("-", "_")
    info = root / f"{stem}-1.0.dist-info"
    info.mkdir(parents=True)
    for relative, text in files.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_text(text)
    for file, content in (("entry_points.txt", entry_points), ("METADATA", metadata or
                          f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")):
        (info / file).write_bytes(content if isinstance(content, bytes) else content.encode())
    (info / "RECORD").write_text("".join(f"{path},,\n" for path in [*files, info.name + "/RECORD"]))
    return root


CRACKED_FILES = {"ops_cracked/__init__.py": "", "ops_cracked/hooks.py": plugin("Cracked", "p65")}
GOOD_POINTS = "[mirvak.plugins]\ncracked = ops_cracked.hooks\n"
CRACKS = {  # what is wrong: (entry_points.txt, METADATA, file at fault, name it is known by)
    "line without =": ("[mirvak.plugins]\ncracked\n", None, "entry_points.txt", "ops-cracked"),
    "latin-1 entry points": ("[mirvak.plugins]\n# d\xe9j\xe0 vu\ncracked = ops_cracked.hooks\n"
                             .encode("latin-1"), None, "entry_points.txt", "ops-cracked"),
    "latin-1 metadata": (GOOD_POINTS, "Metadata-Version: 2.1\nName: ops-cracked\nVersion: 1.0\n"
                         "Author: Zo\xeb\n".encode("latin-1"), "METADATA", "ops_cracked"),
}


@pytest.mark.parametrize("crack", CRACKS)
def test_one_unreadable_distribution_hides_nothing_else(sites, tmp_path, crack):
    points, metadata, file, known_as = CRACKS[crack]
    write_distribution(tmp_path, "ops-cracked", points, CRACKED_FILES, metadata)
    pythonpath = os.pathsep.join([str(tmp_path), path(sites, "ops-alpha")])
    res = run_cli("check", "--json", "--no-builtin", pythonpath=pythonpath)
    assert res.returncode == 1, res.stderr
    cracked, alpha = json.loads(res.stdout)["plugins"]
    assert (cracked["status"], cracked["name"], alpha["status"]) == ("failed", known_as, "ok")
    assert cracked["unreadable_file"] == str(tmp_path / "ops_cracked-1.0.dist-info" / file)
    assert cracked["hint"].startswith(f"its {file} ({cracked['unreadable_file']}) cannot be "
                                      "read, an installation fault: reinstall it")
    assert cracked["hint"].endswith(f"skip it: --disable {known_as}")
    # Disabled by its name, it is listed as such and nothing fails.
    res = run_cli("check", "--json", "--no-builtin", "--disable", "ops-cracked",
                  pythonpath=pythonpath)
    report = json.loads(res.stdout)
    assert res.returncode == 0 and report["unused_disabled"] == []
    assert [p["status"] for p in report["plugins"]] == ["disabled", "ok"]
    # What the text says, and a lookup that its plugin would have answered.
    res = run_cli("lookup", "--os", "linux", "--platform", "p65", pythonpath=pythonpath)
    assert res.returncode == 0 and res.stdout.startswith("mirvak.plugins.generic.connection.")
    assert (f"warning: plugin distribution {known_as} 1.0 ({file}) cannot be read: "
            in res.stderr)
    assert res.stderr.splitlines()[-1] == (f"note: distribution {known_as} 1.0 ({file}) could not "
                                           "be read; its files name p65")


HIDERS = {  # a broken source whose module names the platform looked up, and the note on it
    "failed": ({"ops_boom/__init__.py": "", "ops_boom/hooks.py": plugin(
        "Boom", "p66", "raise RuntimeError('boom')\n")}, "[mirvak.plugins]\nboom = ops_boom.hooks\n",
        "entry point boom = ops_boom.hooks (ops-boom 1.0) failed to load; its module names p66"),
    "misspelt group": ({"ops_boom/__init__.py": "", "ops_boom/hooks.py": plugin("Boom", "p66")},
                       "[mirvak.plugin]\nboom = ops_boom.hooks\n",
                       "boom = ops_boom.hooks in ops-boom 1.0 sits in the misspelt group "
                       "mirvak.plugin, so never loads; its module names p66"),
}


@pytest.mark.parametrize("hider", HIDERS)
def test_no_fall_back_hides_a_broken_plugin(tmp_path, hider):
    files, points, note = HIDERS[hider]
    write_distribution(tmp_path, "ops-boom", points, files)
    args = ["lookup", "--os", "linux", "--platform", "p66"]
    res = run_cli(*args, pythonpath=tmp_path)
    assert (res.returncode, res.stdout.split("\n")[0]) == (
        0, "mirvak.plugins.generic.connection.GenericConnection")
    assert res.stderr.splitlines()[-1] == "note: " + note
    res = run_cli(*args, "--strict", pythonpath=tmp_path)
    assert (res.returncode, res.stdout) == (1, "")
    if hider != "failed":  # a failed plugin is an error under --strict anyway
        assert res.stderr.splitlines()[-1] == (
            "error: the answer fell back past a broken plugin source: " + note)


@pytest.mark.parametrize("command", [["tree"], ["check"], ["lookup", "--os", "linux"],
                                     ["check", "--json"]])
def test_a_closed_pipe_ends_the_command_quietly(sites, command):
    env = dict(os.environ, PYTHONPATH=path(sites, "ops-printer", "ops-alpha"))
    process = subprocess.Popen([sys.executable, "-m", "mirvak", *command], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env, cwd=os.path.join(REPO, "tests"))
    process.stdout.close()  # the reader is gone before anything is written
    error = process.stderr.read().decode()
    assert process.wait(timeout=60) == 141
    assert "Traceback" not in error and "fail" not in error and "Error" not in error


# The limit leaves the quick plugin ample time, even on a busy machine.
@pytest.mark.parametrize("limit", [["--timeout", "2"], {"MIRVAK_IMPORT_TIMEOUT": "2"}])
def test_a_hanging_plugin_times_out_and_is_told_while_it_runs(sites, tmp_path, limit):
    args, env = (limit, {}) if isinstance(limit, list) else ([], limit)
    # Never released, the plugin would wait a minute.
    env.update(MIRVAK_SLOW_SECONDS="0.2", OPS_RELEASE=str(tmp_path / "never"))
    res = run_cli("check", "--no-builtin", *args, pythonpath=path(sites, "ops-slow", "ops-alpha"),
                  env=env)
    assert res.returncode == 1
    lines = res.stdout.splitlines()
    at = lines.index(next(line for line in lines if "entry point slow" in line))
    assert lines[at].startswith("  failed           " + SLOW)
    assert lines[at + 1:at + 3] == [
        " " * 19 + "ImportTimeout: timed out after 2 s",
        " " * 19 + "hint: its import did not finish in time (a loop, or a wait for something "
        "that never comes): fix it, or allow more time with --timeout; or skip it: --disable slow"]
    assert any(line.startswith("  ok               entry point alpha") for line in lines)
    # One line for the slow source; a busy machine may make another source pass the threshold.
    notes = res.stderr.splitlines()
    assert notes.count("note: still importing %s after 0.2 s" % SLOW) == 1
    assert all(note.startswith("note: still importing ") and note.endswith(" after 0.2 s")
               for note in notes), notes


@pytest.mark.parametrize("args, env, disabled, unused", [
    (["--disable", "mirvak.plugins.bsd"], {}, ["mirvak.plugins.bsd"], []),
    (["--disable", "mirvak.plugins.generic.connection,alpha"], {},
     ["mirvak.plugins.generic.connection", "alpha"], []),
    ([], {"MIRVAK_DISABLE_PLUGINS": "mirvak.plugins.lab.stack"}, ["mirvak.plugins.lab.stack"], []),
    (["--no-external", "--disable", "alpha, nobody"], {}, [], ["alpha", "nobody"]),
])
def test_disabling_built_in_modules_and_lists_of_names(sites, args, env, disabled, unused):
    res = run_cli("check", "--json", *args, pythonpath=path(sites, "ops-alpha"), env=env)
    report = json.loads(res.stdout)
    off = [p for p in report["plugins"] if p["status"] == "disabled"]
    assert [p["name"] for p in off] == disabled and report["unused_disabled"] == unused
    loaded = {p["module"] for p in report["plugins"] if p["status"] == "ok"}
    # Nothing in a disabled package was imported, not even by the walk.
    assert not [m for m in loaded for name in disabled if m == name or m.startswith(name + ".")]
    if unused:
        res = run_cli("tree", *args, pythonpath=path(sites, "ops-alpha"), env=env)
        assert res.stderr.splitlines()[-len(unused):] == [
            f"warning: disabled name {name} matches no entry point" for name in unused]


STOPS = """
import sys
from unittest import mock
import mirvak.cli as cli
def interrupt(*args, **kwargs):
    raise KeyboardInterrupt
with mock.patch.object({target}, interrupt):
    status = cli.main({argv})
sys.stdout.write("%d\\n" % status)
"""


@pytest.mark.parametrize("target, argv", [
    ("cli, 'build_parser'", ["tree"]),                                     # reading the arguments
    ("cli, '_setup_logging'", ["tree"]),
    ("cli, '_import_timeout'", ["check"]),                                 # before discovery
    ("cli.argparse.ArgumentParser, 'parse_args'", ["--help"]),
    ("cli, '_registry_is_empty'", ["tree"]),                               # after discovery
    ("cli, '_explained'", ["lookup", "--os", "linux"]),
])
def test_ctrl_c_at_any_moment_is_one_line_and_130(target, argv):
    res = run_python(STOPS.format(target=target, argv=argv), check=False)
    assert (res.stdout.splitlines()[-1:], res.stderr) == (["130"], "interrupted\n")


HEAVY = """
import sys
before = set(sys.modules)  # an editable install's import hook may bring some at start-up
from mirvak.cli import main
try:
    main([{flag!r}])
except SystemExit:
    pass
print(sorted(m for m in set(sys.modules) - before if m == "importlib.metadata"
             or m.startswith("mirvak.plugins") or m == "mirvak.core.pluginmanager"))
"""


@pytest.mark.parametrize("flag", ["--help", "--version"])
def test_help_and_version_stay_light(flag):
    res = run_python(HEAVY.format(flag=flag))
    assert res.stdout.splitlines()[-1] == "[]"
    if flag == "--version":
        assert res.stdout.splitlines()[0] == "mirvak " + __import__("mirvak").__version__


FAULTS = {  # a plugin's fault that lies in its installed files, and what the hint says
    "permission": ("raise PermissionError(13, 'Permission denied', __file__)\n",
                   "{dir}/hooks.py cannot be read (permission denied), an installation fault: fix "
                   "its permissions or pip install --force-reinstall ops-fault"),
    "undecodable": ("b'\\xe9t\\xe9'.decode('utf-8')\n",
                    "a file of ops-fault cannot be decoded (invalid continuation byte), an "
                    "installation fault: pip install --force-reinstall ops-fault"),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_hints_tell_installation_faults_from_plugin_faults(tmp_path, fault):
    code, hint = FAULTS[fault]
    write_distribution(tmp_path, "ops-fault", "[mirvak.plugins]\nfault = ops_fault.hooks\n",
                       {"ops_fault/__init__.py": "", "ops_fault/hooks.py": code})
    (source,) = json.loads(run_cli("check", "--json", "--no-builtin", pythonpath=tmp_path)
                           .stdout)["plugins"]
    assert source["hint"] == hint.format(dir=tmp_path / "ops_fault") + "; or skip it: --disable fault"
