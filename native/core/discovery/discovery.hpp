// Native bodies of the two static discovery methods: they import plugin code and keep nothing.
// The built-in walk and its test-module filter are shared with the private companion module
// mirvak.core._pluginwalk (companion.cpp), so that the health report walks the same way.
#pragma once

#include <Python.h>

namespace mirvak::discovery {

PyObject* discover_builtin_plugins() noexcept;   // builtin.cpp
PyObject* discover_external_plugins() noexcept;  // external.cpp

// The built-in walk: each module name that passes the filter goes to `importer(name)`, or to
// `importlib.import_module(name)` through the current global when `importer` is nullptr;
// `onerror`, when not nullptr, reaches walk_packages as its keyword argument.
// CAUTION: runs arbitrary Python code.  False with an exception set on failure.
bool walk_builtin_plugins(PyObject* importer, PyObject* onerror) noexcept;

// The test-module filter: 1 for a name to import, 0 for one to skip, -1 with an exception set.
int is_plugin_module(PyObject* module_name) noexcept;

// Every plugin record of a tree of dicts: (records, changed), records mapping
// (place, chassis_type) to the record, a place being the tuple of keys that leads to the node
// holding it, and changed listing the keys whose record is not the very object that the dict
// `previous` (an earlier listing) holds (records.cpp).  New reference.
PyObject* tree_records(PyObject* tree, PyObject* previous) noexcept;

}  // namespace mirvak::discovery
