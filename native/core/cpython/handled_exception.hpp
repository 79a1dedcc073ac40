// `try: <attempt> except SomeError: <fallback>` as the interpreter runs it.
//
// An except block makes the caught exception the one being handled at the current level of the
// thread's exception stack (the level of the running frame, or of a generator or coroutine that
// runs it) and puts back what that level held when the block ends.  So while the fall-back
// runs, `sys.exc_info()` shows the caught exception and an exception it raises gets the caught
// one as its context; afterwards the caller's state is exactly as it was.
//
// Fast: the current level itself, `tstate->exc_info` (3.9 to 3.15; `exc_value` alone from 3.11,
// the type, value and traceback before), set and restored as the bytecode of an except block
// does.  The public API reads only the topmost handled exception, which may belong to a caller
// of the generator that runs this code, so the public twin lets the interpreter do it: a small
// compiled function raises the caught exception again in a real `try` and runs the fall-back in
// its `except` block, after putting back the traceback and context that raising changed.
#pragma once

#include "cpython/pending_error.hpp"

namespace mirvak::cpython {

// A fall-back, type-erased.
struct Fallback {
  Ref (*run)(void* context) noexcept;
  void* context;
};

// Runs the fall-back with `caught` as the exception being handled.
Ref run_handling(PyObject* caught, const Fallback& fallback) noexcept;

// Called right after an attempt failed: when the pending exception is an `exception_class`,
// takes it and runs `fallback()` in its except block; otherwise leaves it pending and returns
// an empty Ref.
template <typename Body>
Ref on_exception(PyObject* exception_class, Body body) noexcept {
  if (!PyErr_ExceptionMatches(exception_class)) return Ref();
  PendingError caught;
  const Fallback fallback{[](void* context) noexcept { return (*static_cast<Body*>(context))(); },
                          &body};
  return run_handling(caught.value(), fallback);
}

}  // namespace mirvak::cpython
