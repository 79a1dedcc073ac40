// The registry tree's shared pieces: the level path and the node operations the walks use.
//
// A node is reached through its `keys()` and item access, as any mapping would be; for an
// exact dict the C dict API gives the same answers without the calls.  Every result is a
// strong reference: a key's __eq__ or __hash__ may change or clear the tree under a walk.
#pragma once

#include "calls/instance_view.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"

namespace mirvak::registry {

// The level path [os, platform, model] / [os, platform] / [os], then os_flavor, each member
// present by an `is None` test.  Its members are held here; only messages show it, as the
// text of a list.
class LevelPath {
 public:
  // False with ConnectionInfraError set when a member is the text "data": that key holds a
  // node's chassis mapping.
  bool build(PyObject* os, PyObject* platform, PyObject* model, PyObject* os_flavor) noexcept;
  Py_ssize_t size() const noexcept { return count_; }
  PyObject* operator[](Py_ssize_t i) const noexcept { return members_[i]; }
  PyObject* const* members() const noexcept { return members_; }
  // Whether every member the path of these identifiers would have is an exact str (then building
  // it runs no Python code).
  static bool plain(PyObject* os, PyObject* platform, PyObject* model,
                    PyObject* os_flavor) noexcept;
  // The text of the path as a list, what format() of a list of its members gives.
  Ref list_text() const noexcept;

  LevelPath() noexcept = default;
  LevelPath(const LevelPath&) = delete;
  LevelPath& operator=(const LevelPath&) = delete;
  ~LevelPath() {
    for (PyObject* member : members_) Py_XDECREF(member);
  }

 private:
  PyObject* members_[4] = {};  // strong references, dropped with the path
  Py_ssize_t count_ = 0;
};

// `key in node.keys()`: 1, 0, or -1 with an exception set.  CAUTION: may run Python code.
int has_key(PyObject* node, PyObject* key) noexcept;
inline int has_key(PyObject* node, Name key) noexcept {
  return has_key(node, name(key));
}

// The same, for a walk that goes on with `node[key]` when the key is there.  When the lookup
// ran no Python code (an exact str in a dictionary with only exact str keys), `*value` is set
// to what `node[key]` gives next, and the walk need not look again; otherwise it stays empty.
int has_key(PyObject* node, PyObject* key, Ref* value) noexcept;
inline int has_key(PyObject* node, Name key, Ref* value) noexcept {
  return has_key(node, name(key), value);
}

// `node[key]`, unless a lookup that ran no Python code already gave it.
inline Ref item_after(PyObject* node, PyObject* key, Ref peeked) noexcept;

// Whether `node[key] = value` runs no Python code, asked before the store: afterwards
// `node[key]` is then `value`.
bool store_is_plain(PyObject* node, PyObject* key) noexcept;

// `node[key]`, `node[key] = value`, `del node[key]`.  CAUTION: may run Python code.
Ref item(PyObject* node, PyObject* key) noexcept;
inline Ref item(PyObject* node, Name key) noexcept {
  return item(node, name(key));
}
bool set_item(PyObject* node, PyObject* key, PyObject* value) noexcept;

inline Ref item_after(PyObject* node, PyObject* key, Ref peeked) noexcept {
  return peeked ? std::move(peeked) : item(node, key);
}
bool del_item(PyObject* node, PyObject* key) noexcept;

// `self._plugins`, the root of the tree as the instance holds it now: the last thing an operation
// reads through its view, which is dropped.
Ref root(PyObject* self, calls::InstanceView* view = nullptr) noexcept;

// `self.validate_arguments(os, platform, model, chassis_type)`, result dropped.  `view` answers
// what validation reads of the instance while it is valid.
bool validate(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
              PyObject* chassis_type, calls::InstanceView* view) noexcept;

}  // namespace mirvak::registry
