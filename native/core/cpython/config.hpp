// Which implementation of this folder's capabilities is built.
//
// Everything the module needs of CPython beyond its documented C API lives in this folder, one
// capability per header, each with a twin on the public API alone.  MIRVAK_FAST_PATHS (the
// CMake option of that name) selects the fast implementations, verified on CPython 3.9 to 3.15;
// without it every capability is its public twin, and a CPython that the project has not
// verified builds that way by default.
#pragma once

#include <Python.h>

#ifndef MIRVAK_FAST_PATHS
#define MIRVAK_FAST_PATHS 1
#endif

// Free-threaded CPython (Py_GIL_DISABLED) runs calls of one manager on several threads at once:
// every capability says what it does there (verified on 3.13t; a newer one builds the twins).

namespace mirvak::cpython {

inline constexpr bool kFastPaths = MIRVAK_FAST_PATHS != 0;
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

}  // namespace mirvak::cpython
