// What a type holds under a name through its MRO, found without running Python code, and a
// stamp that tells whether the answer may have changed since.
//
// Fast: `_PyType_Lookup` (3.9 to 3.15: a borrowed reference or nullptr, never an exception; the
// MRO's dictionaries are read as attribute access reads them).  `tp_version_tag` changes with
// every change of the type or a base; from 3.11 a tag is never handed out twice, valid while
// Py_TPFLAGS_VALID_VERSION_TAG is set (3.11) or while non-zero (3.12 to 3.15).  3.9 and 3.10
// hand tags out again after sys._clear_type_cache(), so there a type has no stamp.
// Free-threaded: `_PyType_LookupRef` (3.13), the same lookup returning a strong reference (the
// type cache is thread-safe there), and the tag read atomically.
// Public twin, with the GIL: the same walk of `tp_mro`, reading each class's own dictionary
// (`tp_dict`; `PyType_GetDict` from 3.12, where static built-in types keep theirs elsewhere), an
// error cleared as the interpreter's lookup clears it.  The answer is borrowed from a dictionary
// its class keeps.  No stamps.  Without the GIL (where another thread may replace `tp_mro`) no
// such lookup (kTypeLookup is false); callers use attribute access instead.  `object`'s own
// dictionary cannot change (a built-in type refuses attribute assignment), so what it lacks is
// read once per name.
#pragma once

#include "cpython/compat.hpp"
#include "cpython/config.hpp"
#include "cpython/free_threading.hpp"

namespace mirvak::cpython {

inline constexpr bool kTypeLookup = kFastPaths || !kFreeThreaded;
inline constexpr bool kTypeStamps = kFastPaths && PY_VERSION_HEX >= 0x030B0000;
// Whether a lookup comes from the interpreter's method cache, cheap enough for every call; the
// public twin reads the dictionaries each time, so a type is better judged once an operation.
inline constexpr bool kTypeLookupCached = kFastPaths;

// The public twin's walk (borrowed, or nullptr), for a name the module holds.  With the GIL only.
PyObject* walk_mro(PyTypeObject* type, PyObject* name) noexcept;

// Empty when the type holds nothing of that name.  Only while kTypeLookup.
inline Found type_lookup(PyTypeObject* type, PyObject* name) noexcept {
#if MIRVAK_FAST_PATHS && defined(Py_GIL_DISABLED)
  return Found::steal(_PyType_LookupRef(type, name));
#elif MIRVAK_FAST_PATHS
  return Found::steal(_PyType_Lookup(type, name));
#else
  return Found::steal(walk_mro(type, name));
#endif
}

// True with `*stamp` set when the type's present state has a stamp.
inline bool type_stamp(PyTypeObject* type, unsigned int* stamp) noexcept {
#if MIRVAK_FAST_PATHS && defined(Py_GIL_DISABLED)
  *stamp = __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
  return *stamp != 0;
#elif MIRVAK_FAST_PATHS && PY_VERSION_HEX >= 0x030C0000
  *stamp = type->tp_version_tag;
  return *stamp != 0;
#elif MIRVAK_FAST_PATHS && PY_VERSION_HEX >= 0x030B0000
  *stamp = type->tp_version_tag;
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#else
  (void)type, (void)stamp;
  return false;
#endif
}

}  // namespace mirvak::cpython
