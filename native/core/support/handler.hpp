// `try: ... except SomeError: fallback`: the fall-back runs while the caught exception is the
// one being handled, so an exception it raises carries the caught one as its context.
#pragma once

#include "support/ref.hpp"

namespace mirvak::support {

template <typename Fallback>
Ref on_exception(PyObject* exception_class, Fallback fallback) noexcept {
  if (!PyErr_ExceptionMatches(exception_class)) return Ref();
#if PY_VERSION_HEX >= 0x030C0000
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  Ref outer = Ref::steal(PyErr_GetHandledException());
  PyErr_SetHandledException(caught.get());
  Ref result = fallback();
  PyErr_SetHandledException(outer.get());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyObject *outer_type, *outer_value, *outer_traceback;
  PyErr_GetExcInfo(&outer_type, &outer_value, &outer_traceback);
  PyErr_SetExcInfo(type, value, traceback);  // steals: now being handled
  Ref result = fallback();
  PyErr_SetExcInfo(outer_type, outer_value, outer_traceback);
#endif
  return result;
}

}  // namespace mirvak::support
