"""Helpers shared by the test modules: connection classes, their records, error texts,
installed distributions and the pure-Python reference."""
import base64
import hashlib
import importlib.util
import inspect
import os
import re
import subprocess
import sys
import zipfile

import pytest

from mirvak.core.errors import ConnectionInfraError

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class A:
    pass


class B:
    pass


class C:
    pass


def rec(cls):
    return {"cls": cls, "path": inspect.getfile(cls)}


def not_found(path, chassis_type="single_rp"):
    return f"Plugin data not found for ({path}), type: {chassis_type} "


def outcome(call, *args, **kwargs):
    """None when the call returns None; else the text of the ConnectionInfraError it raises."""
    try:
        result = call(*args, **kwargs)
    except ConnectionInfraError as error:
        assert type(error) is ConnectionInfraError and len(error.args) == 1
        return error.args[0]
    assert result is None
    return None


def raises(error, call, *args, **kwargs):
    """The exception of the given type that call raises."""
    with pytest.raises(error) as caught:
        call(*args, **kwargs)
    return caught.value


def message_of(statement):
    """The text of the error the interpreter itself raises for statement (run on plain
    objects): its wording changes between versions, so tests compare with this, not a literal."""
    try:
        exec(statement, {})
    except Exception as error:  # noqa: BLE001 - any error's text is what is asked for
        return str(error)
    raise AssertionError(f"{statement!r} raised nothing")


def dist_files(name, groups, metadata_name=None):
    """Files of an installed distribution advertising {group: [(entry name, value), ...]}, its
    folder named as installers name it; METADATA gives `metadata_name` when told."""
    lines = []
    for group, entries in groups.items():
        lines += [f"[{group}]"] + [f"{entry} = {value}" for entry, value in entries]
    info = re.sub(r"[^\w.]+", "_", name) + "-1.0.dist-info/"
    return {info + "METADATA": f"Metadata-Version: 2.1\nName: {metadata_name or name}\n"
                               "Version: 1.0\n",
            info + "entry_points.txt": "\n".join(lines) + "\n"}


def build_wheel(directory, name, entry_points, files):
    """Builds the wheel of distribution `name` 1.0 into directory: its package files
    {path: text} and its entry points [(name, value), ...] in group mirvak.plugins."""
    stem = name.replace("-", "_")
    info = f"{stem}-1.0.dist-info/"
    contents = dict(files)
    contents[info + "METADATA"] = f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n"
    contents[info + "WHEEL"] = ("Wheel-Version: 1.0\nGenerator: mirvak-tests\n"
                                "Root-Is-Purelib: true\nTag: py3-none-any\n")
    contents[info + "entry_points.txt"] = "[mirvak.plugins]\n" + "".join(
        f"{entry} = {value}\n" for entry, value in entry_points)
    record = []
    for path, text in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=")
        record.append(f"{path},sha256={digest.decode()},{len(text.encode())}")
    contents[info + "RECORD"] = "\n".join(record + [info + "RECORD,,"]) + "\n"
    wheel = os.path.join(str(directory), f"{stem}-1.0-py3-none-any.whl")
    with zipfile.ZipFile(wheel, "w") as archive:
        for path, text in contents.items():
            archive.writestr(path, text)
    return wheel


def pip_install(target, *requirements):
    """Installs with pip, without dependencies, into the directory target."""
    res = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps",
                          "--target", str(target), *map(str, requirements)],
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stderr
    return target


def run_cli(*args, pythonpath=None, env=None):
    """``python -m mirvak ARGS`` in a fresh interpreter, pythonpath first on its path; the
    environment has no MIRVAK_DISABLE_PLUGINS unless env sets it."""
    environment = dict(os.environ)
    environment.pop("MIRVAK_DISABLE_PLUGINS", None)
    if pythonpath:
        environment["PYTHONPATH"] = os.pathsep.join(
            [str(pythonpath)]
            + ([environment["PYTHONPATH"]] if environment.get("PYTHONPATH") else []))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-m", "mirvak", *args], capture_output=True,
                          text=True, env=environment, cwd=os.path.join(REPO, "tests"),
                          timeout=120)


# Subprocess prelude: every message of the "mirvak" logger, DEBUG included, lands in `records`.
KEEP_RECORDS = """\
import logging
records = []
logging.getLogger("mirvak").setLevel(logging.DEBUG)
logging.getLogger("mirvak").addHandler(type("Keep", (logging.Handler,), {
    "emit": lambda self, record: records.append(record.getMessage())})())
"""


# The sample built-in plugins: (module under mirvak.plugins, class, registration).
SAMPLES = [
    ("generic.connection", "GenericConnection", dict(os="linux")),
    ("generic.connection", "GenericP1Connection", dict(os="linux", platform="p1")),
    ("generic.connection", "GenericM1Connection", dict(os="linux", platform="p1", model="m1")),
    ("generic.connection", "GenericEdgeConnection", dict(os="linux", os_flavor="edge")),
    ("bsd.freebsd", "FreebsdConnection", dict(os="freebsd")),
    ("bsd.freebsd", "FreebsdDualConnection", dict(os="freebsd", chassis_type="dual_rp")),
    ("bsd.openbsd", "OpenbsdP2Connection", dict(os="openbsd", platform="p2")),
    ("lab.stack", "LabStackConnection", dict(os="illumos", chassis_type="stack")),
    ("lab.testsuite", "LabBenchConnection", dict(os="netbsd", platform="p3", model="m7")),
]


def load_reference():
    """The pure-Python reference registry under benchmarks/reference."""
    path = os.path.join(REPO, "benchmarks", "reference", "pluginmanager.py")
    spec = importlib.util.spec_from_file_location("reference_pluginmanager", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
