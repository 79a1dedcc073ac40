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

// False only when `dict` is not an exact dict, or is known to hold a key that is not an exact str;
// true also where that is not known (a dictionary too large to be read on every call).  Only
// without the GIL: registration publishes a new branch there with one insert-if-absent, whose
// lookup may then meet a colliding key's __eq__ once where Python's test and store would meet it
// twice.  No Python code runs.
bool maybe_text_keyed(PyObject* dict) noexcept;

}  // namespace mirvak::calls
