// The interpreter's recursion accounting for native bodies.  A body entered without an
// interpreter frame (the native argument binding, a body calling our own unchanged method's
// body directly) counts one level, as a call of a Python function would; so a cycle of methods
// ends in RecursionError instead of exhausting the C stack.
#pragma once

#include <Python.h>

namespace mirvak::support {

class CallDepth {
 public:
  CallDepth() noexcept : entered_(Py_EnterRecursiveCall("") == 0) {}
  CallDepth(const CallDepth&) = delete;
  CallDepth& operator=(const CallDepth&) = delete;
  ~CallDepth() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  // False with RecursionError set when the limit is reached.
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_;
};

}  // namespace mirvak::support
