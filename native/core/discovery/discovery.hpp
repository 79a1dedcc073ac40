// Native bodies of the two static discovery methods: they import plugin code and keep nothing.
#pragma once

#include <Python.h>

namespace mirvak::discovery {

PyObject* discover_builtin_plugins() noexcept;   // builtin.cpp
PyObject* discover_external_plugins() noexcept;  // external.cpp

}  // namespace mirvak::discovery
