// Remembered readings, one per recently seen instance dictionary, and the per-operation view.
#include "calls/instance_view.hpp"

#include <utility>

#include "calls/self_call.hpp"
#include "calls/sought_names.hpp"
#include "cpython/compat.hpp"
#include "cpython/free_threading.hpp"
#include "cpython/type_changes.hpp"
#include "cpython/type_lookup.hpp"
#include "support/lifetime.hpp"
#include "support/methods.hpp"
#include "support/text.hpp"

namespace mirvak::calls {
namespace {

using cpython::kDictTracking;
using cpython::Tracking;
using support::method_count;

int probe(PyObject* dict, PyObject* name, Ref* value) {
  Ref held = Ref::borrow(dict);  // a key's __eq__ may replace the instance's dictionary
  PyObject* found;
  const int status = cpython::dict_item(held.get(), name, &found);  // CAUTION: a key's __eq__
  *value = Ref::steal(found);
  return status;
}

// Reads the keys of an exact dict: false (and nothing more read) at a key that is not an exact
// str; otherwise whether a key is a method name and the attributes' values.  No Python code runs.
bool read_keys(PyObject* dict, bool* method_named, PyObject** values) {
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
    const int found = sought_index(key);
    if (found < 0) continue;
    if (found < method_count) {
      *method_named = true;
    } else {
      values[found - method_count] = value;
    }
  }
  return true;
}

constexpr int kRemembered = 4;
constexpr Py_ssize_t kLargestRead = 8;  // larger dictionaries are probed

// What one dictionary held when its keys were read.  Under a watcher the values are held, and let
// go when the watcher reports the dictionary's first change (the dictionary then still holds them,
// so letting go runs no Python code): a watcher that another extension silences
// (PyDict_ClearWatcher) or hands out again leaves a reading stale, and a stale reading must cost a
// stale answer, never freed memory.  Under versions a reading is checked before every use, and a
// version is never handed out twice, so the dictionary's own references suffice.  The dictionary
// is only compared with, never read through this pointer.
constexpr bool kHoldsValues = kDictTracking == Tracking::watcher;

struct Reading {
  PyObject* dict = nullptr;  // identified together with its version or its watcher
  uint64_t version = 0;
  bool plain = false;                          // every key an exact str
  bool method_named = false;                   // a key is one of the class's method names
  PyObject* values[kReadAttributeCount] = {};  // null: absent; held when kHoldsValues

  void forget() {
    dict = nullptr;
    if (!kHoldsValues) return;
    for (PyObject*& value : values) Py_CLEAR(value);
  }
};

struct Readings final : public support::ModuleState {
  Reading entries[kRemembered];
  int next = 0;
  int last_found = 0;
  void release() noexcept override {
    for (Reading& entry : entries) entry.forget();
  }
  static constexpr unsigned kCheckEvery = 64;
  unsigned uses = 0;
  const Reading* find(PyObject* dict);
  const Reading* checked(const Reading* entry, PyObject* dict);
  const Reading* check(const Reading& entry, PyObject* dict);
  const Reading* remember(PyObject* dict);
};
Readings g_readings;

// A reading is valid while its dictionary's version is the one read, or, under a watcher, until
// the watcher forgets it.
bool still_valid(const Reading& entry, PyObject* dict) {
  return kDictTracking != Tracking::version || entry.version == cpython::dict_version(dict);
}

// The watcher forgets a reading as soon as its dictionary changes or goes.
void changed(PyObject* dict, PyObject*, bool, bool) noexcept {
  for (Reading& entry : g_readings.entries) {
    if (entry.dict == dict || dict == nullptr) entry.forget();
  }
}

bool track(PyObject* dict, Reading* reading) {
  if (kDictTracking == Tracking::version) {
    reading->version = cpython::dict_version(dict);
    return true;
  }
  cpython::add_dict_listener(changed);
  return cpython::watch_dict(dict);
}

const Reading* Readings::find(PyObject* dict) {
  const Reading& last = entries[last_found];
  if (last.dict == dict && still_valid(last, dict)) return &last;
  for (int i = 0; i < kRemembered; ++i) {
    if (entries[i].dict == dict && still_valid(entries[i], dict)) {
      last_found = i;
      return &entries[i];
    }
  }
  return nullptr;
}

// Under a watcher, every so many operations a reading is checked against the dictionary it stands
// for: one that the dictionary contradicts means the watcher was silenced or handed out again,
// and then nothing remembered is trusted any more.  No Python code runs.
const Reading* Readings::checked(const Reading* entry, PyObject* dict) {
  if (kDictTracking != Tracking::watcher || entry == nullptr || ++uses < kCheckEvery) return entry;
  return check(*entry, dict);
}

[[gnu::noinline, gnu::cold]] const Reading* Readings::check(const Reading& entry, PyObject* dict) {
  uses = 0;
  Reading now;
  now.plain = read_keys(dict, &now.method_named, now.values);
  bool same = now.plain == entry.plain && now.method_named == entry.method_named;
  for (int i = 0; same && i < kReadAttributeCount; ++i) same = now.values[i] == entry.values[i];
  if (same) return &entry;
  cpython::distrust_watcher();
  return nullptr;
}

[[gnu::noinline, gnu::cold]] const Reading* Readings::remember(PyObject* dict) {
  Reading reading;
  reading.plain = read_keys(dict, &reading.method_named, reading.values);
  if (!track(dict, &reading)) return nullptr;
  reading.dict = dict;
  if (kHoldsValues) {
    for (PyObject* value : reading.values) Py_XINCREF(value);
  }
  Reading& entry = entries[next];
  next = (next + 1) % kRemembered;
  // What the replaced reading holds, its dictionary still holds too, unless a silenced watcher
  // let it change unseen: then letting go may run Python code (a finaliser) that changes this very
  // dictionary, and the reading is returned only while it is still the one remembered.
  Reading replaced = entry;
  entry = reading;
  replaced.forget();
  return entry.dict == dict && still_valid(entry, dict) ? &entry : nullptr;
}

// The reading of `dict`: remembered, or taken now; null when the dictionary must be probed.
[[gnu::always_inline]] inline const Reading* reading_of(PyObject* dict) {
  if (!kRemembersReadings || !PyDict_CheckExact(dict)) return nullptr;
  const Reading* reading = g_readings.checked(g_readings.find(dict), dict);
  if (reading == nullptr) reading = g_readings.remember(dict);
  return reading != nullptr && reading->plain ? reading : nullptr;
}

// A remembered reading of `dict` that lists every key; null otherwise.
const Reading* known_reading(PyObject* dict) {
  if (!kRemembersReadings) return nullptr;
  const Reading* reading = g_readings.find(dict);
  return reading != nullptr && reading->plain ? reading : nullptr;
}

}  // namespace

void InstanceView::read(PyObject* dict) noexcept {
  if (!PyDict_CheckExact(dict)) return;
  let_go();
  for (PyObject*& value : values_) value = nullptr;
  method_named_ = false;
  if (cpython::kFreeThreaded) return read_locked(dict);
  if (PyDict_GET_SIZE(dict) > kLargestRead) return;
  if (read_keys(dict, &method_named_, values_)) dict_ = dict;
}

// Without the GIL the keys are listed under the dictionary's critical section, held for the
// reading alone (a manager's dictionary holds a few keys): the lists are searched there for the
// identifiers sought, so that no reference to them is taken, and the tree is held.
void InstanceView::read_locked(PyObject* dict) noexcept {
  PyObject* read[kReadAttributeCount] = {};
  cpython::CriticalSection section(dict);
  if (PyDict_GET_SIZE(dict) > kLargestRead || !read_keys(dict, &method_named_, read)) return;
  for (int i = 0; i < kLists; ++i) {
    PyObject* list = read[attribute_slot(kListings[i])];
    // An exact list or tuple of exact strs is searched without running Python code.
    const int found =
        list != nullptr && sought_[i] != nullptr ? support::contains_plainly(list, sought_[i]) : -2;
    listed_[i] = static_cast<signed char>(found >= 0 ? found : -1);
  }
  const int tree = attribute_slot(Name::plugins_attr);
  values_[tree] = Py_XNewRef(read[tree]);
  dict_ = dict;
}

bool InstanceView::attribute(PyObject* dict, Name attribute, PyObject** value) const noexcept {
  const int i = attribute_slot(attribute);
  if (!kReadsPerOperation || dict_ == nullptr || dict != dict_ || !holds(i)) return false;
  *value = values_[i];
  return true;
}

void InstanceView::take(PyObject* self, PyObject* os, PyObject* chassis_type) noexcept {
  // Nothing read for a whole operation where no type verdict is kept and the interpreter's
  // method cache answers each call cheaply.
  if (!cpython::kTypeLookup || (!cpython::kVerdictStamps && cpython::kTypeLookupCached)) return;
  cpython::Found held = cpython::held_instance_dict(self);
  PyObject* dict = held.get();
  bool free = dict == nullptr;
  if constexpr (cpython::kFreeThreaded) {
    sought_[0] = os;
    sought_[1] = chassis_type;
    listed_[0] = listed_[1] = -1;
  }
  if (dict != nullptr && kReadsPerOperation) {
    read(dict);
    free = dict_ != nullptr && !method_named_;
    if (dict_ != nullptr) held_dict_ = std::move(held);
  } else if (dict != nullptr) {
    const Reading* reading = reading_of(dict);
    if (reading != nullptr) {
      dict_ = dict;
      for (int i = 0; i < kReadAttributeCount; ++i) values_[i] = reading->values[i];
    }
    free = reading != nullptr && !reading->method_named;
  }
  all_own_ = free && plain_manager(self);
}

bool known_free_of_methods(PyObject* dict) noexcept {
  const Reading* reading = known_reading(dict);
  return reading != nullptr && !reading->method_named;
}

bool known_attribute(PyObject* dict, Name attribute, PyObject** value) noexcept {
  const int i = attribute_slot(attribute);
  const Reading* reading = i >= 0 ? known_reading(dict) : nullptr;
  if (reading == nullptr) return false;
  *value = reading->values[i];
  return true;
}

int method_entry(PyObject* dict, PyObject* name, Ref* value) noexcept {
  const Reading* reading = reading_of(dict);
  if (reading != nullptr && !reading->method_named) return 0;
  return probe(dict, name, value);
}

int attribute_entry(PyObject* dict, Name attribute, Ref* value) noexcept {
  const int i = attribute_slot(attribute);
  const Reading* reading = i >= 0 ? reading_of(dict) : nullptr;
  if (reading != nullptr) {
    *value = Ref::borrow(reading->values[i]);
    return *value ? 1 : 0;
  }
  return probe(dict, name(attribute), value);
}

}  // namespace mirvak::calls
