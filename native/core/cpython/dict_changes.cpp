// The module's dictionary watcher, made on first use and given back when the module goes.
#include "cpython/dict_changes.hpp"

#include "support/lifetime.hpp"

namespace mirvak::cpython {
namespace {

DictListener g_listeners[kListeners] = {};

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kUnset = -1, kUnavailable = -2;

int changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
  const bool added = event == PyDict_EVENT_ADDED;
  // Events that leave every key an exact str if they were: a value replaced, a key removed, the
  // dictionary cleared.
  const bool keeps_keys = event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED ||
                          event == PyDict_EVENT_CLEARED;
  const bool with_key = added || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
  for (DictListener listener : g_listeners) {
    if (listener != nullptr) listener(dict, with_key ? key : nullptr, added, keeps_keys);
  }
  return 0;
}

// Made when the module runs: two threads must not race to make it.
struct Watcher final : public support::MadeAtStart {
  int id = kUnset;
  bool make() noexcept override {
    if (kDictTracking != Tracking::watcher || id != kUnset) return true;
    id = PyDict_AddWatcher(changed);
    if (id < 0) {
      PyErr_Clear();  // none to spare: nothing is tracked
      id = kUnavailable;
    }
    return true;
  }
  void release() noexcept override {
    if (id >= 0) PyDict_ClearWatcher(id);
    id = kUnset;
  }
};
Watcher g_watcher;
#endif

}  // namespace

void add_dict_listener(DictListener listener) noexcept {
  for (DictListener& slot : g_listeners) {
    if (slot == listener) return;
    if (slot == nullptr) {
      slot = listener;
      return;
    }
  }
}

bool watch_dict(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (g_watcher.id >= 0 && PyDict_Watch(g_watcher.id, dict) == 0) return true;
  PyErr_Clear();
#else
  (void)dict;
#endif
  return false;
}

void distrust_watcher() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  g_watcher.id = kUnavailable;  // no longer ours to clear either
#endif
  for (DictListener listener : g_listeners) {
    if (listener != nullptr) listener(nullptr, nullptr, false, false);
  }
}

}  // namespace mirvak::cpython
