// The AttributeError of generic attribute access for a name that neither the type nor the
// instance holds: "'<type name>' object has no attribute '<name>'", with its `name` and `obj`
// set from 3.10 on, as `PyObject_GetAttr` sets them (3.10 to 3.15).  Public API only.
#pragma once

#include "cpython/config.hpp"

namespace mirvak::cpython {

// Raises it; returns nullptr.
PyObject* raise_missing_attribute(PyObject* obj, PyObject* name) noexcept;

}  // namespace mirvak::cpython
