// Lookup: descend as far as the identifiers lead, skipping those without a node, and return
// the class registered at the final node for the chassis type.
#include "host/host.hpp"
#include "registry/registry.hpp"
#include "registry/tree.hpp"
#include "support/text.hpp"

namespace mirvak::registry {
namespace {

// "Plugin data not found for (" + "/".join(path) + "), type: " + str(chassis_type) + " "
support::StaticText kNotFound[] = {support::StaticText("Plugin data not found for ("),
                                   support::StaticText("), type: "), support::StaticText(" ")};

PyObject* raise_not_found(const LevelPath& path, PyObject* chassis_type) {
  return host::raise_connection_error([&] {
    return support::Sum()
        .add(kNotFound[0].get())
        .add_joined_str_of(path.members(), path.size(), name(Name::slash))
        .add(kNotFound[1].get())
        .add_str_of(chassis_type)
        .add(kNotFound[2].get())
        .result();
  });
}

// The deepest node the path reaches, skipping members that have no node.
Ref descend(PyObject* self, const LevelPath& path, calls::InstanceView* view) {
  Ref node = root(self, view);
  for (Py_ssize_t i = 0; node && i < path.size(); ++i) {
    Ref child;
    const int present = has_key(node.get(), path[i], &child);
    if (present < 0) return Ref();
    if (present) node = item_after(node.get(), path[i], std::move(child));
  }
  return node;
}

// `root["data"][chassis_type]["cls"]` once `"data" in root.keys() and chassis_type in
// root["data"].keys()` held; the lookups of the test are reused when they ran no Python code.
Ref registered_class(PyObject* node, PyObject* chassis_type, Ref data, Ref record) {
  if (!data || !record) {
    data = item(node, name(Name::data));
    record = data ? item(data.get(), chassis_type) : Ref();
  }
  return record ? item(record.get(), Name::cls) : Ref();
}

}  // namespace

PyObject* get_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type) noexcept {
  calls::InstanceView view;
  if (!validate(self, os, platform, model, chassis_type, &view)) return nullptr;
  if (!LevelPath::plain(os, platform, model, os_flavor)) view.drop();
  LevelPath path;
  Ref node = path.build(os, platform, model, os_flavor) ? descend(self, path, &view) : Ref();
  if (!node) return nullptr;
  Ref peeked_data, data, peeked_record;
  int found = has_key(node.get(), Name::data, &peeked_data);
  if (found > 0) {
    const bool plain = static_cast<bool>(peeked_data);
    data = item_after(node.get(), name(Name::data), std::move(peeked_data));
    found = data ? has_key(data.get(), chassis_type, &peeked_record) : -1;
    if (!plain) data = Ref();
  }
  if (found <= 0) return found < 0 ? nullptr : raise_not_found(path, chassis_type);
  return registered_class(node.get(), chassis_type, std::move(data), std::move(peeked_record))
      .release();
}

}  // namespace mirvak::registry
