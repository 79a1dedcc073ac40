// Calling a method through the instance, `self.<method>(...)`, as a statement in the body would:
// the attribute is found the way attribute access finds it (so an override on the instance, in
// a subclass or on the class is used), without making a bound method.  When what is found is
// this module's own unchanged function, its native body runs directly, counted as one level of
// recursion as the call would be.
#pragma once

#include <initializer_list>

#include "calls/instance_view.hpp"
#include "cpython/recursion.hpp"
#include "support/lifetime.hpp"
#include "support/methods.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"

namespace mirvak::calls {

using support::Method;

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

// An `own` answer of `find` says what the attribute was, like the bound method a Python caller
// would hold; what the call runs is whatever code that function holds when it is called.  So a
// caller that ran Python code since `find` (evaluating the call's arguments) confirms it here,
// right before the call: our own function whose code was replaced since is called as a function.
// No Python code runs.
void confirm_own(Found* found, Method id) noexcept;

// True when the type of `self` holds this module's own unchanged function under every
// validator's name and leaves the attributes the registry reads to the instance dictionary.
// No Python code runs.  Always false where types have no stamps (before 3.11; before 3.12 in
// the public build, cpython/type_changes.hpp).
bool plain_manager(PyObject* self) noexcept;

// True when `self.<method>` is certainly our own unchanged function, as far as can be told from
// memory alone or the interpreter's method cache (false: ask `find`).  No Python code runs.  Where
// instance dictionaries are not remembered (3.13), `find` is the way unless a view of the instance
// has been taken.
bool own_for_sure(PyObject* self, Method id, const InstanceView* view) noexcept;

// Calls what `find` found (not own).  `argv` is {free slot, self, the call's arguments...};
// `kwnames` (a tuple naming the last arguments) or nullptr.
// CAUTION: runs arbitrary Python code.
Ref call_found(const Found& found, PyObject** argv, Py_ssize_t count, PyObject* kwnames) noexcept;

// `self.<attribute>` for an attribute the instance holds (the tree, the lists the validators
// read), as generic attribute access finds it, looking the name up once; answered from `view`
// when it can.  CAUTION: may run Python code (a property on a subclass, a key's __eq__ in the
// instance dictionary); `view` is dropped before anything that may.
Ref instance_attribute(PyObject* self, Name attribute, InstanceView* view = nullptr) noexcept;

// A tuple of keyword names, made when the module runs and kept while it lives.
class KeywordNames final : public support::MadeAtStart {
 public:
  KeywordNames(std::initializer_list<Name> keywords) noexcept;
  PyObject* get() const noexcept { return tuple_.get(); }  // borrowed

 private:
  bool make() noexcept override;
  void release() noexcept override {}  // tuple_ is released on its own
  static constexpr int kMax = 4;
  Name keywords_[kMax];
  int count_ = 0;
  support::Retained tuple_;
};

// Runs our own method's body for a call that the interpreter did not make, one level deeper.
template <typename Body, typename... Args>
Ref run_own(Body body, PyObject* self, Args... args) noexcept {
  cpython::PythonLevel level;
  return level ? Ref::steal(body(self, args...)) : Ref();
}

// Calls what `find` found, looking it up first; `own_body` runs our own method's body.
template <typename Body, typename... Args>
[[gnu::noinline]] Ref find_and_call(PyObject* self, Method id, KeywordNames* keywords,
                                    Body own_body, Args... args) noexcept {
  Found found = find(self, id);
  if (found.how == Found::How::own) return run_own(own_body, self, args...);
  if (found.how == Found::How::failed) return Ref();
  PyObject* kwnames = keywords ? keywords->get() : nullptr;
  PyObject* argv[] = {nullptr, self, args...};
  return call_found(found, argv, sizeof...(Args), kwnames);
}

// `self.<method>(args...)`, by keyword when `keywords` is given, else positionally; `body`
// runs for our own method with (self, args...).  `view`, when given, answers the lookup while it
// is valid; anything else may run Python code, so the view is dropped first.
template <typename Body, typename... Args>
Ref call_on_self(PyObject* self, Method id, KeywordNames* keywords, InstanceView* view, Body body,
                 Args... args) noexcept {
  if (own_for_sure(self, id, view)) return run_own(body, self, args...);
  if (view != nullptr) view->drop();
  return find_and_call(self, id, keywords, body, args...);
}

}  // namespace mirvak::calls
