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
from helpers import REPO
from mirvak.core.pluginmanager import PluginManager

PACKAGE = Path(mirvak.__file__).resolve().parent
EXAMPLE = os.path.join(REPO, "examples", "typing_example.py")


def test_stub_is_installed_and_its_signatures_match_the_module():
    assert (PACKAGE / "py.typed").is_file()
    tree = ast.parse((PACKAGE / "core" / "pluginmanager.pyi").read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PluginManager"]
    funcs = {node.name: (node, [ast.unparse(d) for d in node.decorator_list])
             for node in cls.body if isinstance(node, ast.FunctionDef)
             and "plugins.setter" not in [ast.unparse(d) for d in node.decorator_list]}
    # pickling an instance caches __slotnames__ on the class, as for any class
    assert sorted(funcs) == sorted(set(vars(PluginManager)) - {
        "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__slotnames__"})
    for name, (node, decorators) in funcs.items():
        attr = inspect.getattr_static(PluginManager, name)
        kind = {property: ["property"], staticmethod: ["staticmethod"]}.get(type(attr), [])
        assert decorators == kind, name
        if isinstance(attr, property):
            continue
        args = node.args.args
        stub = [(a.arg, "required") for a in args[:len(args) - len(node.args.defaults)]] + [
            (a.arg, ast.literal_eval(d)) for a, d in zip(args[-len(node.args.defaults):],
                                                          node.args.defaults)]
        params = inspect.signature(getattr(PluginManager, name)).parameters.values()
        assert stub == [(p.name, "required" if p.default is p.empty else p.default)
                        for p in params], name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), name


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
def test_example_passes_mypy_strict_and_misuse_is_rejected(tmp_path):
    # The misuse proves that mypy reads the stub rather than treating the module as Any.
    bad = tmp_path / "bad.py"
    bad.write_text("from mirvak.core.pluginmanager import PluginManager\n"
                   "PluginManager().get_plugin(os=1)\n"
                   "PluginManager().plugins = {}\n")
    res = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                          EXAMPLE, str(bad)], capture_output=True, text=True, timeout=300,
                         cwd=str(tmp_path))
    errors = [line for line in res.stdout.splitlines() if ": error:" in line]
    assert res.returncode == 1 and len(errors) == 2, res.stdout + res.stderr
    assert errors[0].startswith("bad.py:2:") and 'Argument "os" to "get_plugin"' in errors[0]
    assert errors[1].startswith("bad.py:3:") and '"plugins"' in errors[1] and "read-only" in \
        errors[1]


def test_example_runs():
    res = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert lines[:3] == ["shell on router1", "shell on router1", "['freebsd', 'linux']"]
    assert "gone: Plugin data not found for (freebsd), type: dual_rp " in lines
