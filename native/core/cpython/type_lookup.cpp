// The public twin's walk of a type's MRO.
#include "cpython/type_lookup.hpp"

#include "cpython/compat.hpp"
#include "support/lifetime.hpp"

namespace mirvak::cpython {
namespace {

// Names `object` was found to lack, compared by address: every name looked up is one the module
// holds for its life.
struct ObjectLacks final : public support::ModuleState {
  static constexpr int kNames = 24;
  PyObject* names[kNames] = {};
  int count = 0;
  bool has(PyObject* name) const noexcept {
    for (int i = 0; i < count; ++i) {
      if (names[i] == name) return true;
    }
    return false;
  }
  void add(PyObject* name) noexcept {
    if (count < kNames) names[count++] = name;
  }
  void release() noexcept override { count = 0; }
};
ObjectLacks g_object_lacks;

PyObject* own_entry(PyTypeObject* base, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* dict = PyType_GetDict(base);
  PyObject* found = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
  Py_XDECREF(dict);  // its class keeps it
#else
  PyObject* dict = base->tp_dict;  // a class keeps its dictionary for its life
  PyObject* found = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
#endif
  if (found == nullptr && PyErr_Occurred()) PyErr_Clear();
  return found;
}

}  // namespace

PyObject* walk_mro(PyTypeObject* type, PyObject* name) noexcept {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr) return nullptr;
  Py_INCREF(mro);  // a key's __eq__ in a dictionary may assign __bases__
  PyObject* found = nullptr;
  for (Py_ssize_t i = 0; found == nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    const bool object = base == &PyBaseObject_Type;
    if (object && g_object_lacks.has(name)) continue;
    found = own_entry(base, name);
    if (object && found == nullptr) g_object_lacks.add(name);
  }
  Py_DECREF(mro);
  return found;
}

}  // namespace mirvak::cpython
