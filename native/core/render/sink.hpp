// The buffer of a drawing: one for the whole drawing, written once, line by line.
#pragma once

#include <cstring>

#include "render/text_buffer.hpp"
#include "support/ref.hpp"

namespace mirvak::render {

// The buffer of a drawing.  A level's text goes in with the prefix of its place: every "\n"
// is followed by the separators of the levels above, as re-prefixing at each level would do.
class Sink {
 public:
  Py_ssize_t size() const { return out_.size(); }
  void truncate(Py_ssize_t size) { out_.truncate(size); }

  bool emit(const char* text, Py_ssize_t length) {
    const char* end = text + length;
    while (text != end) {
      const void* found = std::memchr(text, '\n', static_cast<size_t>(end - text));
      if (found == nullptr) return out_.append(text, end - text);
      const char* newline = static_cast<const char*>(found);
      if (!out_.append(text, newline + 1 - text) || !out_.append(prefix_.data(), prefix_.size()))
        return false;
      text = newline + 1;
    }
    return true;
  }

  // An exact str: 1 written, 0 when it has no UTF-8 form (lone surrogates), -1 on error.
  int emit_str(PyObject* text) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (utf8 == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
      PyErr_Clear();
      return 0;
    }
    return emit(utf8, length) ? 1 : -1;
  }

  // Adds a child's separator to the prefix; returns what to pop back to.
  Py_ssize_t push(bool last) {
    const Py_ssize_t mark = prefix_.size();
    return (last ? prefix_.append("  ", 2) : prefix_.append("  |", 3)) ? mark : -1;
  }
  void pop(Py_ssize_t mark) { prefix_.truncate(mark); }

  // The text a level wrote since `start`, without the prefix after each newline, as a str;
  // the buffer goes back to `start`.
  Ref take(Py_ssize_t start) {
    TextBuffer text;
    const char* line = out_.data() + start;
    const char* end = out_.data() + out_.size();
    while (line != end) {
      const void* found = std::memchr(line, '\n', static_cast<size_t>(end - line));
      const char* stop = found ? static_cast<const char*>(found) + 1 : end;
      if (!text.append(line, stop - line)) return Ref();
      line = found ? stop + prefix_.size() : end;
    }
    out_.truncate(start);
    return Ref::steal(text.to_str());
  }

  Ref to_str() const { return Ref::steal(out_.to_str()); }

 private:
  TextBuffer out_;
  TextBuffer prefix_;
};

}  // namespace mirvak::render
