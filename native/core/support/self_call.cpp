// Attribute lookup of a method on the instance, as generic attribute access does it: a data
// descriptor on the type, else the instance dictionary, else what the type holds (a function
// there is called with self first, which is what its bound method would do).
#include "support/self_call.hpp"

#include "support/compat.hpp"

namespace mirvak::support {
namespace {

bool has_instance_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
  return type->tp_dictoffset != 0;
}

// The value the instance dictionary holds under `name`: a new reference, nullptr when absent
// (check PyErr_Occurred).
Ref instance_value(PyObject* self, PyObject* name) {
  if (!has_instance_dict(Py_TYPE(self))) return Ref();
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) return Ref();
  return Ref::borrow(PyDict_GetItemWithError(dict.get(), name));  // CAUTION: a key's __eq__
}

Found found(Found::How how, Ref target) {
  Found result;
  result.how = target || how == Found::How::own ? how : Found::How::failed;
  result.target = std::move(target);
  return result;
}

}  // namespace

Found find(PyObject* self, Method id) noexcept {
  PyObject* name = method_name(id);
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr)
    return found(Found::How::callable, Ref::steal(PyObject_GetAttr(self, name)));
  Ref descr = Ref::borrow(_PyType_Lookup(type, name));
  descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
  if (get != nullptr && Py_TYPE(descr.get())->tp_descr_set != nullptr) {
    return found(Found::How::callable,
                 Ref::steal(get(descr.get(), self, reinterpret_cast<PyObject*>(type))));
  }
  Ref value = instance_value(self, name);
  if (value) return found(Found::How::callable, std::move(value));
  if (PyErr_Occurred()) return Found();
  if (!descr) return found(Found::How::callable, Ref::steal(PyObject_GetAttr(self, name)));
  if (PyFunction_Check(descr.get())) {
    if (is_own(descr.get(), id)) return found(Found::How::own, Ref());
    return found(Found::How::function, std::move(descr));
  }
  if (get == nullptr) return found(Found::How::callable, std::move(descr));
  return found(Found::How::callable,
               Ref::steal(get(descr.get(), self, reinterpret_cast<PyObject*>(type))));
}

Ref call_found(const Found& found, PyObject** argv, Py_ssize_t count, PyObject* kwnames) noexcept {
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (found.how == Found::How::function) {
    const size_t positional = static_cast<size_t>(1 + count - keywords);
    return Ref::steal(PyObject_Vectorcall(found.target.get(), argv + 1,
                                          positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
  }
  const size_t positional = static_cast<size_t>(count - keywords);
  return Ref::steal(PyObject_Vectorcall(found.target.get(), argv + 2,
                                        positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

KeywordNames::KeywordNames(std::initializer_list<Name> keywords) noexcept {
  for (Name keyword : keywords) {
    if (count_ < kMax) keywords_[count_++] = keyword;
  }
}

PyObject* KeywordNames::get() noexcept {
  if (tuple_) return tuple_.get();
  Ref tuple = Ref::steal(PyTuple_New(count_));
  if (!tuple) return nullptr;
  for (int i = 0; i < count_; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(name(keywords_[i])));
  tuple_.reset(tuple.release());
  return tuple_.get();
}

}  // namespace mirvak::support
