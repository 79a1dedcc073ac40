// A guard for the C stack of recursive drawing, whatever the interpreter's recursion limit.
#pragma once

#include <Python.h>

namespace mirvak::render {

// True with RecursionError set when the next drawing level could run out of C stack.
bool stack_exhausted() noexcept;

}  // namespace mirvak::render
