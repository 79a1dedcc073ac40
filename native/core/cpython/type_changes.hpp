// Knowing that a type, and each of its bases, is unchanged since a verdict about it was taken,
// for verdicts that hold no reference (they are only ever compared with).
//
// Fast: the type's stamp (cpython/type_lookup.hpp; 3.11 to 3.15).
// Public twin, from 3.12 with the GIL: a type watcher (`PyType_AddWatcher`).  The interpreter
// calls it before a watched type, or one of its bases, changes, provided the type then holds a
// valid version tag (`PyType_Watch` and `PyUnstable_Type_AssignVersionTag` give it one); and a
// weak reference tells when a type that was given a stamp goes, so that a type made later at the
// same address cannot take its verdicts.  The stamp counts those events: any of them moves every
// stamp on.  Another extension may clear or reuse the watcher: whoever finds a verdict
// contradicted calls distrust_type_watcher(), and no stamps are given from then on.  Before 3.12,
// and without the GIL, no stamps.
#pragma once

#include "cpython/type_lookup.hpp"

namespace mirvak::cpython {

inline constexpr bool kWatchedTypes = !kFastPaths && !kFreeThreaded && PY_VERSION_HEX >= 0x030C0000;
inline constexpr bool kVerdictStamps = kTypeStamps || kWatchedTypes;

bool watched_type_stamp(PyTypeObject* type, unsigned int* stamp) noexcept;

// True with `*stamp` set when verdicts about the type's present state can be kept.  No Python
// code runs.
inline bool verdict_stamp(PyTypeObject* type, unsigned int* stamp) noexcept {
  if constexpr (kWatchedTypes) {
    return watched_type_stamp(type, stamp);
  } else {
    return type_stamp(type, stamp);
  }
}

// A kept verdict was found contradicted: the watcher no longer reports (public twin only).
void distrust_type_watcher() noexcept;

}  // namespace mirvak::cpython
