// External plugin discovery: load the entry points that installed distributions advertise in
// the group ENTRYPOINT_GROUP, logging each before it is loaded.
#include "discovery/discovery.hpp"
#include "host/host.hpp"
#include "support/handler.hpp"

namespace mirvak::discovery {
namespace {

constexpr const char kLoading[] = "Loading external plugin %S from %S";

// `entry_points(group=ENTRYPOINT_GROUP)`, or on TypeError (3.9's entry_points takes no
// keyword) `entry_points().get(ENTRYPOINT_GROUP, [])`.
Ref select_entry_points() {
  Ref select = host::global(Name::entry_points);
  Ref group = select ? host::global(Name::ENTRYPOINT_GROUP) : Ref();
  Ref kwnames = Ref::steal(PyTuple_Pack(1, name(Name::group)));
  if (!group || !kwnames) return Ref();
  PyObject* args[] = {group.get()};
  Ref selected = Ref::steal(PyObject_Vectorcall(select.get(), args, 0, kwnames.get()));
  if (selected) return selected;
  return support::on_exception(PyExc_TypeError, []() -> Ref {
    Ref all_points = host::global(Name::entry_points);
    Ref groups = all_points ? Ref::steal(PyObject_CallNoArgs(all_points.get())) : Ref();
    Ref group_name = groups ? host::global(Name::ENTRYPOINT_GROUP) : Ref();
    Ref fallback = group_name ? Ref::steal(PyList_New(0)) : Ref();
    return fallback ? Ref::steal(PyObject_CallMethodObjArgs(
                          groups.get(), name(Name::get), group_name.get(), fallback.get(), nullptr))
                    : Ref();
  });
}

bool load(PyObject* plugin) {
  Ref plugin_name = Ref::steal(PyObject_GetAttr(plugin, name(Name::name)));
  Ref name_text = plugin_name ? Ref::steal(PyObject_Str(plugin_name.get())) : Ref();
  Ref module = name_text ? Ref::steal(PyObject_GetAttr(plugin, name(Name::module))) : Ref();
  Ref text =
      module ? Ref::steal(PyUnicode_FromFormat(kLoading, name_text.get(), module.get())) : Ref();
  if (!text || !host::log_debug(text.get())) return false;
  return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(plugin, name(Name::load))));
}

}  // namespace

PyObject* discover_external_plugins() noexcept {
  Ref eps = select_entry_points();
  Ref iterator = eps ? Ref::steal(PyObject_GetIter(eps.get())) : Ref();
  if (!iterator) return nullptr;
  while (Ref plugin = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!load(plugin.get())) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace mirvak::discovery
