// A growing UTF-8 buffer: one per drawing level, so drawing stays linear in the tree's size.
#pragma once

#include <Python.h>

#include <cstring>
#include <utility>

namespace mirvak::render {

class TextBuffer {
 public:
  TextBuffer() noexcept = default;
  TextBuffer(TextBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  TextBuffer& operator=(TextBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() { PyMem_Free(data_); }

  const char* data() const noexcept { return data_; }
  Py_ssize_t size() const noexcept { return size_; }

  // False with MemoryError set when the buffer cannot grow.
  bool append(const char* text, Py_ssize_t length) noexcept {
    if (length > capacity_ - size_ && !reserve(size_ + length)) return false;
    if (length > 0) std::memcpy(data_ + size_, text, static_cast<size_t>(length));
    size_ += length;
    return true;
  }

  void truncate(Py_ssize_t size) noexcept {
    if (size < size_) size_ = size;
  }

  PyObject* to_str() const noexcept { return PyUnicode_DecodeUTF8(data_, size_, nullptr); }

 private:
  bool reserve(Py_ssize_t needed) noexcept {
    Py_ssize_t capacity = capacity_ < 64 ? 64 : capacity_;
    while (capacity < needed) {
      if (capacity > PY_SSIZE_T_MAX / 2) {
        PyErr_NoMemory();
        return false;
      }
      capacity *= 2;
    }
    auto* grown = static_cast<char*>(PyMem_Realloc(data_, static_cast<size_t>(capacity)));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = grown;
    capacity_ = capacity;
    return true;
  }

  char* data_ = nullptr;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = 0;
};

}  // namespace mirvak::render
