"""Shared fixtures: a fresh interpreter around a host package of the test's own making."""
import importlib.util
import logging
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

EXTENSION = importlib.util.find_spec("mirvak.core.pluginmanager").origin
ISOLATED_SITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "isolated_site")

# The smallest host package the registry module can be imported into.
HOST_FILES = {
    "mirvak/__init__.py": "import logging\nlog = logging.getLogger('mirvak')\n",
    "mirvak/core/__init__.py": "",
    "mirvak/core/errors.py": "class ConnectionInfraError(Exception):\n    pass\n",
    "mirvak/plugins/__init__.py": (
        "supported_os = ['linux', 'freebsd']\n"
        "supported_chassis = ['single_rp', 'dual_rp', 'stack']\n"
    ),
}


def write_tree(root, files):
    """Writes {relative path: text} under root; a text of None leaves the file out."""
    for relative, text in files.items():
        if text is None:
            continue
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as handle:
            handle.write(textwrap.dedent(text))


@pytest.fixture
def host_package(tmp_path):
    """Builds a host package around the built extension: host_package(**overrides) -> root.

    Overrides map relative paths to file texts (None removes a file of the default host)."""

    def build(files=None):
        tree = dict(HOST_FILES)
        tree.update(files or {})
        write_tree(tmp_path, tree)
        core = tmp_path / "mirvak" / "core"
        core.mkdir(parents=True, exist_ok=True)
        shutil.copy(EXTENSION, core / os.path.basename(EXTENSION))
        return tmp_path

    return build


def run_python(code, path=None, check=True, env=None):
    """Runs code in a fresh interpreter (path first on sys.path); returns the completed process."""
    environment = dict(os.environ)
    environment.pop("PYTHONPATH", None)
    if path is not None:
        environment["PYTHONPATH"] = str(path)
        # A host package there is the mirvak to import, under an editable install too.
        if any(os.path.isdir(os.path.join(entry, "mirvak")) for entry in str(path).split(os.pathsep)):
            environment["PYTHONPATH"] += os.pathsep + ISOLATED_SITE
    environment.update(env or {})
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result


@pytest.fixture
def debug_log():
    """The records of the "mirvak" logger, DEBUG included, while the test runs."""
    logger = logging.getLogger("mirvak")
    records, level = [], logger.level
    handler = logging.Handler(logging.DEBUG)
    handler.emit = records.append
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield records
    logger.removeHandler(handler)
    logger.setLevel(level)


@pytest.fixture
def pm():
    from mirvak.core.pluginmanager import PluginManager

    return PluginManager()


@pytest.fixture(params=["subclass", "instance", "class"])
def overridden(request, monkeypatch):
    """overridden(name=function, ...) -> a manager whose methods of those names call the given
    functions (without self), set on a subclass, on the instance or on the class itself."""
    from mirvak.core.pluginmanager import PluginManager

    def build(**functions):
        methods = {name: (lambda f: lambda self, *args, **kwargs: f(*args, **kwargs))(function)
                   for name, function in functions.items()}
        if request.param == "subclass":
            return type("Sub", (PluginManager,), methods)()
        if request.param == "class":
            for name, method in methods.items():
                monkeypatch.setattr(PluginManager, name, method)
        manager = PluginManager()
        if request.param == "instance":
            vars(manager).update(functions)
        return manager

    return build
