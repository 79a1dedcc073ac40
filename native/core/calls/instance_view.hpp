// The instance dictionary of a manager, read as generic attribute access reads it.
//
// Where an instance's dictionary can be tracked (cpython/dict_changes.hpp), what it holds is
// remembered while it stays unchanged: whether any key is one of the class's method names (then
// a method found on the type is shadowed) and the values of the attributes the registry reads.
// The keys are read once, without running Python code; a dictionary with a key that is not an
// exact str is not remembered but probed, as attribute access would.  Where it cannot be tracked
// (3.13), nothing is remembered across calls; a registry operation reads the dictionary once
// instead (InstanceView).
#pragma once

#include "calls/sought_names.hpp"
#include "cpython/dict_changes.hpp"
#include "cpython/instance_dict.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"

namespace mirvak::calls {

// Remembered readings across calls, and readings taken once per operation.
inline constexpr bool kRemembersReadings = cpython::kInstanceDict && cpython::kInstanceDictTracking;
inline constexpr bool kReadsPerOperation = cpython::kInstanceDict && !kRemembersReadings;

// Answers from memory alone, cheap enough for every call (false: not known, ask the functions
// below).  That `dict` holds no method name; the value `dict` holds for one of the attributes
// the registry reads (a borrowed reference).
bool known_free_of_methods(PyObject* dict) noexcept;
bool known_attribute(PyObject* dict, Name attribute, PyObject** value) noexcept;

// What an instance's dictionary held when it was read, and verdicts about the instance's type,
// valid only while no Python code runs.  A registry operation whose identifiers are plain strs
// takes a view once and answers its method lookups and attribute reads from it.  Every function
// that may run Python code while a view is held takes the view by pointer and drops it before it
// does (a view held by pointer to const would be a promise the callee cannot keep).
//
// A view knows, where types have stamps (3.11+), whether every validator the operation may call
// through the instance is our own unchanged function, not shadowed by the instance dictionary,
// and whether the type leaves the attributes the registry reads to that dictionary (`all_own`),
// and the values of those attributes.  Where instance dictionaries are not remembered across
// calls, the view reads the dictionary itself; elsewhere it copies what the remembered reading
// holds.
class InstanceView {
 public:
  InstanceView() noexcept = default;
  InstanceView(const InstanceView&) = delete;
  InstanceView& operator=(const InstanceView&) = delete;

  // Reads `self`'s type and dictionary.  `os` and `chassis_type`, the identifiers the operation
  // validates, are searched for in the lists the validators read while the dictionary is read
  // (without the GIL, see `listed`).  No Python code runs.
  void take(PyObject* self, PyObject* os, PyObject* chassis_type) noexcept;
  ~InstanceView() { let_go(); }
  // Python code may run from here on: nothing read so far is trusted again.
  void drop() noexcept {
    dict_ = nullptr;
    all_own_ = false;
    let_go();
  }
  // Every validator looked up on the instance is our own unchanged function.
  bool all_own() const noexcept { return all_own_; }
  // The instance dictionary was read, and is known for the operation (read per operation).
  bool read_dict() const noexcept { return kReadsPerOperation && dict_ != nullptr; }
  // The dictionary read (borrowed from the view), while `read_dict` holds.
  PyObject* dict() const noexcept { return dict_; }
  // The value of an attribute the registry reads (borrowed) when the view holds it; false when
  // not answered, or when the dictionary lacks it.  Only while `all_own` holds.
  bool plain_attribute(Name attribute, PyObject** value) const noexcept {
    const int slot = attribute_slot(attribute);
    if (!all_own_ || dict_ == nullptr || !holds(slot)) return false;
    *value = values_[slot];
    return *value != nullptr;
  }
  // `dict` is the dictionary read, and none of its keys is a method name (read per operation).
  bool free_of_methods(PyObject* dict) const noexcept {
    return kReadsPerOperation && dict_ != nullptr && dict == dict_ && !method_named_;
  }
  // The value read for an attribute (borrowed; nullptr: absent); false when not answered (read
  // per operation).
  bool attribute(PyObject* dict, Name attribute, PyObject** value) const noexcept;
  // Whether `value` is in the list `self.<listing>` (1 or 0), as searched while the dictionary was
  // read; false when not answered.  Only while `all_own` holds, and without the GIL, where the
  // lists are not held (every manager shares them: threads working on managers of their own
  // would contend for their reference counts).
  bool listed(Name listing, PyObject* value, int* answer) const noexcept {
    const int slot = list_slot(listing);
    if (!cpython::kFreeThreaded || !all_own_ || dict_ == nullptr || slot < 0 ||
        sought_[slot] != value || listed_[slot] < 0)
      return false;
    *answer = listed_[slot];
    return true;
  }

 private:
  // The lists searched while reading, numbered.
  static constexpr int kLists = 2;
  static constexpr Name kListings[kLists] = {Name::supported_os, Name::chassis_type_list};
  static constexpr int list_slot(Name listing) noexcept {
    return listing == kListings[0] ? 0 : listing == kListings[1] ? 1 : -1;
  }
  // Whether the view holds the value of an attribute's slot: without the GIL, the tree's alone.
  static constexpr bool holds(int slot) noexcept {
    return slot >= 0 && (!cpython::kFreeThreaded || slot == attribute_slot(Name::plugins_attr));
  }
  void read(PyObject* dict) noexcept;
  void read_locked(PyObject* dict) noexcept;
  // Without the GIL the values read are held: another thread may replace an attribute and free
  // the value it held.  Letting go of them may run Python code.
  void let_go() noexcept {
    if (!cpython::kFreeThreaded) return;
    for (PyObject*& value : values_) Py_CLEAR(value);
    held_dict_ = cpython::Found();
  }
  PyObject* dict_ = nullptr;  // the instance keeps it alive, or without the GIL `held_dict_`
  cpython::Found held_dict_;
  bool all_own_ = false;
  bool method_named_ = false;
  PyObject* values_[kReadAttributeCount] = {};  // from `dict_`; nullptr: absent
  // Without the GIL, set by `take` (read only while `dict_` is set): the identifiers sought, only
  // compared with, and whether each list held its identifier (-1: not known).
  PyObject* sought_[kLists];
  signed char listed_[kLists];
};

// The entry of `dict` (borrowed) under a method's name: 1 with `*value` set, 0 when absent, -1
// with an exception set.  CAUTION: a probe may run a key's __eq__.
int method_entry(PyObject* dict, PyObject* name, Ref* value) noexcept;

// The same for one of the attributes the registry reads (`_plugins`, `supported_os`,
// `chassis_type_list`).
int attribute_entry(PyObject* dict, Name attribute, Ref* value) noexcept;

}  // namespace mirvak::calls
