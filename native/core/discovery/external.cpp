// External plugin discovery: load the entry points that installed distributions advertise in
// the group ENTRYPOINT_GROUP, logging each before it is loaded.
//
// They load in a fixed order, whatever order the file system lists site-packages in: by
// normalised distribution name, then entry-point name, then value (code-point order, a stable
// sort); an entry listed twice loads once.  The distribution is `ep.dist.name`; an entry point
// without a distribution (3.9's, or a stand-in object) sorts under "".  A part whose reading
// raises counts as "" and never makes the entry a duplicate; the plain loop raises it later.
// mirvak.health.order holds the same rule for the report.
#include "cpython/handled_exception.hpp"
#include "discovery/discovery.hpp"
#include "host/host.hpp"
#include "support/text.hpp"

namespace mirvak::discovery {
namespace {

support::StaticText kLoading[] = {support::StaticText("Loading external plugin "),
                                  support::StaticText(" from ")};
support::StaticText kDist("dist"), kValue("value"), kLower("lower");

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

// An exact str of a sort-key part: `read` unless it is nullptr.  A failed reading (an
// Exception, not KeyboardInterrupt) gives "" and marks the key incomplete; nullptr for anything
// else, with the exception set.
Ref key_part(Ref read, bool& complete) {
  if (read) return Ref::steal(PyUnicode_FromObject(read.get()));
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
  PyErr_Clear();
  complete = false;
  return Ref::borrow(name(Name::empty));
}

// str(getattr(plugin, attribute)).  CAUTION: may run arbitrary Python code.
Ref text_of(PyObject* plugin, PyObject* attribute, bool& complete) {
  Ref value = Ref::steal(PyObject_GetAttr(plugin, attribute));
  return key_part(value ? Ref::steal(PyObject_Str(value.get())) : Ref(), complete);
}

// Runs of "-", "_" and "." made one "-", as package indexes compare names (after lower()).
Ref squeezed(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Ref out = Ref::steal(PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(text)));
  if (!out) return Ref();
  const int out_kind = PyUnicode_KIND(out.get());
  void* out_data = PyUnicode_DATA(out.get());
  Py_ssize_t written = 0;
  bool in_run = false;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    const bool separator = c == '-' || c == '_' || c == '.';
    if (!separator || !in_run) PyUnicode_WRITE(out_kind, out_data, written++, separator ? '-' : c);
    in_run = separator;
  }
  return Ref::steal(PyUnicode_Substring(out.get(), 0, written));
}

// The normalised `plugin.dist.name`; "" without a distribution (no `dist`, or None) or when
// its name is not a str.  CAUTION: may run arbitrary Python code (metadata is read).
Ref distribution_key(PyObject* plugin, bool& complete) {
  Ref dist = Ref::steal(PyObject_GetAttr(plugin, kDist.get()));
  if (!dist && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    dist = Ref::none();
  }
  if (!dist) return key_part(Ref(), complete);
  Ref dist_name = dist.get() == Py_None
                      ? Ref::none()
                      : Ref::steal(PyObject_GetAttr(dist.get(), name(Name::name)));
  if (dist_name && !PyUnicode_Check(dist_name.get())) return Ref::borrow(name(Name::empty));
  Ref text = key_part(std::move(dist_name), complete);
  Ref lowered = text ? Ref::steal(PyObject_CallMethodNoArgs(text.get(), kLower.get())) : Ref();
  return lowered ? squeezed(lowered.get()) : Ref();
}

// (distribution, name, value, position, complete): exact strs, then a unique int, so sorting
// the tuples is stable, compares texts by code point and runs no Python code.
Ref sort_key(PyObject* plugin, Py_ssize_t position) {
  bool complete = true;
  Ref dist = distribution_key(plugin, complete);
  Ref text_name = dist ? text_of(plugin, name(Name::name), complete) : Ref();
  Ref value = text_name ? text_of(plugin, kValue.get(), complete) : Ref();
  Ref index = value ? Ref::steal(PyLong_FromSsize_t(position)) : Ref();
  if (!index) return Ref();
  return Ref::steal(PyTuple_Pack(5, dist.get(), text_name.get(), value.get(), index.get(),
                                 complete ? Py_True : Py_False));
}

// The first three parts are equal, and both keys were read in full.
bool same_entry(PyObject* key, PyObject* other) {
  if (PyTuple_GET_ITEM(key, 4) != Py_True || PyTuple_GET_ITEM(other, 4) != Py_True) return false;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    if (PyUnicode_Compare(PyTuple_GET_ITEM(key, i), PyTuple_GET_ITEM(other, i)) != 0) return false;
  }
  return true;
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
  // Tuples: loading a plugin runs Python code, which may reach any list of this call (through
  // gc.get_referrers) but can change no tuple.
  Ref points = eps ? Ref::steal(PySequence_Tuple(eps.get())) : Ref();
  Ref keys = points ? Ref::steal(PyList_New(0)) : Ref();
  if (!keys) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(points.get()); ++i) {
    Ref key = sort_key(PyTuple_GET_ITEM(points.get(), i), i);
    if (!key || PyList_Append(keys.get(), key.get()) < 0) return nullptr;
  }
  if (PyList_Sort(keys.get()) < 0) return nullptr;
  Ref order = Ref::steal(PyList_AsTuple(keys.get()));
  if (!order) return nullptr;
  PyObject* previous = nullptr;  // borrowed from `order`, which holds it
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.get()); ++i) {
    PyObject* key = PyTuple_GET_ITEM(order.get(), i);
    if (previous && same_entry(key, previous)) continue;
    if (PyTuple_GET_ITEM(key, 4) == Py_True) previous = key;
    const Py_ssize_t position = PyLong_AsSsize_t(PyTuple_GET_ITEM(key, 3));
    if (!load(PyTuple_GET_ITEM(points.get(), position))) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace mirvak::discovery
