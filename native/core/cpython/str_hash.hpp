// The hash of an exact str.
//
// Fast: the hash a str keeps once computed (`PyASCIIObject.hash`, -1 until then; 3.9 to 3.15).
// Public twin: `PyObject_Hash`, which computes it once and then returns the kept value.
#pragma once

#include "cpython/config.hpp"

namespace mirvak::cpython {

inline Py_hash_t text_hash(PyObject* text) noexcept {
#if MIRVAK_FAST_PATHS
  const Py_hash_t stored = reinterpret_cast<PyASCIIObject*>(text)->hash;
  if (stored != -1) return stored;
#endif
  return PyObject_Hash(text);  // an exact str: never fails
}

}  // namespace mirvak::cpython
