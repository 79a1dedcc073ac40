// What a type holds under an attribute name, through its MRO, remembered while the type's stamp
// says that neither it nor a base has changed (cpython/type_lookup.hpp).  Where types have no
// stamps, nothing is remembered and each lookup goes to the interpreter's own method cache.
#pragma once

#include "cpython/type_lookup.hpp"
#include "support/lifetime.hpp"

namespace mirvak::calls {

// One remembered answer, for one name (a call site's method or attribute).  Only while
// cpython::kTypeLookup.
class TypeLookup final : public support::ModuleState {
 public:
  TypeLookup() noexcept;
  TypeLookup(const TypeLookup&) = delete;
  TypeLookup& operator=(const TypeLookup&) = delete;
  // Empty when the type has nothing of that name.  No Python code runs.  Without the GIL each
  // thread remembers its own answers, and only those that hold no reference (nothing, or one of
  // this module's functions): a stamp is never handed out twice, so they can only miss.
  cpython::Found find(PyTypeObject* type, PyObject* name) noexcept {
    if (cpython::kFreeThreaded) return find_per_thread(type, name);
    unsigned int stamp;
    if (type == type_ && cpython::type_stamp(type, &stamp) && stamp == stamp_)
      return cpython::Found::steal(found_);
    return look_up(type, name);
  }

 private:
  cpython::Found look_up(PyTypeObject* type, PyObject* name) noexcept;
  cpython::Found find_per_thread(PyTypeObject* type, PyObject* name) noexcept;
  void release() noexcept override;
  int slot_;                      // this lookup's place in each thread's memory (-1: none)
  PyTypeObject* type_ = nullptr;  // borrowed: a type made later at the same address has
  unsigned int stamp_ = 0;        // another stamp
  PyObject* found_ = nullptr;     // borrowed from the type's dictionaries, unchanged since
};

}  // namespace mirvak::calls
