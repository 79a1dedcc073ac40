// Every plugin record of a registry tree by place and chassis type: the health report takes
// one such snapshot after each plugin source, so it has to be cheap.
#include "cpython/compat.hpp"
#include "cpython/free_threading.hpp"
#include "discovery/discovery.hpp"
#include "support/ref.hpp"

namespace mirvak::discovery {
namespace {

bool is_data_key(PyObject* key) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "data") == 0;
}

struct Listing {
  PyObject* records;   // (place, chassis_type) -> record
  PyObject* previous;  // the same, from an earlier listing
  PyObject* changed;   // keys whose record is not the very object that `previous` holds
};

// CAUTION: hashing a key may run arbitrary Python code
bool add(const Listing& listing, PyObject* key, PyObject* record) {
  PyObject* found;
  if (PyDict_GetItemRef(listing.previous, key, &found) < 0) return false;
  Ref before = Ref::steal(found);
  if (before.get() != record && PyList_Append(listing.changed, key) < 0) return false;
  return PyDict_SetItem(listing.records, key, record) == 0;
}

// A key's hash may run Python code that changes the dictionary being walked: the walk then
// stops as iterating it in Python would.
bool unchanged(PyObject* dict, Py_ssize_t size) {
  if (PyDict_GET_SIZE(dict) == size) return true;
  PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
  return false;
}

bool collect_data(PyObject* place, PyObject* data, const Listing& listing) {
  Ref held = Ref::borrow(data);
  const Py_ssize_t size = PyDict_GET_SIZE(data);
  Py_ssize_t position = 0;
  Ref chassis_type, record;
  while (cpython::dict_next(held.get(), &position, &chassis_type, &record)) {
    Ref key = Ref::steal(PyTuple_Pack(2, place, chassis_type.get()));
    if (!key || !add(listing, key.get(), record.get()) || !unchanged(data, size)) return false;
  }
  return true;
}

Ref extended(PyObject* place, PyObject* member) {
  const Py_ssize_t size = PyTuple_GET_SIZE(place);
  Ref longer = Ref::steal(PyTuple_New(size + 1));
  if (!longer) return Ref();
  for (Py_ssize_t i = 0; i < size; ++i)
    PyTuple_SET_ITEM(longer.get(), i, Py_NewRef(PyTuple_GET_ITEM(place, i)));
  PyTuple_SET_ITEM(longer.get(), size, Py_NewRef(member));
  return longer;
}

bool collect(PyObject* place, PyObject* node, const Listing& listing) {
  if (Py_EnterRecursiveCall(" while listing the records of a registry tree")) return false;
  Ref held = Ref::borrow(node);
  const Py_ssize_t size = PyDict_GET_SIZE(node);
  Py_ssize_t position = 0;
  Ref key, value;
  bool ok = true;
  while (ok && cpython::dict_next(held.get(), &position, &key, &value)) {
    if (!PyDict_Check(value.get())) continue;
    if (is_data_key(key.get())) {
      ok = collect_data(place, value.get(), listing);
    } else {
      Ref child = extended(place, key.get());
      ok = child && collect(child.get(), value.get(), listing);
    }
    ok = ok && unchanged(node, size);
  }
  Py_LeaveRecursiveCall();
  return ok;
}

}  // namespace

PyObject* tree_records(PyObject* tree, PyObject* previous) noexcept {
  if (!PyDict_Check(previous)) {
    PyErr_SetString(PyExc_TypeError, "records: previous must be a dict");
    return nullptr;
  }
  Ref records = Ref::steal(PyDict_New());
  Ref changed = Ref::steal(PyList_New(0));
  Ref root = Ref::steal(PyTuple_New(0));
  if (!records || !changed || !root) return nullptr;
  Ref held_previous = Ref::borrow(previous);
  const Listing listing{records.get(), held_previous.get(), changed.get()};
  if (PyDict_Check(tree) && !collect(root.get(), tree, listing)) return nullptr;
  return PyTuple_Pack(2, records.get(), changed.get());
}

}  // namespace mirvak::discovery
