// Building message texts from pieces: a fixed text made into a str once, and concatenation of
// strs in one pass.
#pragma once

#include <initializer_list>

#include "support/ref.hpp"

namespace mirvak::support {

// A fixed text, made into an interned str on first use and kept for the life of the process.
class StaticText {
 public:
  constexpr explicit StaticText(const char* text) noexcept : text_(text) {}
  PyObject* get() const noexcept {  // borrowed; nullptr with an exception set on failure
    if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
    return object_;
  }

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;
};

// The strs, concatenated; every part must be a str.
Ref concat(std::initializer_list<PyObject*> parts) noexcept;

}  // namespace mirvak::support
