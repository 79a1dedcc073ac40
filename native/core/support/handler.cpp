// The current level of the thread's exception stack, saved and restored as an except block
// does it: the level itself (`tstate->exc_info`), not the topmost exception the stack holds,
// which may belong to a caller of the generator or coroutine that runs this code.
#include "support/handler.hpp"

namespace mirvak::support {

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

Handling::Handling(PyObject* value) noexcept {
  _PyErr_StackItem* level = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX >= 0x030B0000
  saved_ = level->exc_value;
  level->exc_value = Py_XNewRef(value);
#else
  saved_type_ = level->exc_type;
  saved_value_ = level->exc_value;
  saved_traceback_ = level->exc_traceback;
  level->exc_type = value ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))) : nullptr;
  level->exc_value = Py_XNewRef(value);
  level->exc_traceback = value ? PyException_GetTraceback(value) : nullptr;
#endif
}

Handling::~Handling() {
  _PyErr_StackItem* level = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* handled = level->exc_value;
  level->exc_value = saved_;
  Py_XDECREF(handled);
#else
  PyObject* handled_type = level->exc_type;
  PyObject* handled_value = level->exc_value;
  PyObject* handled_traceback = level->exc_traceback;
  level->exc_type = saved_type_;
  level->exc_value = saved_value_;
  level->exc_traceback = saved_traceback_;
  Py_XDECREF(handled_type);
  Py_XDECREF(handled_value);
  Py_XDECREF(handled_traceback);
#endif
}

}  // namespace mirvak::support
