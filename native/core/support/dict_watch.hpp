// Being told when a dictionary changes: one dictionary watcher for the module (3.12+), whose
// events go to the two memories that rely on it (instance dictionary readings, dictionaries
// known to have only text keys).
#pragma once

#include <Python.h>

namespace mirvak::support {

#if PY_VERSION_HEX >= 0x030C0000
// Watches `dict`; false (no exception) when the interpreter has no watcher to spare.
bool watch_dict(PyObject* dict) noexcept;

// The listeners, called for every event of a watched dictionary, before the change.
void instance_dict_changed(PyObject* dict) noexcept;
void text_keyed_changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key) noexcept;
#endif

}  // namespace mirvak::support
