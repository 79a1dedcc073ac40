// Concatenation of message pieces.
#include "support/text.hpp"

#include <cstring>

#include "cpython/compat.hpp"
#include "cpython/config.hpp"
#include "support/names.hpp"

namespace mirvak::support {

int is_str(PyObject* value) noexcept {
  if (PyUnicode_Check(value)) return 1;
  return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

namespace {

// The same for a list that other threads may change meanwhile: each item is read and held on its
// own (without a lock, as the list's own `in` does), the length read afresh at each step.
int list_contains_plainly(PyObject* list, PyObject* value) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) {  // shortened meanwhile
      PyErr_Clear();
      return 0;
    }
    if (!PyUnicode_CheckExact(item.get())) return -2;
    if (same_text(item.get(), value)) return 1;
  }
  return 0;
}

}  // namespace

int contains_plainly(PyObject* container, PyObject* value) noexcept {
  if (!PyUnicode_CheckExact(value) ||
      !(PyList_CheckExact(container) || PyTuple_CheckExact(container)))
    return -2;
  if (cpython::kFreeThreaded && PyList_CheckExact(container))
    return list_contains_plainly(container, value);
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(container);
  PyObject** items = PySequence_Fast_ITEMS(container);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_CheckExact(items[i])) return -2;
    if (same_text(items[i], value)) return 1;
  }
  return 0;
}

int contains(PyObject* container, PyObject* value) noexcept {
  const int plain = contains_plainly(container, value);
  return plain != -2 ? plain : PySequence_Contains(container, value);
}

namespace {

// Copies a piece of text: the pieces of messages are short, for which a plain loop beats a call
// of memcpy.
[[gnu::optimize("no-tree-loop-distribute-patterns")]] void copy_text(char* to, const char* from,
                                                                     Py_ssize_t size) {
  if (size > 32) {
    std::memcpy(to, from, static_cast<size_t>(size));
    return;
  }
  for (Py_ssize_t i = 0; i < size; ++i) to[i] = from[i];
}

}  // namespace

Ref join_texts(PyObject* const* parts, Py_ssize_t count) noexcept {
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Py_ssize_t part_length = PyUnicode_GET_LENGTH(parts[i]);
    if (part_length > PY_SSIZE_T_MAX - length) {
      PyErr_NoMemory();
      return Ref();
    }
    length += part_length;
    const Py_UCS4 part_widest = PyUnicode_MAX_CHAR_VALUE(parts[i]);
    if (part_widest > widest) widest = part_widest;
  }
  Ref joined = Ref::steal(PyUnicode_New(length, widest));
  if (!joined) return joined;
  const int kind = PyUnicode_KIND(joined.get());
  auto* data = static_cast<char*>(PyUnicode_DATA(joined.get()));
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Py_ssize_t part_length = PyUnicode_GET_LENGTH(parts[i]);
    if (PyUnicode_KIND(parts[i]) == kind) {
      copy_text(data + at * kind, static_cast<const char*>(PyUnicode_DATA(parts[i])),
                part_length * kind);
    } else if (PyUnicode_CopyCharacters(joined.get(), at, parts[i], 0, part_length) < 0) {
      return Ref();
    }
    at += part_length;
  }
  return joined;
}

Ref concat(std::initializer_list<PyObject*> parts) noexcept {
  for (PyObject* part : parts) {
    if (part == nullptr) return Ref();  // a StaticText that could not be made
  }
  return join_texts(parts.begin(), static_cast<Py_ssize_t>(parts.size()));
}

// Joins the pending texts into the total.
bool Sum::flush() noexcept {
  if (count_ == 0) return true;
  PyObject* parts[kMaxPending];
  for (int i = 0; i < count_; ++i) parts[i] = pending_[i].get();
  Ref joined = join_texts(parts, count_);
  for (int i = 0; i < count_; ++i) pending_[i] = Ref();
  count_ = 0;
  if (!joined) return false;
  total_ = total_ ? Ref::steal(PyNumber_Add(total_.get(), joined.get())) : std::move(joined);
  return static_cast<bool>(total_);
}

// Keeps a text for the final join, when adding it to the total so far runs no Python code.
bool Sum::defer(PyObject* text) noexcept {
  if ((total_ && !PyUnicode_CheckExact(total_.get())) || count_ == kMaxPending) return false;
  pending_[count_++] = Ref::borrow(text);
  return true;
}

Sum& Sum::add(PyObject* part) noexcept {
  if (failed_ || part == nullptr) {
    failed_ = true;
    return *this;
  }
  if (PyUnicode_CheckExact(part) && defer(part)) return *this;
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

Sum& Sum::add_joined_str_of(PyObject* const* values, Py_ssize_t count,
                            PyObject* separator) noexcept {
  if (failed_) return *this;
  constexpr Py_ssize_t kMaxValues = 8;
  Ref texts[kMaxValues];
  if (count > kMaxValues || separator == nullptr) {
    failed_ = true;
    if (separator != nullptr) PyErr_SetString(PyExc_SystemError, "too many parts to join");
    return *this;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    texts[i] = Ref::steal(PyObject_Str(values[i]));
    if (!texts[i]) {
      failed_ = true;
      return *this;
    }
  }
  const bool room =
      count_ + 2 * count <= kMaxPending && (!total_ || PyUnicode_CheckExact(total_.get()));
  if (!room) {
    PyObject* parts[2 * kMaxValues];
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (i > 0) parts[n++] = separator;
      parts[n++] = texts[i].get();
    }
    Ref joined = join_texts(parts, n);
    return add(joined.get());
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i > 0) defer(separator);
    defer(texts[i].get());
  }
  return *this;
}

Ref Sum::result() noexcept {
  if (failed_ || !flush()) return Ref();
  return total_ ? std::move(total_) : Ref::borrow(name(Name::empty));
}

}  // namespace mirvak::support
