// `cls.__name__` and `cls.__module__` of a class that `type` itself made, read as the metatype's
// data descriptors read them, whatever the class's own attributes say.
//
// Fast: `PyHeapTypeObject.ht_name` and the type's own dictionary, `tp_dict` (3.9 to 3.15: a
// heap type always has one).  Public twin: none (nullptr); callers use attribute access.
// Free-threaded builds take the twin: another thread may rename the class and free the name
// read.
#pragma once

#include "cpython/config.hpp"

namespace mirvak::cpython {

// A class of the plain metatype, made by a class statement or by type(): its name and its
// dictionary may be read directly.
inline bool plain_heap_type(PyObject* cls) noexcept {
  return kFastPaths && !kFreeThreaded && Py_TYPE(cls) == &PyType_Type &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE);
}

// The class's `__name__` (borrowed), for a plain heap type; nullptr otherwise.
inline PyObject* heap_type_name(PyObject* cls) noexcept {
#if MIRVAK_FAST_PATHS
  return plain_heap_type(cls) ? reinterpret_cast<PyHeapTypeObject*>(cls)->ht_name : nullptr;
#else
  (void)cls;
  return nullptr;
#endif
}

// The class's own dictionary (borrowed), for a plain heap type; nullptr otherwise.
inline PyObject* heap_type_dict(PyObject* cls) noexcept {
#if MIRVAK_FAST_PATHS
  return plain_heap_type(cls) ? reinterpret_cast<PyTypeObject*>(cls)->tp_dict : nullptr;
#else
  (void)cls;
  return nullptr;
#endif
}

}  // namespace mirvak::cpython
