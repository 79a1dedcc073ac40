// Owned-reference handle: a Ref holds one strong reference and drops it when it goes.
#pragma once

#include <Python.h>

#include <utility>

namespace mirvak {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (or nullptr, the C API's error result).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a reference of its own to a borrowed object.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  static Ref none() noexcept { return borrow(Py_None); }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
    return *this;  // CAUTION: dropping the old object may run arbitrary Python code
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  [[gnu::always_inline]] ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference back to the C API (a method's result, a stolen argument).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace mirvak
