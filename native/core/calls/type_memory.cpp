// The lookup itself, remembered when the type's stamp was valid before and after it.
#include "calls/type_memory.hpp"

namespace mirvak::calls {

cpython::Found TypeLookup::look_up(PyTypeObject* type, PyObject* name) noexcept {
  unsigned int before = 0, after = 0;
  const bool stamped = cpython::type_stamp(type, &before);
  cpython::Found found = cpython::type_lookup(type, name);
  if (stamped && cpython::type_stamp(type, &after) && after == before) {
    type_ = type;
    stamp_ = before;
    found_ = found.get();
  }
  return found;
}

}  // namespace mirvak::calls
