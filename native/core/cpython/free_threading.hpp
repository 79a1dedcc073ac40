// Running without the GIL (free-threaded builds, Py_GIL_DISABLED, from 3.13).
//
// There another thread may run between any two instructions: it may change a dict or list this
// thread is reading, and free what a borrowed reference points to.  Containers lock themselves
// for each operation of the C API; a walk over one (PyDict_Next, a list's item array) holds the
// container's critical section.  A critical section is suspended while its thread waits or runs
// code that may, so it never spans a call that may run Python code.
// Public: PyCriticalSection_Begin/End and the Py_mod_gil slot are documented API of the
// free-threaded builds; on the others a critical section is nothing, as the GIL serialises.
#pragma once

#include <utility>

#include "cpython/config.hpp"
#include "support/ref.hpp"

namespace mirvak::cpython {

// What a lookup found: borrowed where the GIL keeps it alive while no Python code runs, held (a
// strong reference) where another thread may replace it and free it meanwhile.  Either way it
// is valid only while no Python code runs on this thread.
#ifdef Py_GIL_DISABLED
class Found {
 public:
  Found() noexcept = default;
  static Found steal(PyObject* p) noexcept { return Found(p, true); }  // a new reference
  // An object that outlives any reading (this module's own functions): not held, so threads
  // do not contend for its reference count.
  static Found lasting(PyObject* p) noexcept { return Found(p, false); }
  Found(Found&& other) noexcept
      : p_(std::exchange(other.p_, nullptr)), held_(std::exchange(other.held_, false)) {}
  Found& operator=(Found&& other) noexcept {
    Found old(std::move(*this));
    p_ = std::exchange(other.p_, nullptr);
    held_ = std::exchange(other.held_, false);
    return *this;
  }
  Found(const Found&) = delete;
  Found& operator=(const Found&) = delete;
  ~Found() {
    if (held_) Py_XDECREF(p_);
  }
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  Found(PyObject* p, bool held) noexcept : p_(p), held_(held) {}
  PyObject* p_ = nullptr;
  bool held_ = false;
};
#else
class Found {
 public:
  Found() noexcept = default;
  static Found steal(PyObject* p) noexcept { return Found(p); }  // a borrowed reference
  static Found lasting(PyObject* p) noexcept { return Found(p); }
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Found(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};
#endif

// Holds `object`'s critical section for the scope.  No Python code may run inside it.
class CriticalSection {
 public:
  explicit CriticalSection(PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&section_, object);
#else
    (void)object;
#endif
  }
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&section_);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

// `list[index]` held, for an index below the size just read; nullptr with IndexError set when
// another thread shortened the list meanwhile.
inline Ref list_item(PyObject* list, Py_ssize_t index) noexcept {
#ifdef Py_GIL_DISABLED
  return Ref::steal(PyList_GetItemRef(list, index));
#else
  return Ref::borrow(PyList_GET_ITEM(list, index));
#endif
}

// `dict[key]` held: 1 with `*value` a new reference, 0 when absent (`*value` null), -1 with an
// exception set.  CAUTION: a key's __eq__ may run.  With the GIL, the borrowed read and an
// increment (from 3.13 PyDict_GetItemRef is a call more).
inline int dict_item(PyObject* dict, PyObject* key, PyObject** value) noexcept {
#ifdef Py_GIL_DISABLED
  return PyDict_GetItemRef(dict, key, value);
#else
  PyObject* found = PyDict_GetItemWithError(dict, key);
  Py_XINCREF(found);
  *value = found;
  return found != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// One step of a walk over a dict (PyDict_Next), taken under the dict's critical section, the key
// and value held.  A walk that runs Python code between its steps checks the size afterwards, as
// Python's iteration does.
inline bool dict_next(PyObject* dict, Py_ssize_t* position, Ref* key, Ref* value) noexcept {
  CriticalSection section(dict);
  PyObject *found_key, *found_value;
  if (!PyDict_Next(dict, position, &found_key, &found_value)) return false;
  *key = Ref::borrow(found_key);
  *value = Ref::borrow(found_value);
  return true;
}

}  // namespace mirvak::cpython

// The module-definition slot that declares a module safe without the GIL (its calls hold to the
// rules above), so that importing it keeps the GIL off; nothing where there is no such slot.
#ifdef Py_GIL_DISABLED
#define MIRVAK_GIL_NOT_USED_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define MIRVAK_GIL_NOT_USED_SLOT
#endif
