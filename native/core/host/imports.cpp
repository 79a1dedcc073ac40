// The import statements of the module body and of discovery, as the interpreter runs them:
// through the built-in `__import__`, with the from-import's fall-back to an already imported
// submodule and its ImportError for a missing name.
#include "cpython/compat.hpp"
#include "host/host.hpp"

namespace mirvak::host {
namespace {

// `__import__(name, globals, None, fromlist, level)`
Ref call_import(PyObject* globals, const char* module, PyObject* fromlist, int level) {
  Ref importer = global(Name::dunder_import);
  Ref name = Ref::steal(PyUnicode_FromString(module));
  Ref level_number = Ref::steal(PyLong_FromLong(level));
  if (!importer || !name || !level_number) return Ref();
  PyObject* args[] = {name.get(), globals ? globals : Py_None, Py_None, fromlist,
                      level_number.get()};
  return Ref::steal(PyObject_Vectorcall(importer.get(), args, 5, nullptr));
}

PyObject* raise_cannot_import(PyObject* module, PyObject* package, PyObject* attribute) {
  Ref file = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module) : nullptr);
  PyErr_Clear();
  PyObject* shown = package ? package : Py_None;
  Ref message =
      Ref::steal(file ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", attribute, shown,
                                             file.get())
                      : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                             attribute, shown));
  if (message) PyErr_SetImportError(message.get(), package, file.get());
  return nullptr;
}

// One name of a from-import.
Ref import_from(PyObject* module, PyObject* attribute) {
  Ref value = Ref::steal(PyObject_GetAttr(module, attribute));
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  Ref package = Ref::steal(PyObject_GetAttr(module, name(Name::dunder_name)));
  if (package && PyUnicode_Check(package.get())) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), attribute));
    if (!full) return Ref();
    if (PyObject* found = PyImport_GetModule(full.get())) return Ref::steal(found);
    if (PyErr_Occurred()) return Ref();
  }
  PyErr_Clear();
  raise_cannot_import(module, package && PyUnicode_Check(package.get()) ? package.get() : nullptr,
                      attribute);
  return Ref();
}

}  // namespace

bool import_module(PyObject* globals, const char* module, Ref* result) noexcept {
  *result = call_import(globals, module, Py_None, 0);
  return static_cast<bool>(*result);
}

bool import_from(PyObject* globals, const char* module, int level,
                 std::initializer_list<const char*> attributes, Ref* values) noexcept {
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(attributes.size())));
  if (!fromlist) return false;
  Py_ssize_t i = 0;
  for (const char* attribute : attributes) {
    PyObject* text = PyUnicode_InternFromString(attribute);
    if (text == nullptr) return false;
    PyTuple_SET_ITEM(fromlist.get(), i++, text);
  }
  Ref imported = call_import(globals, module, fromlist.get(), level);
  if (!imported) return false;
  for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
    values[i] = import_from(imported.get(), PyTuple_GET_ITEM(fromlist.get(), i));
    if (!values[i]) return false;
  }
  return true;
}

}  // namespace mirvak::host
