// Raising the library's connection error, as `raise ConnectionInfraError(message)` does.
#include "host/host.hpp"

namespace mirvak::host {

PyObject* raise_object(PyObject* value) noexcept {
  if (PyExceptionInstance_Check(value)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    return nullptr;
  }
  if (PyExceptionClass_Check(value)) {
    Ref instance = Ref::steal(PyObject_CallNoArgs(value));
    if (!instance) return nullptr;
    if (PyExceptionInstance_Check(instance.get())) return raise_object(instance.get());
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %s", value,
                 Py_TYPE(instance.get())->tp_name);
    return nullptr;
  }
  PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  return nullptr;
}

Ref connection_error_class() noexcept {
  return global(Name::ConnectionInfraError);
}

PyObject* raise_instance(PyObject* error_class, const Ref& message) noexcept {
  if (!message) return nullptr;
  Ref error = Ref::steal(PyObject_CallOneArg(error_class, message.get()));
  return error ? raise_object(error.get()) : nullptr;
}

PyObject* raise_connection_error(const char* message) noexcept {
  return raise_connection_error([message] { return Ref::steal(PyUnicode_FromString(message)); });
}

}  // namespace mirvak::host
