// Native bodies of the inspection methods: the tree drawing and the manager's representation.
#pragma once

#include <Python.h>

namespace mirvak::render {

PyObject* print_tree(PyObject* self, PyObject* data,
                     PyObject* output) noexcept;  // tree_printer.cpp
PyObject* repr(PyObject* self) noexcept;          // summary.cpp

}  // namespace mirvak::render
