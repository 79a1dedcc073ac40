// What newer CPython headers offer and 3.9 lacks.
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
