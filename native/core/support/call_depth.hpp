// The interpreter's recursion accounting for native bodies.  A body entered without an
// interpreter frame (the native argument binding, a body calling our own unchanged method's
// body directly) counts one level, as a call of a Python function would; so a cycle of methods
// ends in RecursionError instead of exhausting the C stack.
#pragma once

#include <Python.h>

namespace mirvak::support {

class CallDepth {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  // From 3.12 the accounting is one counter of the thread state: while levels remain it is
  // counted down here, as Py_EnterRecursiveCall does, with the thread state read once for both
  // ends; at the limit the interpreter's own function decides and raises.
  CallDepth() noexcept : tstate_(PyThreadState_Get()) {
    entered_ = tstate_->c_recursion_remaining > 0 ? (--tstate_->c_recursion_remaining, true)
                                                  : Py_EnterRecursiveCall("") == 0;
  }
  ~CallDepth() {
    if (entered_) ++tstate_->c_recursion_remaining;
  }
#else
  CallDepth() noexcept : entered_(Py_EnterRecursiveCall("") == 0) {}
  ~CallDepth() {
    if (entered_) Py_LeaveRecursiveCall();
  }
#endif
  CallDepth(const CallDepth&) = delete;
  CallDepth& operator=(const CallDepth&) = delete;
  // False with RecursionError set when the limit is reached.
  explicit operator bool() const noexcept { return entered_; }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyThreadState* tstate_;
#endif
  bool entered_;
};

}  // namespace mirvak::support
