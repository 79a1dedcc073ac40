// The module's dictionary watcher, made on first use and given back when the module goes.
#include "support/dict_watch.hpp"

#include "support/lifetime.hpp"

namespace mirvak::support {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

constexpr int kUnset = -1, kUnavailable = -2;

int changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
  instance_dict_changed(dict);
  text_keyed_changed(event, dict, key);
  return 0;
}

struct Watcher final : public ModuleState {
  int id = kUnset;
  void release() noexcept override {
    if (id >= 0) PyDict_ClearWatcher(id);
    id = kUnset;
  }
};
Watcher g_watcher;

}  // namespace

bool watch_dict(PyObject* dict) noexcept {
  if (g_watcher.id == kUnset) {
    g_watcher.id = PyDict_AddWatcher(changed);
    if (g_watcher.id < 0) g_watcher.id = kUnavailable;
  }
  if (g_watcher.id >= 0 && PyDict_Watch(g_watcher.id, dict) == 0) return true;
  PyErr_Clear();
  return false;
}
#endif

}  // namespace mirvak::support
