"""Call cycles, the caller's exception state, a runtime initialised again, and where debug
records say they come from."""
import logging
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import mirvak
import mirvak.core.pluginmanager as pmod
from conftest import run_python
from mirvak.core.pluginmanager import PluginManager

# Each registry operation, re-entered with an operating system as its one argument: through
# the instance `m`, and as what a class attribute would hold.
REENTER = {
    "get_plugin": ("m.get_plugin", "PluginManager.get_plugin"),
    "register_plugin": ("functools.partial(m.register_plugin, ConnectionInfraError)",
                        "functools.partialmethod(PluginManager.register_plugin, "
                        "ConnectionInfraError)"),
    "unregister_plugin": ("m.unregister_plugin", "PluginManager.unregister_plugin"),
    "validate_arguments": (
        "functools.partial(m.validate_arguments, platform=None, model=None, chassis_type=None)",
        "functools.partialmethod(PluginManager.validate_arguments, platform=None, model=None, "
        "chassis_type=None)"),
}
# The ways a method of the registry can end up calling another without a Python frame between.
ROUTES = {
    "instance attribute": "m = PluginManager()\nm.validate_os = {target}",
    "subclass attribute": "class Sub(PluginManager):\n    validate_os = {unbound}\nm = Sub()",
    "override in Python": (
        "class Sub(PluginManager):\n"
        "    def validate_os(self, os):\n"
        "        m = self\n"
        "        return ({target})(os)\n"
        "m = Sub()"),
    "logger": "m = PluginManager()\npmod.log = types.SimpleNamespace(debug={target})",
}


@pytest.mark.parametrize("operation", list(REENTER))
@pytest.mark.parametrize("route", list(ROUTES))
def test_call_cycles_end_in_recursion_error(route, operation):
    target, unbound = REENTER[operation]
    setup = ROUTES[route].format(target=target, unbound=unbound)
    result = run_python(f"""
import functools, types
import mirvak.core.pluginmanager as pmod
from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import PluginManager
{setup}
try:
    {target}("plan9")
except RecursionError:
    print("RecursionError")
pmod.log = __import__("mirvak").log
assert PluginManager().validate_arguments("linux", "p1", "m1", None) is None
""")
    assert result.stdout.split() == ["RecursionError"]


def fallbacks(monkeypatch, tmp_path, failing):
    """Each discovery or drawing step that runs an except block: name -> call."""
    def no_keywords():
        if failing:
            return object()  # has no get(): the fall-back fails
        return {}

    bare = type(sys)("mirvak.plugins")
    bare.__file__ = str(tmp_path / "__init__.py")
    if failing:
        del bare.__file__
    return {
        "external discovery": lambda: (monkeypatch.setattr(pmod, "entry_points", no_keywords),
                                       PluginManager.discover_external_plugins()),
        "built-in discovery": lambda: (monkeypatch.setitem(sys.modules, "mirvak.plugins", bare),
                                       PluginManager.discover_builtin_plugins()),
        "drawing mixed keys": lambda: PluginManager().print_tree(
            {1: 1, "a": 2, **({type("NoText", (), {"__str__": None})(): 3} if failing else {})}),
    }


@pytest.mark.parametrize("step", ["external discovery", "built-in discovery", "drawing mixed keys"])
def test_except_blocks_leave_the_callers_exception_state(monkeypatch, tmp_path, step):
    call = fallbacks(monkeypatch, tmp_path, failing=False)[step]

    def generator():
        call()
        yield
        yield sys.exc_info()[1]
        try:
            raise ValueError("later")
        except ValueError as error:
            yield error.__context__

    running = generator()
    try:
        raise KeyError("outer")
    except KeyError:
        next(running)
    assert list(running) == [None, None]
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("step, caught", [("external discovery", TypeError),
                                          ("built-in discovery", ImportError),
                                          ("drawing mixed keys", TypeError)])
def test_a_failing_fallback_has_the_caught_exception_as_context(monkeypatch, tmp_path, step,
                                                                 caught):
    with pytest.raises(Exception) as failure:
        fallbacks(monkeypatch, tmp_path, failing=True)[step]()
    assert type(failure.value.__context__) is caught
    assert sys.exc_info() == (None, None, None)


EMBED = r"""
#include <Python.h>
#include <stdio.h>
int main(int argc, char** argv) {
  for (int round = 0; round < 3; ++round) {
    Py_Initialize();
    int failed = PyRun_SimpleString(argv[1]);
    if (Py_FinalizeEx() < 0) failed = 1;
    printf("round %d %s\n", round, failed ? "failed" : "ok");
    fflush(stdout);
  }
  return 0;
}
"""


@pytest.fixture(scope="module")
def embedding_program(tmp_path_factory):
    """A program that initialises, uses and finalises the interpreter three times over."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    # The running interpreter's own build (python3.11d-config for a debug one): the extension
    # under test is built for its ABI, which a release runtime would not import.
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    config = os.path.join(sysconfig.get_config_var("BINDIR") or "", f"python{version}-config")
    if compiler is None or not os.path.exists(config):
        pytest.skip("no C compiler or no python-config to embed the interpreter with")
    folder = tmp_path_factory.mktemp("embed")
    (folder / "embed.c").write_text(EMBED)
    flags = subprocess.run([config, "--cflags", "--embed", "--ldflags"], capture_output=True,
                           text=True, check=True).stdout.split()
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run([compiler, "-o", str(folder / "embed"), str(folder / "embed.c"), *flags,
                    f"-Wl,-rpath,{libdir}"], check=True, capture_output=True)
    # The package beside the program, its compiled module included: an editable install keeps
    # the sources in src/ and the module in site-packages, joined by a .pth file that the
    # embedded interpreter, outside the virtual environment, never runs.
    package = folder / "site" / "mirvak"
    shutil.copytree(os.path.dirname(mirvak.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(pmod.__file__, package / "core" / os.path.basename(pmod.__file__))
    return str(folder / "embed")


def rounds(program, code):
    environment = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(program), "site"))
    result = subprocess.run([program, code], capture_output=True, text=True, env=environment,
                            timeout=120)
    return result.stdout.split("\n")[:3], result.stdout + result.stderr


def test_module_works_again_after_the_runtime_is_initialised_again(embedding_program):
    # Some interpreters cannot import the standard library's C modules a second time (3.12.1's
    # _datetime, which importlib.metadata needs, crashes): nothing to test there.
    if rounds(embedding_program, "import importlib.metadata")[0][1:] != ["round 1 ok",
                                                                         "round 2 ok"]:
        pytest.skip("this interpreter cannot import importlib.metadata after a restart")
    code = textwrap.dedent("""
        import mirvak.core.pluginmanager as module
        from mirvak.core.errors import ConnectionInfraError as Plugin
        manager = module.PluginManager()
        manager.register_plugin(Plugin, "linux")
        manager.register_plugin(Plugin, "linux")
        assert manager.get_plugin("linux", "p9") is Plugin
        assert repr(manager).startswith("plugins (<class 'mirvak.core.pluginmanager.")
        """)
    lines, output = rounds(embedding_program, code)
    assert lines == ["round 0 ok", "round 1 ok", "round 2 ok"], output


def test_debug_records_name_the_module_or_the_caller(debug_log):
    PluginManager().validate_os("plan9")
    record, = debug_log
    from mirvak.health import _walk
    if sys.version_info[:2] == (3, 11) or (
            sys.version_info < (3, 12) and not _walk.companion().fast_paths):
        # Calls from Python code run the method's one-line frame there (and in the public build
        # before 3.12, which cannot take over a function's calls).
        assert (record.module, record.funcName) == ("pluginmanager", "validate_os")
    else:
        assert (record.module, record.funcName) == (
            "test_lifecycle", "test_debug_records_name_the_module_or_the_caller")
    logging.Formatter("%(module)s %(funcName)s %(lineno)d").format(record)
