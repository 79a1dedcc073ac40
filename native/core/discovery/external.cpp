// External plugin discovery: load the entry points that installed distributions advertise in
// the group ENTRYPOINT_GROUP, logging each before it is loaded.
//
// Only the order across distributions is fixed, since the file system's listing of
// site-packages must not decide which distribution wins a place; the rest of the selection's
// order is kept, and nothing is dropped or added.  Entry points without a distribution (3.9's,
// or any object a replaced entry_points gives) load first, in the selection's order; then the
// others grouped by the normalised name of their distribution (code-point order), each group
// in the selection's order, which is its entry_points.txt order.  The name is
// `dist._normalized_name`, which importlib.metadata takes from the .dist-info folder and reads
// METADATA (with the email parser) only where the folder cannot give it; `dist.name`,
// normalised alike, where a distribution lacks it.  A reading that raises an Exception, or a
// name that is not a str, counts as no distribution.  mirvak.health.order holds the same rule
// for the report.
#include <algorithm>
#include <memory>
#include <new>
#include <numeric>

#include "cpython/handled_exception.hpp"
#include "discovery/discovery.hpp"
#include "host/host.hpp"
#include "support/text.hpp"

namespace mirvak::discovery {
namespace {

support::StaticText kLoading[] = {support::StaticText("Loading external plugin "),
                                  support::StaticText(" from ")};
support::StaticText kDist("dist"), kNormalizedName("_normalized_name"), kLower("lower");

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

// Runs of "-", "_" and "." made one "_", then lower(), as importlib.metadata normalises a
// distribution's name.  `text` is a str; no Python code runs.
Ref normalised(PyObject* text) {
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
    if (!separator || !in_run) PyUnicode_WRITE(out_kind, out_data, written++, separator ? '_' : c);
    in_run = separator;
  }
  Ref squeezed = Ref::steal(PyUnicode_Substring(out.get(), 0, written));
  return squeezed ? Ref::steal(PyObject_CallMethodNoArgs(squeezed.get(), kLower.get())) : Ref();
}

// `plugin.dist._normalized_name`, or the normalised `plugin.dist.name` where the distribution
// lacks it; None (or whatever was read) where there is no str to normalise.
// CAUTION: may run arbitrary Python code (METADATA may be read).
Ref distribution_name(PyObject* plugin) {
  Ref dist = Ref::steal(PyObject_GetAttr(plugin, kDist.get()));
  if (!dist || dist.get() == Py_None) return dist;
  Ref read = Ref::steal(PyObject_GetAttr(dist.get(), kNormalizedName.get()));
  if (read || !PyErr_ExceptionMatches(PyExc_AttributeError)) return read;
  PyErr_Clear();
  read = Ref::steal(PyObject_GetAttr(dist.get(), name(Name::name)));
  if (read && PyUnicode_Check(read.get())) return normalised(read.get());
  return read;
}

// Sets `key` to the entry point's distribution key, an exact str, or leaves it empty without
// one.  An Exception raised while reading it is cleared (the plain loop never reads it); false
// with anything else set (KeyboardInterrupt).  CAUTION: may run arbitrary Python code.
bool read_distribution_key(PyObject* plugin, Ref& key) {
  Ref read = distribution_name(plugin);
  if (!read) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
  }
  if (!PyUnicode_Check(read.get())) return true;
  key = Ref::steal(PyUnicode_FromObject(read.get()));  // a subclass's text as an exact str
  return static_cast<bool>(key);
}

// The distribution key of each entry point and the positions in load order.  They live in
// memory of this call alone: plugin code, which runs while the keys are read and while the
// entry points load, can reach every Python object of the call (through gc.get_referrers),
// but not these.
class LoadOrder {
 public:
  explicit LoadOrder(Py_ssize_t size) noexcept
      : keys_(new (std::nothrow) Ref[static_cast<size_t>(size)]),
        order_(new (std::nothrow) Py_ssize_t[static_cast<size_t>(size)]),
        size_(size) {}

  bool ok() const noexcept { return keys_ && order_; }
  Ref& key(Py_ssize_t position) noexcept { return keys_[static_cast<size_t>(position)]; }
  Py_ssize_t operator[](Py_ssize_t i) const noexcept { return order_[static_cast<size_t>(i)]; }

  // Keyless first, then by key in code-point order; equal keys keep their positions' order.
  // The keys are exact strs: comparing them runs no Python code and cannot fail.
  void sort() noexcept {
    std::iota(order_.get(), order_.get() + size_, Py_ssize_t{0});
    std::stable_sort(order_.get(), order_.get() + size_, [this](Py_ssize_t a, Py_ssize_t b) {
      PyObject* left = key(a).get();
      PyObject* right = key(b).get();
      return right && (!left || PyUnicode_Compare(left, right) < 0);
    });
  }

 private:
  std::unique_ptr<Ref[]> keys_;
  std::unique_ptr<Py_ssize_t[]> order_;
  Py_ssize_t size_;
};

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
  // A tuple: plugin code may reach it but cannot change it, so its items stay where they are.
  Ref points = eps ? Ref::steal(PySequence_Tuple(eps.get())) : Ref();
  if (!points) return nullptr;
  const Py_ssize_t size = PyTuple_GET_SIZE(points.get());
  LoadOrder order(size);
  if (!order.ok()) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!read_distribution_key(PyTuple_GET_ITEM(points.get(), i), order.key(i))) return nullptr;
  }
  order.sort();
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!load(PyTuple_GET_ITEM(points.get(), order[i]))) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace mirvak::discovery
