// What a type holds under an attribute name, through its MRO, remembered while the type's
// version tag says that neither it nor a base has changed.
//
// Version tags identify a type's state from 3.11 on: they are never handed out twice.  Before
// that, sys._clear_type_cache() starts them afresh, so nothing is remembered there and each
// lookup goes to the interpreter's own method cache.
#pragma once

#include <Python.h>

#include "support/lifetime.hpp"

namespace mirvak::support {

inline bool version_tag_is_valid(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return type->tp_version_tag != 0;
#elif PY_VERSION_HEX >= 0x030B0000
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#else
  (void)type;
  return false;
#endif
}

// One remembered answer, for one name (a call site's method or attribute).
class TypeLookup final : public ModuleState {
 public:
  TypeLookup() noexcept = default;
  // `_PyType_Lookup(type, name)`: borrowed, nullptr when the type has nothing of that name.
  // No Python code runs (the MRO's dictionaries have exact str keys).
  PyObject* find(PyTypeObject* type, PyObject* name) noexcept {
    if (type == type_ && type->tp_version_tag == version_ && version_tag_is_valid(type))
      return found_;
    return look_up(type, name);
  }

 private:
  PyObject* look_up(PyTypeObject* type, PyObject* name) noexcept;
  void release() noexcept override { type_ = nullptr; }
  PyTypeObject* type_ = nullptr;  // borrowed: a type made later at the same address has
  unsigned int version_ = 0;      // another version tag
  PyObject* found_ = nullptr;     // borrowed from the type's dictionaries, unchanged since
};

}  // namespace mirvak::support
