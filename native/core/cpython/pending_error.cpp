// Taking and restoring the pending exception.
#include "cpython/pending_error.hpp"

namespace mirvak::cpython {

PendingError::PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  value_ = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  value_ = Ref::steal(value);
#endif
}

void PendingError::restore() noexcept {
  if (!value_) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value_.release());
#else
  PyObject* value = value_.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace mirvak::cpython
