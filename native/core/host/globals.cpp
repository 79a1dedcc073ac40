// Module globals, looked up at each use so that a rebound global takes effect at the next call.
#include "cpython/compat.hpp"
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
    PyObject* found;
    const int status = PyDict_GetItemRef(dict.get(), key, &found);
    if (status != 0) return Ref::steal(found);  // the value, or nullptr with an exception set
  }
  Ref builtins = Ref::borrow(PyEval_GetBuiltins());
  if (builtins) {
    PyObject* found;
    const int status = PyDict_GetItemRef(builtins.get(), key, &found);
    if (status != 0) return Ref::steal(found);
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  return Ref();
}

}  // namespace mirvak::host
