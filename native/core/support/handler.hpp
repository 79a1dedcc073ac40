// `try: ... except SomeError: fallback` as the interpreter runs it.
//
// An except block makes the caught exception the one being handled at the current level of
// the thread's exception stack (the level of the running frame, or of a generator or coroutine
// that runs it) and puts back what that level held when the block ends.  So while the
// fall-back runs, `sys.exc_info()` shows the caught exception and an exception it raises gets
// the caught one as its context; afterwards the caller's state is exactly as it was.
#pragma once

#include "support/compat.hpp"
#include "support/ref.hpp"

namespace mirvak::support {

// The pending exception, taken out of the thread state and put back on demand.
class PendingError {
 public:
  // Takes the pending exception (normalised, its traceback attached).
  PendingError() noexcept;
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  ~PendingError() = default;
  PyObject* value() const noexcept { return value_.get(); }
  // Raises it again, as it was.
  void restore() noexcept;

 private:
  Ref value_;
};

// While alive, `value` is the exception being handled at the current level.
class Handling {
 public:
  explicit Handling(PyObject* value) noexcept;
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
  ~Handling();

 private:
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* saved_;
#else
  PyObject* saved_type_;
  PyObject* saved_value_;
  PyObject* saved_traceback_;
#endif
};

template <typename Fallback>
Ref on_exception(PyObject* exception_class, Fallback fallback) noexcept {
  if (!PyErr_ExceptionMatches(exception_class)) return Ref();
  PendingError caught;
  Handling handling(caught.value());
  return fallback();
}

}  // namespace mirvak::support
