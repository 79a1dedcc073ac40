// Concatenation of message pieces in one pass.
#include "support/text.hpp"

#include "support/names.hpp"

namespace mirvak::support {

Ref concat(std::initializer_list<PyObject*> parts) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
  if (!tuple) return tuple;
  Py_ssize_t i = 0;
  for (PyObject* part : parts) {
    if (part == nullptr) return Ref();  // a StaticText that could not be made
    Py_INCREF(part);
    PyTuple_SET_ITEM(tuple.get(), i++, part);
  }
  return Ref::steal(PyUnicode_Join(name(Name::empty), tuple.get()));
}

}  // namespace mirvak::support
