// Calling back into Python.  CAUTION: every function here may run arbitrary Python code.
#pragma once

#include <initializer_list>

#include "support/names.hpp"
#include "support/ref.hpp"

namespace mirvak::support {

// callable(name1=arg1, name2=arg2, ...)
Ref call_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                  std::initializer_list<Name> keywords) noexcept;

// The truth value of a call's result: 1, 0, or -1 with an exception set.
int truth(const Ref& result) noexcept;

}  // namespace mirvak::support
