"""The type stub of the compiled registry against the module itself, and
the typed example under mypy --strict."""
import ast
import importlib.util
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import mirvak
from mirvak.core.pluginmanager import PluginManager

REPO = Path(__file__).resolve().parents[1]
PACKAGE = Path(mirvak.__file__).resolve().parent
STUB = PACKAGE / "core" / "pluginmanager.pyi"
REQUIRED = "<no default>"


def stub_class():
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PluginManager"]
    return cls


def test_stub_and_marker_are_installed():
    assert (PACKAGE / "py.typed").is_file()
    assert STUB.is_file()


def test_stub_signatures_match_the_module():
    funcs = {}
    for node in stub_class().body:
        if isinstance(node, ast.FunctionDef):
            decorators = [ast.unparse(d) for d in node.decorator_list]
            if "plugins.setter" not in decorators:
                funcs[node.name] = (node, decorators)
    # pickling an instance caches __slotnames__ on the class, as for any class
    runtime = [k for k in vars(PluginManager)
               if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                            "__weakref__", "__slotnames__")]
    assert sorted(funcs) == sorted(runtime)
    for name, (node, decorators) in funcs.items():
        attr = inspect.getattr_static(PluginManager, name)
        if isinstance(attr, property):
            assert decorators == ["property"]
            continue
        if isinstance(attr, staticmethod):
            assert decorators == ["staticmethod"]
        else:
            assert decorators == []
        args = node.args
        stub_names = [a.arg for a in args.args]
        stub_defaults = [REQUIRED] * (len(args.args) - len(args.defaults)) + [
            ast.literal_eval(d) for d in args.defaults]
        params = list(inspect.signature(getattr(PluginManager, name)).parameters.values())
        assert stub_names == [p.name for p in params], name
        assert stub_defaults == [REQUIRED if p.default is p.empty else p.default
                                 for p in params], name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), name


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
def test_example_passes_mypy_strict():
    res = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                          str(REPO / "examples" / "typing_example.py")],
                         capture_output=True, text=True, timeout=300, cwd=str(REPO / "tests"))
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
def test_mypy_rejects_misuse_of_the_stub(tmp_path):
    # Proves mypy reads the stub rather than treating the module as Any.
    bad = tmp_path / "bad.py"
    bad.write_text("from mirvak.core.pluginmanager import PluginManager\n"
                   "PluginManager().get_plugin(os=1)\n")
    res = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                          str(bad)], capture_output=True, text=True, timeout=300,
                         cwd=str(tmp_path))
    assert res.returncode == 1
    assert 'Argument "os" to "get_plugin"' in res.stdout


def test_example_runs():
    res = subprocess.run([sys.executable, str(REPO / "examples" / "typing_example.py")],
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert lines[:3] == ["shell on router1", "shell on router1", "['freebsd', 'linux']"]
    assert "gone: Plugin data not found for (freebsd), type: dual_rp " in lines
