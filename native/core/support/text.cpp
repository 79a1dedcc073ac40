// Concatenation of message pieces.
#include "support/text.hpp"

#include "support/names.hpp"

namespace mirvak::support {

int is_str(PyObject* value) noexcept {
  if (PyUnicode_Check(value)) return 1;
  return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

int contains(PyObject* container, PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value) &&
      (PyList_CheckExact(container) || PyTuple_CheckExact(container))) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(container);
    PyObject** items = PySequence_Fast_ITEMS(container);
    Py_ssize_t i = 0;
    for (; i < count && PyUnicode_CheckExact(items[i]); ++i) {
      if (same_text(items[i], value)) return 1;
    }
    if (i == count) return 0;
  }
  return PySequence_Contains(container, value);
}

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

// Joins the pending exact strs into the total.
bool Sum::flush() noexcept {
  if (count_ == 0) return true;
  Ref tuple = Ref::steal(PyTuple_New(count_));
  if (!tuple) return false;
  for (int i = 0; i < count_; ++i) PyTuple_SET_ITEM(tuple.get(), i, pending_[i].release());
  count_ = 0;
  Ref joined = Ref::steal(PyUnicode_Join(name(Name::empty), tuple.get()));
  if (!joined) return false;
  total_ = total_ ? Ref::steal(PyNumber_Add(total_.get(), joined.get())) : std::move(joined);
  return static_cast<bool>(total_);
}

Sum& Sum::add(PyObject* part) noexcept {
  if (failed_ || part == nullptr) {
    failed_ = true;
    return *this;
  }
  const bool plain = PyUnicode_CheckExact(part) && (!total_ || PyUnicode_CheckExact(total_.get()));
  if (plain && count_ < kMaxPending) {
    pending_[count_++] = Ref::borrow(part);
    return *this;
  }
  if (!flush()) {
    failed_ = true;
    return *this;
  }
  // CAUTION: a str subclass's __add__ or __radd__ runs here.
  total_ = total_ ? Ref::steal(PyNumber_Add(total_.get(), part)) : Ref::borrow(part);
  failed_ = !total_;
  return *this;
}

Sum& Sum::add_str_of(PyObject* value) noexcept {
  if (failed_ || value == nullptr) {
    failed_ = true;
    return *this;
  }
  Ref text = Ref::steal(PyObject_Str(value));
  return add(text.get());
}

Ref Sum::result() noexcept {
  if (failed_ || !flush()) return Ref();
  return total_ ? std::move(total_) : Ref::borrow(name(Name::empty));
}

}  // namespace mirvak::support
