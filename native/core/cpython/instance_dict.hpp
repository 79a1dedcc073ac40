// An instance's own dictionary, as generic attribute access finds it.
//
// Fast: `_PyObject_GetDictPtr` (3.9 to 3.15).  From 3.13 it turns an instance's inline values
// into a dictionary the first time, as reading `__dict__` would; no Python code runs.
// Public twin, with the GIL: `PyObject_GenericGetDict`, the `__dict__` that generic attribute
// access reads (made, empty or from inline values, when the instance has none yet), borrowed as
// the instance keeps it.  Without the GIL none (kInstanceDict is false); callers use attribute
// access instead.
// Without the GIL another thread may replace an instance's dictionary and let go of the old one
// at any time: a reader then holds it (`held_instance_dict`), read under the instance's critical
// section, under which the interpreter replaces it (3.13: PyObject_GenericSetDict and
// _PyObject_SetManagedDict), letting go of the old one only after.
#pragma once

#include "cpython/config.hpp"
#include "cpython/free_threading.hpp"

namespace mirvak::cpython {

inline constexpr bool kInstanceDict = kFastPaths || !kFreeThreaded;

// `self.__dict__`, borrowed; nullptr for an instance that has none (yet).  Only while
// kInstanceDict.
inline PyObject* instance_dict(PyObject* self) noexcept {
#if MIRVAK_FAST_PATHS
  PyObject** slot = _PyObject_GetDictPtr(self);
  return slot != nullptr ? *slot : nullptr;
#else
  if (kFreeThreaded || Py_TYPE(self)->tp_dictoffset == 0) return nullptr;
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (dict == nullptr) {
    PyErr_Clear();  // no memory to make it: read as none, as the fast twin's 3.13 reads it
    return nullptr;
  }
  Py_DECREF(dict);
  return dict;
#endif
}

// `self.__dict__`: borrowed with the GIL, held without it; empty for an instance that has none
// (yet).  Only while kInstanceDict.
inline Found held_instance_dict(PyObject* self) noexcept {
#if MIRVAK_FAST_PATHS && defined(Py_GIL_DISABLED)
  PyObject** slot = _PyObject_GetDictPtr(self);  // makes it from inline values, under the section
  if (slot == nullptr) return Found();
  CriticalSection section(self);
  return Found::steal(Py_XNewRef(*slot));
#else
  return Found::steal(instance_dict(self));
#endif
}

}  // namespace mirvak::cpython
