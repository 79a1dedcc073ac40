// Native bodies of the registry methods: the tree and its attributes, validation,
// registration, lookup and removal.
#pragma once

#include <Python.h>

#include "calls/instance_view.hpp"

namespace mirvak::registry {

// tree.cpp
PyObject* init(PyObject* self) noexcept;
PyObject* plugins_get(PyObject* self) noexcept;
PyObject* plugins_set(PyObject* self, PyObject* value) noexcept;

// validation.cpp
PyObject* validate_model(PyObject* self, PyObject* os, PyObject* platform,
                         PyObject* model) noexcept;
PyObject* validate_platform(PyObject* self, PyObject* os, PyObject* platform) noexcept;
PyObject* validate_os(PyObject* self, PyObject* os) noexcept;
PyObject* validate_chassis_type(PyObject* self, PyObject* chassis_type) noexcept;
PyObject* validate_arguments(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type) noexcept;
// The same, with what it reads of the instance answered from `view` while it is valid; and the
// view a registry operation takes for it, when its identifiers are plain strs.
PyObject* validate_arguments_in(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                                PyObject* chassis_type, calls::InstanceView* view) noexcept;
void take_view(calls::InstanceView& view, PyObject* self, PyObject* os, PyObject* platform,
               PyObject* model, PyObject* chassis_type) noexcept;

// lookup.cpp, removal.cpp, registration.cpp
PyObject* get_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type) noexcept;
PyObject* unregister_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type) noexcept;
PyObject* register_plugin(PyObject* self, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type) noexcept;

}  // namespace mirvak::registry
