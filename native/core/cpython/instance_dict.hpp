// An instance's own dictionary, as generic attribute access finds it.
//
// Fast: `_PyObject_GetDictPtr` (3.9 to 3.15).  From 3.13 it turns an instance's inline values
// into a dictionary the first time, as reading `__dict__` would; no Python code runs.
// Public twin: none (kInstanceDict is false); callers use attribute access instead.
#pragma once

#include "cpython/config.hpp"

namespace mirvak::cpython {

inline constexpr bool kInstanceDict = kFastPaths;

// `self.__dict__`, borrowed; nullptr for an instance that has none (yet).  Only while
// kInstanceDict.
inline PyObject* instance_dict(PyObject* self) noexcept {
#if MIRVAK_FAST_PATHS
  PyObject** slot = _PyObject_GetDictPtr(self);
  return slot != nullptr ? *slot : nullptr;
#else
  (void)self;
  return nullptr;
#endif
}

}  // namespace mirvak::cpython
