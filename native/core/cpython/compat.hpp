// Public functions of newer CPython headers, for the versions that lack them: the same
// behaviour on the public API of the older ones.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}
static inline PyObject* Py_XNewRef(PyObject* obj) {
  Py_XINCREF(obj);
  return obj;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// 1 with *result a new reference, 0 when absent (*result null), -1 with an exception set.
static inline int PyDict_GetItemRef(PyObject* mp, PyObject* key, PyObject** result) {
  PyObject* item = PyDict_GetItemWithError(mp, key);
  *result = item;
  if (item != NULL) {
    Py_INCREF(item);
    return 1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// 0 when `default_value` was inserted, 1 when the key was there (*result its value), -1 with an
// exception set.  (A present value that is `default_value` itself counts as inserted.)
static inline int PyDict_SetDefaultRef(PyObject* mp, PyObject* key, PyObject* default_value,
                                       PyObject** result) {
  PyObject* value = PyDict_SetDefault(mp, key, default_value);
  *result = value;
  if (value == NULL) return -1;
  Py_INCREF(value);
  return value == default_value ? 0 : 1;
}

// A new reference to the list's item, or NULL with IndexError set.
static inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
  PyObject* item = PyList_GetItem(list, index);
  Py_XINCREF(item);
  return item;
}
#endif

namespace mirvak::cpython {

// Code objects know their qualified name (co_qualname) from 3.11.
inline constexpr bool kCodeHasQualname = PY_VERSION_HEX >= 0x030B0000;

}  // namespace mirvak::cpython
