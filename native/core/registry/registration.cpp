// Registration: store a connection class under its identifiers; the last registration for a
// node and chassis type wins, and replacing one is noted in a debug record.
#include "calls/text_keyed.hpp"
#include "cpython/compat.hpp"
#include "cpython/config.hpp"
#include "cpython/free_threading.hpp"
#include "cpython/heap_type.hpp"
#include "host/host.hpp"
#include "registry/registry.hpp"
#include "registry/tree.hpp"
#include "support/text.hpp"

namespace mirvak::registry {
namespace {

// " {} already registered for {}, {} from {} is overriding this class".format(...), whose
// fields are each format(value, ""), between these pieces of text.
support::StaticText kReplaced[] = {support::StaticText(" "),
                                   support::StaticText(" already registered for "),
                                   support::StaticText(", "), support::StaticText(" from "),
                                   support::StaticText(" is overriding this class")};

// A new plugin record: "cls", then "path".
Ref make_record(PyObject* cls, PyObject* class_path) {
  Ref record = Ref::steal(PyDict_New());
  if (!record || PyDict_SetItem(record.get(), name(Name::cls), cls) < 0 ||
      PyDict_SetItem(record.get(), name(Name::path), class_path) < 0)
    return Ref();
  return record;
}

// Every member, and the chassis type, must hash before any node is made, so that a failure
// leaves the tree as it was.
bool all_hashable(const LevelPath& path, PyObject* chassis_type) {
  for (Py_ssize_t i = 0; i < path.size(); ++i) {
    if (PyObject_Hash(path[i]) == -1) return false;
  }
  return PyObject_Hash(chassis_type) != -1;
}

// `if key not in node.keys(): node[key] = {}`, then `node[key]`.
Ref child_creating(PyObject* node, PyObject* key) {
  Ref child;
  const int present = has_key(node, key, &child);
  if (present < 0) return Ref();
  if (!present) {
    const bool plain = store_is_plain(node, key);
    Ref made = Ref::steal(PyDict_New());
    if (!made || !set_item(node, key, made.get())) return Ref();
    if (plain) child = std::move(made);
  }
  return item_after(node, key, std::move(child));
}

// Walks the path from `node`, creating each missing node; returns the target node.
Ref walk_creating(Ref node, const LevelPath& path) {
  for (Py_ssize_t i = 0; node && i < path.size(); ++i) node = child_creating(node.get(), path[i]);
  return node;
}

// Without the GIL, other threads may register at once.  Where the walk runs no Python code (exact
// dicts with exact str keys, exact str members and chassis type), the nodes from the first missing
// level down are made privately, with the record in place, and published with one insert-if-absent:
// another thread sees no new branch or a complete one, and of two threads that make the same node,
// one node stays and both records go into it.
bool plain_registration(PyObject* tree, const LevelPath& path, PyObject* chassis_type) {
  if (!cpython::kFreeThreaded || !PyDict_CheckExact(tree) || !PyUnicode_CheckExact(chassis_type))
    return false;
  for (Py_ssize_t i = 0; i < path.size(); ++i) {
    if (!PyUnicode_CheckExact(path[i])) return false;
  }
  return true;
}

// {path[first]: {... {"data": {chassis_type: record}}}}: what a node at `first - 1` gains.
Ref branch(const LevelPath& path, Py_ssize_t first, PyObject* chassis_type, PyObject* record) {
  Ref node = Ref::steal(PyDict_New());
  if (!node || PyDict_SetItem(node.get(), chassis_type, record) < 0) return Ref();
  PyObject* key = name(Name::data);
  for (Py_ssize_t i = path.size(); i >= first; --i) {
    Ref parent = Ref::steal(PyDict_New());
    if (!parent || PyDict_SetItem(parent.get(), key, node.get()) < 0) return Ref();
    node = std::move(parent);
    key = i > first ? path[i - 1] : nullptr;
  }
  return node;
}

// Publishes the branch from the first missing level; `*published` tells whether it did: not when
// every level exists (possibly made by another thread meanwhile), nor when looking a level up
// could run Python code (the walk then goes step by step).  False with an exception set.
bool publish(Ref node, const LevelPath& path, PyObject* chassis_type, PyObject* record,
             bool* published) {
  for (Py_ssize_t i = 0; i < path.size(); ++i) {
    if (!PyUnicode_CheckExact(path[i]) || !calls::maybe_text_keyed(node.get())) return true;
    PyObject* child;
    int present = cpython::dict_item(node.get(), path[i], &child);
    if (present == 0) {
      Ref made = branch(path, i + 1, chassis_type, record);
      if (!made) return false;
      present = PyDict_SetDefaultRef(node.get(), path[i], made.get(), &child);
      *published = present == 0;
    }
    Ref held = Ref::steal(child);
    if (present < 0) return false;
    if (*published) return true;
    node = std::move(held);
  }
  return true;
}

// `cls.__name__` or `cls.__module__`.  For a class made by `type` itself these are the
// metatype's data descriptors, whatever the class holds: read here as they read them.
Ref class_attribute(PyObject* cls, Name attribute) {
  if (attribute == Name::dunder_name) {
    if (PyObject* type_name = cpython::heap_type_name(cls)) return Ref::borrow(type_name);
  } else if (PyObject* type_dict = cpython::heap_type_dict(cls)) {
    PyObject* module = PyDict_GetItemWithError(type_dict, name(Name::dunder_module));
    if (module != nullptr) return Ref::borrow(module);
    if (PyErr_Occurred()) return Ref();
  }
  return Ref::steal(PyObject_GetAttr(cls, name(attribute)));
}

// The replacement record's text, its values read in the order of the format call's arguments.
Ref replacement_text(PyObject* existing, const LevelPath& level_path, PyObject* cls) {
  Ref existing_name = class_attribute(existing, Name::dunder_name);
  Ref cls_name = existing_name ? class_attribute(cls, Name::dunder_name) : Ref();
  Ref cls_module = cls_name ? class_attribute(cls, Name::dunder_module) : Ref();
  if (!cls_module) return Ref();
  PyObject* values[] = {existing_name.get(), nullptr, cls_name.get(), cls_module.get()};
  Ref fields[4];
  for (int i = 0; i < 4; ++i) {
    fields[i] = values[i] ? Ref::steal(PyObject_Format(values[i], name(Name::empty)))  // "{}"
                          : level_path.list_text();
    if (!fields[i]) return Ref();
  }
  return support::concat({kReplaced[0].get(), fields[0].get(), kReplaced[1].get(), fields[1].get(),
                          kReplaced[2].get(), fields[2].get(), kReplaced[3].get(), fields[3].get(),
                          kReplaced[4].get()});
}

// `existing_cls = data[chassis_type]["cls"]`, then the debug record of the replacement.
bool log_replacement(PyObject* data, PyObject* chassis_type, Ref record,
                     const LevelPath& level_path, PyObject* cls) {
  record = item_after(data, chassis_type, std::move(record));
  Ref existing = record ? item(record.get(), Name::cls) : Ref();
  return existing &&
         host::log_debug([&] { return replacement_text(existing.get(), level_path, cls); });
}

// `target["data"] = {chassis_type: record}` when the node has no chassis mapping; without the GIL
// an insert-if-absent, which leaves `*data` set when another thread made the mapping meanwhile.
bool store_new_mapping(PyObject* target, PyObject* chassis_type, PyObject* record, Ref* data) {
  Ref made = Ref::steal(PyDict_New());
  if (!made || PyDict_SetItem(made.get(), chassis_type, record) < 0) return false;
  if (!cpython::kFreeThreaded || !calls::maybe_text_keyed(target))
    return set_item(target, name(Name::data), made.get());
  PyObject* existing;
  const int present = PyDict_SetDefaultRef(target, name(Name::data), made.get(), &existing);
  if (present > 0) {
    *data = Ref::steal(existing);
  } else {
    Py_XDECREF(existing);  // the mapping made here, now in the tree
  }
  return present >= 0;
}

bool store(PyObject* target, PyObject* cls, PyObject* chassis_type, PyObject* class_path,
           const LevelPath& path) {
  Ref data;
  const int has_data = has_key(target, Name::data, &data);
  if (has_data < 0) return false;
  Ref record = make_record(cls, class_path);
  if (!record) return false;
  if (!has_data) {
    if (!store_new_mapping(target, chassis_type, record.get(), &data)) return false;
    if (!data) return true;
  }
  data = item_after(target, name(Name::data), std::move(data));
  Ref existing;
  const int replacing = data ? has_key(data.get(), chassis_type, &existing) : -1;
  if (replacing < 0 ||
      (replacing && !log_replacement(data.get(), chassis_type, std::move(existing), path, cls)))
    return false;
  return set_item(data.get(), chassis_type, record.get()) &&
         set_item(target, name(Name::data), data.get());
}

}  // namespace

PyObject* register_plugin(PyObject* self, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type) noexcept {
  // The class's source file is looked up before the tree is read: the view serves validation.
  calls::InstanceView view;
  if (!validate(self, os, platform, model, chassis_type, &view)) return nullptr;
  view.drop();  // what it holds goes as it would in Python: the walk reads the tree afresh
  LevelPath path;
  if (!path.build(os, platform, model, os_flavor) || !all_hashable(path, chassis_type))
    return nullptr;
  Ref class_path = host::source_file(cls);
  Ref tree = class_path ? root(self) : Ref();
  if (!tree) return nullptr;
  if (plain_registration(tree.get(), path, chassis_type)) {
    Ref record = make_record(cls, class_path.get());
    bool published = false;
    if (!record || !publish(Ref::borrow(tree.get()), path, chassis_type, record.get(), &published))
      return nullptr;
    if (published) Py_RETURN_NONE;
  }
  // Every node exists (or a level is not plain): the walk goes step by step, as Python's does.
  Ref target = walk_creating(std::move(tree), path);
  if (!target || !store(target.get(), cls, chassis_type, class_path.get(), path)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace mirvak::registry
