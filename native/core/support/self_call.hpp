// Calling a method through the instance, `self.<method>(...)`, as a statement in the body would:
// the attribute is found the way attribute access finds it (so an override on the instance, in
// a subclass or on the class is used), without making a bound method.  When what is found is
// this module's own unchanged function, its native body runs directly, counted as one level of
// recursion as the call would be.
#pragma once

#include <initializer_list>

#include "support/call_depth.hpp"
#include "support/instance_dict.hpp"
#include "support/lifetime.hpp"
#include "support/methods.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"

namespace mirvak::support {

// What `self.<method>` is.
struct Found {
  enum class How {
    own,       // our own unchanged function, found on the type: run the native body
    function,  // another function found on the type: call it with self first
    callable,  // anything else: the attribute's value, called as it is
    failed,    // the lookup raised
  };
  How how = How::failed;
  Ref target;  // the function or the value; empty for own and failed
};

// Looks `self.<method>` up.  CAUTION: may run arbitrary Python code (a descriptor's __get__,
// __getattribute__, a key's __eq__ in the instance dictionary).
Found find(PyObject* self, Method id) noexcept;

// True when the type of `self` holds this module's own unchanged function under every
// validator's name and leaves the attributes the registry reads to the instance dictionary.
// No Python code runs.  Always false before 3.11, whose type version tags are handed out again.
bool plain_manager(PyObject* self) noexcept;

// True when `self.<method>` is certainly our own unchanged function, as far as can be told from
// memory alone (false: ask `find`).  No Python code runs.  3.13 keeps no memory of instance
// dictionaries, so there `find` is the way unless a view of the instance has been taken.
bool own_for_sure(PyObject* self, Method id, const InstanceView* view) noexcept;

// Calls what `find` found (not own).  `argv` is {free slot, self, the call's arguments...};
// `kwnames` (a tuple naming the last arguments) or nullptr.
// CAUTION: runs arbitrary Python code.
Ref call_found(const Found& found, PyObject** argv, Py_ssize_t count, PyObject* kwnames) noexcept;

// `self.<attribute>` for an attribute the instance holds (the tree, the lists the validators
// read), as generic attribute access finds it; answered from `view` when it can.  CAUTION: may
// run Python code (a property on a subclass, a key's __eq__ in the instance dictionary).
Ref instance_attribute(PyObject* self, Name attribute, const InstanceView* view = nullptr) noexcept;

// A tuple of keyword names, made on first use and kept while the module lives.
class KeywordNames {
 public:
  KeywordNames(std::initializer_list<Name> keywords) noexcept;
  PyObject* get() noexcept;  // borrowed; nullptr with an exception set on failure

 private:
  static constexpr int kMax = 4;
  Name keywords_[kMax];
  int count_ = 0;
  Retained tuple_;
};

// Calls what `find` found, looking it up first; `own_body` runs our own method's body.
template <typename Body, typename... Args>
[[gnu::noinline]] Ref find_and_call(PyObject* self, Method id, KeywordNames* keywords,
                                    Body own_body, Args... args) noexcept {
  Found found = find(self, id);
  if (found.how == Found::How::own) {
    CallDepth depth;
    return depth ? Ref::steal(own_body(self, args...)) : Ref();
  }
  if (found.how == Found::How::failed) return Ref();
  PyObject* kwnames = keywords ? keywords->get() : nullptr;
  if (keywords && !kwnames) return Ref();
  PyObject* argv[] = {nullptr, self, args...};
  return call_found(found, argv, sizeof...(Args), kwnames);
}

// `self.<method>(args...)`, by keyword when `keywords` is given, else positionally; `body`
// runs for our own method with (self, args...).  `view`, when given, answers the lookup while it
// is valid; anything else may run Python code, so the view is dropped first.
template <typename Body, typename... Args>
Ref call_on_self(PyObject* self, Method id, KeywordNames* keywords, InstanceView* view, Body body,
                 Args... args) noexcept {
  if (own_for_sure(self, id, view)) {
    CallDepth depth;
    return depth ? Ref::steal(body(self, args...)) : Ref();
  }
  if (view != nullptr) view->drop();
  return find_and_call(self, id, keywords, body, args...);
}

}  // namespace mirvak::support
