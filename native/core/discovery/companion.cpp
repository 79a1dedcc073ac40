// mirvak.core._pluginwalk: the built-in walk and its test-module filter, for the health report,
// and a fast listing of a tree's records.
//
// A second module in the registry's shared object, with no state of its own: it works on the
// registry module's globals, so the report walks with the very `os`, `pkgutil` and `importlib`
// that PluginManager.discover_builtin_plugins uses.  Python loads it from the registry's file
// after importing mirvak.core.pluginmanager.
#include "cpython/config.hpp"
#include "cpython/free_threading.hpp"
#include "discovery/discovery.hpp"
#include "host/host.hpp"

namespace mirvak::discovery {
namespace {

constexpr const char kRegistryModule[] = "mirvak.core.pluginmanager";
constexpr const char kNotLoaded[] =
    "mirvak.core._pluginwalk works on the globals of mirvak.core.pluginmanager, which has not "
    "been imported in this interpreter: import it first";

constexpr const char kModuleDoc[] =
    "Private: the built-in plugin walk of mirvak.core.pluginmanager and its test-module "
    "filter.";
constexpr const char kWalkDoc[] =
    "walk_builtin_plugins(import_module, onerror=None)\n--\n\n"
    "Walk the built-in plugins package as PluginManager.discover_builtin_plugins does, calling\n"
    "import_module(name) for each module that passes the test-module filter.  onerror, when\n"
    "given, is handed to pkgutil.walk_packages.  Exceptions propagate.";
constexpr const char kFilterDoc[] =
    "is_plugin_module(name)\n--\n\n"
    "True when the built-in walk imports the module of that dotted name (it is no test "
    "module).";

constexpr const char kRecordsDoc[] =
    "records(tree, previous)\n--\n\n"
    "(records, changed): records maps (place, chassis_type) to every plugin record of a\n"
    "registry tree, a place being the tuple of identifiers leading to the node that holds\n"
    "the record; changed lists the keys whose record is not the very object that previous\n"
    "(an earlier listing) holds.";

// The registry module of this interpreter has run: its globals are the ones bound, and the
// interned names exist.
bool registry_loaded() {
  Ref registry_name = Ref::steal(PyUnicode_FromString(kRegistryModule));
  Ref module = registry_name ? Ref::steal(PyImport_GetModule(registry_name.get())) : Ref();
  if (PyErr_Occurred()) return false;
  if (module && PyModule_Check(module.get()) && host::globals() != nullptr &&
      PyModule_GetDict(module.get()) == host::globals())
    return true;
  PyErr_SetString(PyExc_ImportError, kNotLoaded);
  return false;
}

PyObject* walk(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"import_module", "onerror", nullptr};
  PyObject* importer = nullptr;
  PyObject* onerror = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:walk_builtin_plugins",
                                   const_cast<char**>(keywords), &importer, &onerror))
    return nullptr;
  if (!PyCallable_Check(importer) || (onerror != Py_None && !PyCallable_Check(onerror))) {
    PyErr_SetString(PyExc_TypeError, "import_module and onerror must be callable");
    return nullptr;
  }
  if (host::globals() == nullptr) {  // the registry module's execution was undone since
    PyErr_SetString(PyExc_RuntimeError, kNotLoaded);
    return nullptr;
  }
  if (!walk_builtin_plugins(importer, onerror == Py_None ? nullptr : onerror)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* filter(PyObject*, PyObject* module_name) noexcept {
  const int wanted = is_plugin_module(module_name);
  return wanted < 0 ? nullptr : PyBool_FromLong(wanted);
}

PyObject* records(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
  if (count != 2) {
    PyErr_Format(PyExc_TypeError, "records() takes 2 arguments (%zd given)", count);
    return nullptr;
  }
  return tree_records(args[0], args[1]);
}

// `fast_paths`: whether the registry was built with the interpreter shortcuts.
int exec_companion(PyObject* module) noexcept {
  if (!registry_loaded()) return -1;
  return PyModule_AddIntConstant(module, "fast_paths", cpython::kFastPaths ? 1 : 0);
}

PyMethodDef g_functions[] = {
    {"walk_builtin_plugins", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk)),
     METH_VARARGS | METH_KEYWORDS, kWalkDoc},
    {"is_plugin_module", filter, METH_O, kFilterDoc},
    {"records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(records)), METH_FASTCALL,
     kRecordsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_companion)},
    MIRVAK_GIL_NOT_USED_SLOT{0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_pluginwalk",
    kModuleDoc,
    0,
    g_functions,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace mirvak::discovery

PyMODINIT_FUNC PyInit__pluginwalk(void) {
  return PyModuleDef_Init(&mirvak::discovery::g_definition);
}
