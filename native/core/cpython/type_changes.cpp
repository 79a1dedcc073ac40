// The module's type watcher, and the weak references that tell when a stamped type goes.
#include "cpython/type_changes.hpp"

#include "support/lifetime.hpp"

namespace mirvak::cpython {
namespace {

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
constexpr int kUnset = -1, kUnavailable = -2;
constexpr int kKnown = 4;  // types given stamps whose going is watched

struct Known {
  PyTypeObject* type;  // only compared with; nullptr: free
  PyObject* weak;      // a weak reference to it, owned
};

unsigned int g_changes = 1;

void moved_on() noexcept {
  if (++g_changes == 0) g_changes = 1;  // 0 stands for no stamp
}

int changed(PyTypeObject*) noexcept {
  moved_on();
  return 0;
}

PyObject* gone(PyObject*, PyObject* weak) noexcept;
PyMethodDef g_gone_def = {"_type_gone", gone, METH_O, nullptr};

// Made when the module runs.
struct Watcher final : public support::MadeAtStart {
  int id = kUnset;
  PyObject* on_gone = nullptr;  // owned
  Known known[kKnown] = {};
  int next = 0;

  bool make() noexcept override {
    if (!kWatchedTypes || id != kUnset) return true;
    on_gone = PyCFunction_New(&g_gone_def, nullptr);
    if (on_gone == nullptr) return false;
    id = PyType_AddWatcher(changed);
    if (id < 0) {
      PyErr_Clear();  // none to spare: nothing is kept
      id = kUnavailable;
    }
    return true;
  }
  void forget_known() noexcept {
    for (Known& entry : known) {
      entry.type = nullptr;
      Py_CLEAR(entry.weak);
    }
  }
  void release() noexcept override {
    if (id >= 0) PyType_ClearWatcher(id);
    id = kUnset;
    forget_known();
    Py_CLEAR(on_gone);
    moved_on();
  }

  // Watches for the type's going; false when it cannot be.
  bool know(PyTypeObject* type) noexcept {
    for (const Known& entry : known) {
      if (entry.type == type) return true;
    }
    // No collection while it is made: its finalisers would run Python code, which a stamp's
    // callers do not expect.
    const int collecting = PyGC_Disable();
    PyObject* weak = PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), on_gone);
    if (collecting) PyGC_Enable();
    if (weak == nullptr) {
      PyErr_Clear();
      return false;
    }
    Known& slot = known[next];
    next = (next + 1) % kKnown;
    if (slot.type != nullptr) moved_on();  // its going is no longer seen
    Py_XDECREF(slot.weak);                 // a weak reference: dropping it runs no Python code
    slot = {type, weak};
    return true;
  }
};
Watcher g_watcher;

PyObject* gone(PyObject*, PyObject* weak) noexcept {
  moved_on();
  for (Known& entry : g_watcher.known) {
    if (entry.weak == weak) {
      entry.type = nullptr;
      Py_CLEAR(entry.weak);
    }
  }
  Py_RETURN_NONE;
}
#endif

}  // namespace

bool watched_type_stamp(PyTypeObject* type, unsigned int* stamp) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
  if (g_watcher.id < 0 || !g_watcher.know(type)) return false;
  if (PyType_Watch(g_watcher.id, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();  // the watcher was cleared by someone else
    distrust_type_watcher();
    return false;
  }
  if (PyUnstable_Type_AssignVersionTag(type) == 0) return false;
  *stamp = g_changes;
  return true;
#else
  (void)type, (void)stamp;
  return false;
#endif
}

void distrust_type_watcher() noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
  g_watcher.id = kUnavailable;  // no longer ours to clear either
  moved_on();
#endif
}

}  // namespace mirvak::cpython
