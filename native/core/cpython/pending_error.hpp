// The pending exception, taken out of the thread state and put back on demand.
//
// Public API on every version: `PyErr_GetRaisedException` from 3.12, the normalised triple of
// `PyErr_Fetch` before.
#pragma once

#include "cpython/compat.hpp"
#include "support/ref.hpp"

namespace mirvak::cpython {

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

}  // namespace mirvak::cpython
