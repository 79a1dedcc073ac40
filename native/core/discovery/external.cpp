// External plugin discovery: load the entry points that installed distributions advertise in
// the group ENTRYPOINT_GROUP, logging each before it is loaded.
#include "cpython/handled_exception.hpp"
#include "discovery/discovery.hpp"
#include "host/host.hpp"
#include "support/text.hpp"

namespace mirvak::discovery {
namespace {

support::StaticText kLoading[] = {support::StaticText("Loading external plugin "),
                                  support::StaticText(" from ")};

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
  return cpython::on_exception(PyExc_TypeError, []() -> Ref {
    Ref all_points = host::global(Name::entry_points);
    Ref groups = all_points ? Ref::steal(PyObject_CallNoArgs(all_points.get())) : Ref();
    Ref get = groups ? Ref::steal(PyObject_GetAttr(groups.get(), name(Name::get))) : Ref();
    Ref group_name = get ? host::global(Name::ENTRYPOINT_GROUP) : Ref();
    Ref fallback = group_name ? Ref::steal(PyList_New(0)) : Ref();
    PyObject* get_args[] = {group_name.get(), fallback.get()};
    return fallback ? Ref::steal(PyObject_Vectorcall(get.get(), get_args, 2, nullptr)) : Ref();
  });
}

// "Loading external plugin " + str(plugin.name) + " from " + str(plugin.module)
Ref loading_text(PyObject* plugin) {
  support::Sum text;
  Ref plugin_name = Ref::steal(PyObject_GetAttr(plugin, name(Name::name)));
  text.add(kLoading[0].get()).add_str_of(plugin_name.get()).add(kLoading[1].get());
  if (!text.ok()) return Ref();
  Ref module = Ref::steal(PyObject_GetAttr(plugin, name(Name::module)));
  return text.add_str_of(module.get()).result();
}

bool load(PyObject* plugin) {
  if (!host::log_debug([plugin] { return loading_text(plugin); })) return false;
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
