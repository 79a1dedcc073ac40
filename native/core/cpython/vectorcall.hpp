// Taking over how a Python function is called: its vectorcall entry.
//
// Fast: the function object's `vectorcall` field, read as it was made (3.9 to 3.15), and
// replaced through the field before 3.12 and through `PyFunction_SetVectorcall` from 3.12
// (which also keeps the interpreter from specialising calls of it inline).
// Public twin: from 3.12 the same through `PyVectorcall_Function` and `PyFunction_SetVectorcall`;
// before 3.12 none (kFunctionVectorcall is false): the interpreter calls the function.
#pragma once

#include "cpython/config.hpp"

namespace mirvak::cpython {

inline constexpr bool kFunctionVectorcall = kFastPaths || PY_VERSION_HEX >= 0x030C0000;

// The function's vectorcall entry as it is now; nullptr without the capability.
inline vectorcallfunc function_vectorcall(PyObject* function) noexcept {
#if MIRVAK_FAST_PATHS
  return reinterpret_cast<PyFunctionObject*>(function)->vectorcall;
#else
  return kFunctionVectorcall ? PyVectorcall_Function(function) : nullptr;
#endif
}

inline void set_function_vectorcall(PyObject* function, vectorcallfunc call) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyFunction_SetVectorcall(reinterpret_cast<PyFunctionObject*>(function), call);
#elif MIRVAK_FAST_PATHS
  reinterpret_cast<PyFunctionObject*>(function)->vectorcall = call;
#else
  (void)function, (void)call;
#endif
}

}  // namespace mirvak::cpython
