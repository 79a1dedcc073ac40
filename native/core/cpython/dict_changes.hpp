// Knowing that a dictionary is unchanged since it was read.
//
// Fast, before 3.12: `PyDictObject.ma_version_tag` (3.9 to 3.11), which changes with every change
// of the dictionary and is never handed out twice, so a dictionary made later at the same address
// has another.  From 3.12: a dictionary watcher (public API), told before every change, and
// before the dictionary goes.  Through 3.13 a store made through an instance's inline values
// (attribute assignment on an instance whose dictionary was made from them) reaches no watcher;
// 3.12 makes no dictionary from inline values behind the watcher's back, and 3.14 and 3.15 report
// those stores (measured: every attribute store seen), so only 3.13 cannot track an instance's
// dictionary.
// Public twin: the watcher from 3.12, nothing before (ma_version_tag is internal).
// Free-threaded (3.13t): no watcher, whose callback runs on whichever thread changes the
// dictionary; `ma_version_tag`, still kept by 3.13 (removed in 3.14) and drawn from a counter
// that never hands a version out twice, read atomically.  Its public twin tracks nothing.
#pragma once

#include <cstdint>

#include "cpython/config.hpp"

namespace mirvak::cpython {

enum class Tracking { none, version, watcher };

inline constexpr Tracking kDictTracking =
    kFreeThreaded ? (kFastPaths && PY_VERSION_HEX < 0x030E0000 ? Tracking::version : Tracking::none)
    : PY_VERSION_HEX >= 0x030C0000 ? Tracking::watcher
    : kFastPaths                   ? Tracking::version
                                   : Tracking::none;

// Whether an instance's own dictionary can be tracked like any other.
inline constexpr bool kInstanceDictTracking =
    kDictTracking != Tracking::none &&
    (PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000);

// What identifies a dictionary's state under version tracking (0 otherwise).
inline uint64_t dict_version(PyObject* dict) noexcept {
#if MIRVAK_FAST_PATHS && PY_VERSION_HEX < 0x030C0000
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#elif MIRVAK_FAST_PATHS && defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return __atomic_load_n(&reinterpret_cast<PyDictObject*>(dict)->ma_version_tag, __ATOMIC_ACQUIRE);
#pragma GCC diagnostic pop
#else
  (void)dict;
  return 0;
#endif
}

// Under watcher tracking: the listeners, told of every event of a watched dictionary before the
// change.  `key` is the key added, changed or removed (nullptr for other events); `added` says a
// key is being added.  At most kListeners.
using DictListener = void (*)(PyObject* dict, PyObject* key, bool added, bool keeps_keys) noexcept;
inline constexpr int kListeners = 2;
void add_dict_listener(DictListener listener) noexcept;

// Watches `dict`; false (no exception) when the interpreter has no watcher to spare, or without
// watcher tracking.
bool watch_dict(PyObject* dict) noexcept;

// Another extension may clear this module's watcher (PyDict_ClearWatcher), and the interpreter may
// hand its id out again: changes then go unreported.  Whoever finds what it remembered contradicted
// by the dictionary calls this: every listener is told to forget everything (a null `dict`), and
// nothing is watched from then on.
void distrust_watcher() noexcept;

}  // namespace mirvak::cpython
