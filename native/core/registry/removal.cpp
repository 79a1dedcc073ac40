// Removal: every identifier must name an existing node; then one chassis type, or the node's
// whole chassis mapping, is deleted.  Nodes are never deleted.
#include "host/host.hpp"
#include "registry/registry.hpp"
#include "registry/tree.hpp"

namespace mirvak::registry {
namespace {

constexpr const char kNotFound[] = "Plugin data not found";
constexpr const char kChassisNotFound[] = "Plugin data not found for %S";

// The node the whole path names, or ConnectionInfraError at the first missing member.
Ref walk_strict(PyObject* self, const LevelPath& path, calls::InstanceView* view) {
  Ref node = root(self, view);
  for (Py_ssize_t i = 0; node && i < path.size(); ++i) {
    Ref child;
    const int present = has_key(node.get(), path[i], &child);
    if (present <= 0) {
      if (present == 0) host::raise_connection_error(kNotFound);
      return Ref();
    }
    node = item_after(node.get(), path[i], std::move(child));
  }
  return node;
}

bool remove_chassis_type(PyObject* node, PyObject* chassis_type, Ref data) {
  data = item_after(node, name(Name::data), std::move(data));
  int present = data ? has_key(data.get(), chassis_type) : -1;
  if (present < 0) return false;
  if (present) return del_item(data.get(), chassis_type);
  host::raise_connection_error(
      [&] { return Ref::steal(PyUnicode_FromFormat(kChassisNotFound, chassis_type)); });
  return false;
}

}  // namespace

PyObject* unregister_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type) noexcept {
  calls::InstanceView view;
  if (!validate(self, os, platform, model, name(Name::single_rp), &view)) return nullptr;
  if (!LevelPath::plain(os, platform, model, os_flavor)) view.drop();
  LevelPath path;
  Ref node = path.build(os, platform, model, os_flavor) ? walk_strict(self, path, &view) : Ref();
  if (!node) return nullptr;
  Ref data;
  const int has_data = has_key(node.get(), Name::data, &data);
  if (has_data <= 0) return has_data < 0 ? nullptr : host::raise_connection_error(kNotFound);
  const bool removed = chassis_type == Py_None
                           ? del_item(node.get(), name(Name::data))
                           : remove_chassis_type(node.get(), chassis_type, std::move(data));
  if (!removed) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace mirvak::registry
