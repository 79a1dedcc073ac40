"""Import-time behaviour of the registry module, each scenario in a fresh interpreter."""
import json
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import EXTENSION, HOST_FILES, run_python
from helpers import REPO

# Hides the installed package and records the imports that the module body performs, through
# the built-in __import__ that the body's import statements call.
PRELUDE = """
import builtins, importlib, importlib.util, json, os, sys
sys.path[:] = [entry for entry in sys.path if "-packages" not in entry]  # only the test's host
BODY = []
_real_import = builtins.__import__
def _spy(name, globals=None, locals=None, fromlist=(), level=0):
    if globals is not None and str(globals.get("__name__", "")).endswith("pluginmanager"):
        BODY.append([name, list(fromlist or ()), level])
    return _real_import(name, globals, locals, fromlist, level)
builtins.__import__ = _spy
def outcome(code, scope):
    try:
        exec(code, scope)
    except BaseException as error:
        return [type(error).__name__, str(error)]
"""

BODY_IMPORTS = [
    ["os", [], 0], ["pkgutil", [], 0], ["importlib", [], 0], ["mirvak", ["log"], 0],
    ["mirvak.plugins", ["supported_chassis", "supported_os"], 0], ["inspect", ["getfile"], 0],
    ["errors", ["ConnectionInfraError"], 1], ["importlib.metadata", ["entry_points"], 0],
]


def run_json(code, path, env=None):
    result = run_python(PRELUDE + code, path=path, env=env)
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_import_runs_the_body_once_and_later_imports_change_nothing(host_package):
    root = host_package({"mirvak/plugins/alpha.py": "raise RuntimeError('plugin imported')\n"})
    report = run_json("""
import gc
import mirvak.core.pluginmanager as module
cls = module.PluginManager
first_body = list(BODY)
module.log = "rebound by the test"
del sys.modules["mirvak.core.pluginmanager"]
import mirvak.core.pluginmanager as again
reloaded = importlib.reload(module)
print(json.dumps({
    "body": first_body, "later_body": BODY[len(first_body):],
    "same": [again is module, reloaded is module, again.PluginManager is cls,
             reloaded.PluginManager is cls, sys.modules["mirvak.core.pluginmanager"] is module],
    "kept_global": module.log, "instances": sum(type(o) is cls for o in gc.get_objects()),
    "plugins_imported": sorted(n for n in sys.modules if n.startswith("mirvak.plugins.")),
}))
""", root)
    assert report == {"body": BODY_IMPORTS, "later_body": [], "same": [True] * 5,
                      "kept_global": "rebound by the test", "instances": 0,
                      "plugins_imported": []}


PLUGINS_GOOD = HOST_FILES["mirvak/plugins/__init__.py"]
FROM_PLUGINS = "from mirvak.plugins import supported_chassis, supported_os"
FROM_ERRORS = "from .errors import ConnectionInfraError"
FROM_MIRVAK = "from mirvak import log"
WRITE_PLUGINS = (f"os.makedirs(os.path.join(ROOT, 'mirvak/plugins'), exist_ok=True)\n"
                 "open(os.path.join(ROOT, 'mirvak/plugins/__init__.py'), 'w')"
                 f".write({PLUGINS_GOOD!r})\n"
                 "importlib.invalidate_caches()\n")
WRITE_ERRORS = ("open(os.path.join(ROOT, 'mirvak/core/errors.py'), 'w').write("
                f"{HOST_FILES['mirvak/core/errors.py']!r})\nimportlib.invalidate_caches()\n")
SET_LOG = "import logging; sys.modules['mirvak'].log = logging.getLogger('mirvak')\n"

# id: (host overrides, statement whose failure the import must reproduce, failing body step,
#      repair, exact text where it is pinned)
FAILURES = {
    "plugins package missing": ({"mirvak/plugins/__init__.py": None}, FROM_PLUGINS, 5,
                                WRITE_PLUGINS, "No module named 'mirvak.plugins'"),
    "errors module missing": ({"mirvak/core/errors.py": None}, FROM_ERRORS, 7, WRITE_ERRORS, None),
    "mirvak without log": ({"mirvak/__init__.py": "name = 'mirvak'\n"}, FROM_MIRVAK, 4, SET_LOG,
                           None),
    "mirvak as a namespace package": (
        {"mirvak/__init__.py": None}, FROM_MIRVAK, 4, SET_LOG,
        "cannot import name 'log' from 'mirvak' (unknown location)"),
    "plugins without supported_os": (
        {"mirvak/plugins/__init__.py": "supported_chassis = ['single_rp']\n"}, FROM_PLUGINS, 5,
        "sys.modules['mirvak.plugins'].supported_os = ['linux']\n", None),
    "errors without the class": (
        {"mirvak/core/errors.py": "class OtherError(Exception):\n    pass\n"}, FROM_ERRORS, 7,
        "sys.modules['mirvak.core.errors'].ConnectionInfraError = KeyError\n", None),
    "plugins package raising": (
        {"mirvak/plugins/__init__.py": "raise ValueError('broken plugins package')\n"},
        FROM_PLUGINS, 5, WRITE_PLUGINS, None),
    "log access raising": (
        {"mirvak/__init__.py": "def __getattr__(name):\n    raise LookupError(name)\n"},
        FROM_MIRVAK, 4, SET_LOG, None),
}


@pytest.mark.parametrize("files, statement, step, repair, text", list(FAILURES.values()),
                         ids=list(FAILURES))
def test_failed_import_propagates_and_a_later_attempt_runs_the_whole_body(
        host_package, files, statement, step, repair, text):
    root = host_package(files)
    report = run_json(f"""
ROOT = {str(root)!r}
first = outcome("import mirvak.core.pluginmanager", {{}})
registered = "mirvak.core.pluginmanager" in sys.modules
failed_body = list(BODY)
statement = outcome({statement!r}, {{"__name__": "mirvak.core.x", "__package__": "mirvak.core"}})
{repair}
import mirvak.core.pluginmanager as module
print(json.dumps({{
    "first": first, "statement": statement, "registered": registered,
    "failed_body": failed_body, "second_body": BODY[len(failed_body):],
    "error_class":
        module.ConnectionInfraError is sys.modules["mirvak.core.errors"].ConnectionInfraError,
    "attributes": list(vars(module.PluginManager())),
}}))
""", root)
    assert report["first"] is not None and report["first"] == report["statement"]
    assert text is None or report["first"][1] == text
    assert not report["registered"]
    assert report["failed_body"] == BODY_IMPORTS[:step]
    assert report["second_body"] == BODY_IMPORTS
    assert report["error_class"]
    assert report["attributes"] == ["_plugins", "chassis_type_list", "supported_os"]


def test_relative_import_follows_the_containing_package(host_package):
    root = host_package({"other/__init__.py": "", "other/core/__init__.py": "",
                         "other/core/errors.py": HOST_FILES["mirvak/core/errors.py"]})
    shutil.copy(EXTENSION, root / "other" / "core" / os.path.basename(EXTENSION))
    report = run_json("""
import other.core.errors
import other.core.pluginmanager as module
print(json.dumps({
    "error_class": module.ConnectionInfraError is other.core.errors.ConnectionInfraError,
    "host_errors_loaded": "mirvak.core.errors" in sys.modules,
    "names": [module.__name__, module.__package__, module.PluginManager.__module__],
    "body": BODY,
}))
""", root)
    assert report == {
        "error_class": True, "host_errors_loaded": False,
        "names": ["other.core.pluginmanager", "other.core", "mirvak.core.pluginmanager"],
        "body": BODY_IMPORTS,
    }


def test_top_level_module_fails_the_relative_import(host_package):
    root = host_package()
    shutil.copy(EXTENSION, root / os.path.basename(EXTENSION))
    report = run_json("""
got = outcome("import pluginmanager", {})
expected = outcome(
    "from .errors import ConnectionInfraError", {"__name__": "pluginmanager", "__package__": ""})
print(json.dumps([got, expected, "pluginmanager" in sys.modules]))
""", root)
    text = ["ImportError", "attempted relative import with no known parent package"]
    assert report == [text, text, False]


SUBINTERPRETER = """
def run_in_subinterpreter(code):
    # A sub-interpreter that shares the main one's configuration, as Py_NewInterpreter makes
    # it; the isolated kind of 3.12+ refuses the module before its own check runs.
    try:
        import _testcapi
    except ImportError:
        pass
    else:
        assert _testcapi.run_in_subinterp(code) == 0
        return True
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            api = importlib.import_module(name)
        except ImportError:
            continue
        interpreter = api.create()
        try:
            api.run_string(interpreter, code)
        finally:
            api.destroy(interpreter)
        return True
    return False
"""

SUB_CODE = """
import json, sys
try:
    import mirvak.core.pluginmanager as module
    result = ["ok", repr(module.PluginManager().plugins)]
except BaseException as error:
    result = [type(error).__name__, str(error)]
with open(%r, "w") as handle:
    json.dump(result, handle)
"""
REFUSED = ["ImportError", "Interpreter change detected - this module can only be loaded into "
                          "one interpreter per process."]


@pytest.mark.parametrize("scenario, before, sub, after", [
    ("main first", None, REFUSED, None),
    ("after a failed main import", "ModuleNotFoundError", REFUSED, None),
    ("sub first", None, ["ok", "{}"], REFUSED),
])
def test_second_interpreter_is_refused(host_package, tmp_path, scenario, before, sub, after):
    root = host_package({"mirvak/plugins/__init__.py": None} if before else {})
    out = tmp_path / "sub.json"
    report = run_json(SUBINTERPRETER + f"""
ROOT = {str(root)!r}
before = outcome("import mirvak.core.pluginmanager", {{}}) if {scenario!r} != "sub first" else None
if not run_in_subinterpreter({SUB_CODE % str(out)!r}):
    print(json.dumps("no sub-interpreters"))
    raise SystemExit
{WRITE_PLUGINS}
print(json.dumps([before and before[0], outcome("import mirvak.core.pluginmanager", {{}})]))
""", root)
    if report == "no sub-interpreters":
        pytest.skip("this interpreter offers no sub-interpreter API")
    assert [report, json.loads(out.read_text())] == [[before, after], sub]


@pytest.mark.parametrize("create, run", [
    ("importlib.util.module_from_spec(spec)", "spec.loader.exec_module"),
    ("_imp.create_dynamic(spec)", "_imp.exec_dynamic"),
])
def test_executing_a_second_module_object_is_refused(host_package, create, run):
    report = run_json(f"""
import _imp
spec = importlib.util.find_spec("mirvak.core.pluginmanager")
first, second = {create}, {create}
distinct = first is not second
{run}(first)
cls = first.PluginManager
refused = outcome("{run}(second)", dict(globals()))
again = outcome("{run}(first)", dict(globals()))
import mirvak.core.pluginmanager as imported
print(json.dumps({{
    "distinct": distinct, "refused": refused, "again": again,
    "imported_is_first": imported is first and imported.PluginManager is cls,
    "second_untouched": "PluginManager" not in vars(second), "body_runs": BODY.count(BODY[0]),
}}))
""", host_package())
    assert report == {
        "distinct": True,
        "refused": ["RuntimeError", "Module 'pluginmanager' has already been imported. "
                                    "Re-initialisation is not supported."],
        "again": None, "imported_is_first": True, "second_untouched": True, "body_runs": 1,
    }


@pytest.fixture(scope="session")
def mismatched_extension(tmp_path_factory):
    """The extension built with a stated build version of 3.0, straight through CMake."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not available")
    build = tmp_path_factory.mktemp("mismatch-build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    configure = [cmake, "-S", REPO, "-B", str(build), *generator, "-DCMAKE_BUILD_TYPE=Release",
                 "-DCMAKE_CXX_FLAGS=-DMIRVAK_BUILT_FOR_MINOR=0",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    for command in (configure, [cmake, "--build", str(build), "-j", "4"]):
        result = subprocess.run(command, capture_output=True, text=True, timeout=900)
        assert result.returncode == 0, result.stdout + result.stderr
    return build / ("pluginmanager" + sysconfig.get_config_var("EXT_SUFFIX"))


@pytest.mark.parametrize("filter_", [None, "error::RuntimeWarning"])
def test_version_mismatch_warning(host_package, mismatched_extension, filter_):
    root = host_package()
    shutil.copy(mismatched_extension, root / "mirvak" / "core" / mismatched_extension.name)
    report = run_json("""
import warnings
with warnings.catch_warnings(record=True) as caught:
    if not sys.warnoptions:
        warnings.simplefilter("always")
    failure = outcome("import mirvak.core.pluginmanager", {})
print(json.dumps({
    "failure": failure, "warnings": [[w.category.__name__, str(w.message)] for w in caught],
    "loaded": "mirvak.core.pluginmanager" in sys.modules, "body": BODY,
}))
""", root, env={"PYTHONWARNINGS": filter_} if filter_ else {})
    text = ("compile time Python version 3.0 of module 'mirvak.core.pluginmanager' does not "
            f"match runtime version {sys.version_info[0]}.{sys.version_info[1]}")
    if filter_ is None:
        assert report == {"failure": None, "warnings": [["RuntimeWarning", text]],
                          "loaded": True, "body": BODY_IMPORTS}
    else:
        assert report == {"failure": ["RuntimeWarning", text], "warnings": [],
                          "loaded": False, "body": []}
