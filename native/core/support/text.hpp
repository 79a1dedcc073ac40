// Building message texts: a fixed text made into a str once, and concatenation as Python's `+`
// does it.
#pragma once

#include <initializer_list>

#include "support/lifetime.hpp"
#include "support/ref.hpp"

namespace mirvak::support {

// A fixed text, made into an interned str on first use and kept while the module lives.
class StaticText final : public MadeAtStart {
 public:
  explicit StaticText(const char* text) noexcept : text_(text) {}
  PyObject* get() const noexcept { return object_.get(); }  // borrowed; made at start

 private:
  bool make() noexcept override {
    if (!object_) object_.reset(PyUnicode_InternFromString(text_));
    return static_cast<bool>(object_);
  }
  void release() noexcept override {}  // object_ is released on its own
  const char* text_;
  Retained object_;
};

// `isinstance(value, str)`: 1, 0, or -1 with an exception set.  A str subclass counts, and so
// does an object whose `__class__` claims str.  CAUTION: may run Python code (`__class__`).
int is_str(PyObject* value) noexcept;

// Two exact strs hold the same text.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
  return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                    PyUnicode_KIND(a) == PyUnicode_KIND(b) && PyUnicode_Compare(a, b) == 0);
}

// `value in container`.  For an exact list or tuple of exact strs and an exact str the items
// are compared here: no Python code runs either way.  1, 0, or -1 with an exception set.
int contains(PyObject* container, PyObject* value) noexcept;
// The same, answered only where no Python code runs: -2 otherwise.
int contains_plainly(PyObject* container, PyObject* value) noexcept;

// The truth value of an object, as `if value:` tests it.
inline int is_true(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
  if (value == Py_None) return 0;
  return PyObject_IsTrue(value);
}

// The texts of strs (a subclass's text as it is), concatenated into one new exact str in one
// pass, as `"".join(parts)` does.  No Python code runs.
Ref join_texts(PyObject* const* parts, Py_ssize_t count) noexcept;

// The strs, concatenated in one pass; every part must be an exact str.
Ref concat(std::initializer_list<PyObject*> parts) noexcept;

// `a + b + c ...` evaluated left to right as Python evaluates it.  Parts that are exact strs
// are joined in one pass at the end (adding them runs no Python code, so deferring it is not
// observable); any other part is added with the `+` operator at its turn, so a str subclass's
// own `__add__`/`__radd__` runs exactly when Python would run it.
class Sum {
 public:
  Sum() noexcept = default;
  Sum(const Sum&) = delete;
  Sum& operator=(const Sum&) = delete;
  // Adds a part (borrowed); a null part records a failure already raised.
  Sum& add(PyObject* part) noexcept;
  // Adds `str(value)`.
  Sum& add_str_of(PyObject* value) noexcept;
  // Adds `separator.join(str(value) for value in values)`: the join makes an exact str of the
  // values' texts, so it is added as one.
  Sum& add_joined_str_of(PyObject* const* values, Py_ssize_t count, PyObject* separator) noexcept;
  // False with an exception set once a step failed: later parts are then not evaluated.
  bool ok() const noexcept { return !failed_; }
  // The result; null with an exception set when any step failed.
  Ref result() noexcept;

 private:
  bool flush() noexcept;

  bool defer(PyObject* text) noexcept;

  static constexpr int kMaxPending = 16;
  Ref total_;  // the sum so far, once it is no longer a plain join of exact strs
  Ref pending_[kMaxPending];
  int count_ = 0;
  bool failed_ = false;
};

}  // namespace mirvak::support
