// Initialisation entry, module definition and module body.
#include "pluginmanager.hpp"

#include <cstdio>

#include "cpython/compat.hpp"
#include "cpython/free_threading.hpp"
#include "cpython/handled_exception.hpp"
#include "host/host.hpp"
#include "support/lifetime.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"

// The interpreter version the module is built for; a build may name another one to exercise the
// mismatch warning.
#ifndef MIRVAK_BUILT_FOR_MAJOR
#define MIRVAK_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef MIRVAK_BUILT_FOR_MINOR
#define MIRVAK_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace mirvak {
namespace {

constexpr const char kModuleDoc[] =
    "\n"
    "Module:\n"
    "    mirvak.core.pluginmanager\n"
    "\n"
    "Description:\n"
    "    This module provides\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n";

// One module object per runtime of the process, and the interpreter that first created it.
// The interpreter's own dictionary keeps the module alive until the runtime is finalised; when
// the module is freed then, everything it remembered goes with it.
PyObject* g_module = nullptr;  // borrowed from the interpreter dictionary, from exec on
int64_t g_interpreter = -1;    // forgotten only when the runtime ends
bool g_exit_hook = false;

constexpr const char kKeepAliveKey[] = "mirvak.core.pluginmanager";

void forget_interpreter() {
  g_interpreter = -1;
  g_exit_hook = false;
}

bool check_interpreter() {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return false;
  if (g_interpreter == -1) {
    g_interpreter = current;
    g_exit_hook = g_exit_hook || Py_AtExit(forget_interpreter) == 0;
  } else if (current != g_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
  }
  return true;
}

// Makes the interpreter's dictionary hold the module (or let it go).
bool keep_alive(PyObject* module) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter dictionary");
    return false;
  }
  if (module != nullptr) return PyDict_SetItemString(dict, kKeepAliveKey, module) == 0;
  if (PyDict_DelItemString(dict, kKeepAliveKey) == 0) return true;
  PyErr_Clear();
  return false;
}

// The module is freed when the interpreter that made it ends (with the runtime, for the main
// interpreter).  The interpreter it belonged to stays remembered until the runtime ends.
void free_module(void* module) noexcept {
  if (module != g_module || g_module == nullptr) return;
  g_module = nullptr;
  support::release_module_state();
}

// Copies one attribute of the spec onto the module, as the import system would.
bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                         bool allow_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (!allow_none && value.get() == Py_None) return true;
  return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  if (!check_interpreter()) return nullptr;
  if (g_module != nullptr) return Py_NewRef(g_module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
  if (!module || !copy_spec_attribute(spec, module.get(), "loader", "__loader__", true) ||
      !copy_spec_attribute(spec, module.get(), "origin", "__file__", true) ||
      !copy_spec_attribute(spec, module.get(), "parent", "__package__", true) ||
      !copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", false))
    return nullptr;
  return module.release();
}

bool warn_on_version_mismatch() {
  const char* running = Py_GetVersion();
  int major = 0, minor = 0;
  if (sscanf(running, "%d.%d", &major, &minor) != 2) return true;
  if (major == MIRVAK_BUILT_FOR_MAJOR && minor == MIRVAK_BUILT_FOR_MINOR) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                          "version %d.%d",
                          MIRVAK_BUILT_FOR_MAJOR, MIRVAK_BUILT_FOR_MINOR, kModuleName,
                          "does not match", major, minor) == 0;
}

// `import a` binds the module `a`.
bool run_import(PyObject* globals, const char* module) {
  Ref imported;
  return host::import_module(globals, module, &imported) &&
         PyDict_SetItemString(globals, module, imported.get()) == 0;
}

// `from module import a, b` binds a, then b.
bool run_from_import(PyObject* globals, const char* module, int level,
                     std::initializer_list<const char*> attributes) {
  Ref values[2];  // the body imports at most two names at once
  if (!host::import_from(globals, module, level, attributes, values)) return false;
  int i = 0;
  for (const char* attribute : attributes) {
    if (PyDict_SetItemString(globals, attribute, values[i++].get()) < 0) return false;
  }
  return true;
}

bool run_body(PyObject* globals) {
  Ref group = Ref::steal(PyUnicode_FromString("mirvak.plugins"));
  return run_import(globals, "os") && run_import(globals, "pkgutil") &&
         run_import(globals, "importlib") && run_from_import(globals, "mirvak", 0, {"log"}) &&
         run_from_import(globals, "mirvak.plugins", 0, {"supported_chassis", "supported_os"}) &&
         run_from_import(globals, "inspect", 0, {"getfile"}) && host::remember_getfile() &&
         run_from_import(globals, "errors", 1, {"ConnectionInfraError"}) &&
         run_from_import(globals, "importlib.metadata", 0, {"entry_points"}) && group &&
         PyDict_SetItemString(globals, "ENTRYPOINT_GROUP", group.get()) == 0 &&
         assemble_class(globals);
}

int exec_module(PyObject* module) noexcept {
  if (g_module != nullptr) {
    if (g_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'pluginmanager' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  if (!keep_alive(module)) return -1;
  g_module = module;
  PyObject* globals = PyModule_GetDict(module);
  host::bind_globals(globals);
  // What the calls share is made last, once the class and its functions are.
  if (names::init() && warn_on_version_mismatch() && run_body(globals) &&
      support::make_module_state())
    return 0;
  host::bind_globals(nullptr);
  g_module = nullptr;
  cpython::PendingError error;
  keep_alive(nullptr);  // may free the module: it is no longer ours by now
  error.restore();
  return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    MIRVAK_GIL_NOT_USED_SLOT{0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "pluginmanager", kModuleDoc, 0, nullptr, g_slots, nullptr, nullptr,
    free_module,
};

}  // namespace
}  // namespace mirvak

PyMODINIT_FUNC PyInit_pluginmanager(void) {
  return PyModuleDef_Init(&mirvak::g_definition);
}
