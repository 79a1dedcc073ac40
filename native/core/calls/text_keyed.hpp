// Dictionaries known to have only exact str keys.  Looking an exact str up in such a
// dictionary runs no Python code (no key's __eq__ or __hash__ can be involved), so a walk may
// answer `key in node.keys()` and the `node[key]` that follows with one lookup.
//
// A dictionary's keys are read once and the answer remembered while the dictionary is unchanged
// (cpython/dict_changes.hpp: by its version, or a watcher, which keeps the answer through changes
// that cannot falsify it: an exact str added, a key removed, a value replaced).  Without either,
// nothing is remembered and every answer is "not known".
#pragma once

#include <Python.h>

namespace mirvak::calls {

// True when `dict` is an exact dict whose keys are all exact strs.  False (no exception) when
// it is not, when it is too large to be read cheaply, or when it cannot be tracked.  No Python
// code runs.
bool text_keyed(PyObject* dict) noexcept;

}  // namespace mirvak::calls
