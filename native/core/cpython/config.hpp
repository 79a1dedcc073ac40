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

namespace mirvak::cpython {

inline constexpr bool kFastPaths = MIRVAK_FAST_PATHS != 0;

}  // namespace mirvak::cpython
