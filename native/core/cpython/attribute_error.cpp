// The missing attribute's error, made as generic attribute access makes it.
#include "cpython/attribute_error.hpp"

#include "support/ref.hpp"

namespace mirvak::cpython {

PyObject* raise_missing_attribute(PyObject* obj, PyObject* name) noexcept {
  Ref message = Ref::steal(
      PyUnicode_FromFormat("'%.100s' object has no attribute '%U'", Py_TYPE(obj)->tp_name, name));
  Ref error =
      message ? Ref::steal(PyObject_CallOneArg(PyExc_AttributeError, message.get())) : Ref();
  if (!error) return nullptr;
#if PY_VERSION_HEX >= 0x030A0000
  if (PyObject_SetAttrString(error.get(), "name", name) < 0 ||
      PyObject_SetAttrString(error.get(), "obj", obj) < 0)
    return nullptr;
#endif
  PyErr_SetObject(PyExc_AttributeError, error.get());
  return nullptr;
}

}  // namespace mirvak::cpython
