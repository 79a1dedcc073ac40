// Built-in plugin discovery: import every module of the built-in plugins package, at any
// depth, except test modules.  The one walk and filter, also behind the companion module.
#include "cpython/handled_exception.hpp"
#include "discovery/discovery.hpp"
#include "host/host.hpp"

namespace mirvak::discovery {
namespace {

constexpr const char kPluginsPackage[] = "mirvak.plugins";

// `from mirvak.plugins import __path__ as plugins_path, __name__ as mirvak_name`, falling back
// on ImportError to `[os.path.dirname(__file__)]`.
bool locate_package(Ref* plugins_path, Ref* package_name) {
  Ref values[2];
  if (host::import_from(host::globals(), kPluginsPackage, 0, {"__path__", "__name__"}, values)) {
    *plugins_path = std::move(values[0]);
    *package_name = std::move(values[1]);
    return true;
  }
  *plugins_path = cpython::on_exception(PyExc_ImportError, [&]() -> Ref {
    Ref found[2];
    if (!host::import_from(host::globals(), kPluginsPackage, 0, {"__file__", "__name__"}, found))
      return Ref();
    *package_name = std::move(found[1]);
    Ref os = host::global(Name::os);
    Ref os_path = os ? Ref::steal(PyObject_GetAttr(os.get(), name(Name::path))) : Ref();
    Ref directory = os_path ? Ref::steal(PyObject_CallMethodOneArg(
                                  os_path.get(), name(Name::dirname), found[0].get()))
                            : Ref();
    Ref directories = directory ? Ref::steal(PyList_New(1)) : Ref();
    if (directories) PyList_SET_ITEM(directories.get(), 0, directory.release());
    return directories;
  });
  return static_cast<bool>(*plugins_path);
}

// `for _finder, name, _ispkg in ...`: the middle one of exactly three values.
Ref unpack_name(PyObject* entry) {
  Ref iterator = Ref::steal(PyObject_GetIter(entry));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(entry)->tp_iter == nullptr &&
        !PySequence_Check(entry)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(entry)->tp_name);
    }
    return Ref();
  }
  Ref values[3];
  for (int i = 0; i < 3; ++i) {
    values[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (!values[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
      return Ref();
    }
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
  if (PyErr_Occurred()) return Ref();
  return std::move(values[1]);
}

// `importlib.import_module(name)` through the current global, or the caller's importer.
// CAUTION: runs arbitrary Python code.
bool import_plugin(PyObject* importer, PyObject* module_name) {
  if (importer != nullptr)
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(importer, module_name)));
  Ref importlib = host::global(Name::importlib);
  Ref module = importlib ? Ref::steal(PyObject_CallMethodOneArg(
                               importlib.get(), name(Name::import_module), module_name))
                         : Ref();
  return static_cast<bool>(module);
}

// `pkgutil.walk_packages(plugins_path, mirvak_name + ".")`, evaluated in that order, with
// `onerror=onerror` added only when there is one.
Ref walk_packages(PyObject* plugins_path, PyObject* package_name, PyObject* onerror) {
  Ref pkgutil = host::global(Name::pkgutil);
  Ref walker =
      pkgutil ? Ref::steal(PyObject_GetAttr(pkgutil.get(), name(Name::walk_packages))) : Ref();
  Ref dot = walker ? Ref::steal(PyUnicode_FromString(".")) : Ref();
  Ref prefix = dot ? Ref::steal(PyNumber_Add(package_name, dot.get())) : Ref();
  if (!prefix) return Ref();
  PyObject* args[] = {plugins_path, prefix.get(), onerror};
  if (onerror == nullptr) return Ref::steal(PyObject_Vectorcall(walker.get(), args, 2, nullptr));
  Ref keyword = Ref::steal(PyUnicode_InternFromString("onerror"));
  Ref kwnames = keyword ? Ref::steal(PyTuple_Pack(1, keyword.get())) : Ref();
  return kwnames ? Ref::steal(PyObject_Vectorcall(walker.get(), args, 2, kwnames.get())) : Ref();
}

bool walk(PyObject* plugins_path, PyObject* package_name, PyObject* importer, PyObject* onerror) {
  Ref entries = walk_packages(plugins_path, package_name, onerror);
  Ref iterator = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref();
  if (!iterator) return false;
  while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref module_name = unpack_name(entry.get());
    int wanted = module_name ? is_plugin_module(module_name.get()) : -1;
    if (wanted < 0 || (wanted && !import_plugin(importer, module_name.get()))) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

int is_plugin_module(PyObject* module_name) noexcept {
  int found = PySequence_Contains(module_name, name(Name::plugins_part));
  if (found <= 0) return found;
  found = PySequence_Contains(module_name, name(Name::tests_part));
  if (found != 0) return found < 0 ? -1 : 0;
  Ref ends =
      Ref::steal(PyObject_CallMethodOneArg(module_name, name(Name::endswith), name(Name::tests)));
  const int ending = ends ? PyObject_IsTrue(ends.get()) : -1;
  return ending < 0 ? -1 : !ending;
}

bool walk_builtin_plugins(PyObject* importer, PyObject* onerror) noexcept {
  Ref plugins_path, package_name;
  return locate_package(&plugins_path, &package_name) &&
         walk(plugins_path.get(), package_name.get(), importer, onerror);
}

PyObject* discover_builtin_plugins() noexcept {
  if (!walk_builtin_plugins(nullptr, nullptr)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace mirvak::discovery
