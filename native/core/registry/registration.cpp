// Registration: store a connection class under its identifiers; the last registration for a
// node and chassis type wins, and replacing one is noted in a debug record.
#include "cpython/compat.hpp"
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

// Walks the path from the root, creating each missing node; returns the target node.
Ref walk_creating(PyObject* self, const LevelPath& path) {
  Ref node = root(self);
  for (Py_ssize_t i = 0; node && i < path.size(); ++i) node = child_creating(node.get(), path[i]);
  return node;
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

bool store(PyObject* target, PyObject* cls, PyObject* chassis_type, PyObject* class_path,
           const LevelPath& path) {
  Ref data;
  const int has_data = has_key(target, Name::data, &data);
  if (has_data < 0) return false;
  Ref record = make_record(cls, class_path);
  if (!record) return false;
  if (!has_data) {
    data = Ref::steal(PyDict_New());
    return data && PyDict_SetItem(data.get(), chassis_type, record.get()) == 0 &&
           set_item(target, name(Name::data), data.get());
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
  LevelPath path;
  if (!path.build(os, platform, model, os_flavor) || !all_hashable(path, chassis_type))
    return nullptr;
  Ref class_path = host::source_file(cls);
  Ref target = class_path ? walk_creating(self, path) : Ref();
  if (!target || !store(target.get(), cls, chassis_type, class_path.get(), path)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace mirvak::registry
