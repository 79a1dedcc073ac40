// The binding shortcut: calls of our own functions bound here and handed to the native body.
#pragma once

#include "support/methods.hpp"

namespace mirvak::calls {

// Lets calls of the function bind their arguments natively, where the interpreter lets its
// vectorcall entry be taken over; otherwise the interpreter calls it (true either way, false
// with an exception set on failure).
bool enable_binding(PyObject* function, support::Method id) noexcept;

}  // namespace mirvak::calls
