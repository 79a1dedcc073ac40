// The lookup itself, remembered when the type's version tag was valid before and after it.
#include "support/type_lookup.hpp"

namespace mirvak::support {

PyObject* TypeLookup::look_up(PyTypeObject* type, PyObject* name) noexcept {
  const bool valid = version_tag_is_valid(type);
  const unsigned int version = type->tp_version_tag;
  PyObject* found = _PyType_Lookup(type, name);
  if (valid && version_tag_is_valid(type) && type->tp_version_tag == version) {
    type_ = type;
    version_ = version;
    found_ = found;
  }
  return found;
}

}  // namespace mirvak::support
