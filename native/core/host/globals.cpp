// Module globals, looked up at each use so that a rebound global takes effect at the next call.
#include "host/host.hpp"
#include "support/lifetime.hpp"

namespace mirvak::host {
namespace {
support::Retained g_globals;
}

void bind_globals(PyObject* module_dict) noexcept {
  Py_XINCREF(module_dict);
  g_globals.reset(module_dict);
}

PyObject* globals() noexcept {
  return g_globals.get();
}

Ref global(PyObject* key) noexcept {
  if (g_globals) {
    Ref dict = Ref::borrow(g_globals.get());  // a lookup may compare keys: keep the namespace alive
    if (PyObject* found = PyDict_GetItemWithError(dict.get(), key)) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
  }
  Ref builtins = Ref::borrow(PyEval_GetBuiltins());
  if (builtins) {
    if (PyObject* found = PyDict_GetItemWithError(builtins.get(), key)) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  return Ref();
}

}  // namespace mirvak::host
