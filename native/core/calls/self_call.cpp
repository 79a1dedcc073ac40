// Attribute lookup of a method on the instance, as generic attribute access does it: a data
// descriptor on the type, else the instance dictionary, else what the type holds (a function
// there is called with self first, which is what its bound method would do).  Without a type
// lookup (cpython/type_lookup.hpp), attribute access itself finds it, and a method it gives bound
// to self of our own unchanged function runs as our own.
//
// One resolution, in layers, each answering only what it can be sure of:
//   1. the operation's view: every validator our own, the instance dictionary read (no lookup);
//   2. the type: what it holds under the name (remembered while its stamp holds), and whether
//      the instance dictionary is absent or known to hold no method name;
//   3. the instance dictionary probed, where Python code may run (a key's __eq__);
//   4. the whole lookup, for anything else.
// Layers 1 and 2 run no Python code and serve `own_for_sure` (layer 2 only where the lookup is
// the interpreter's cached one); `find` goes on to 3 and 4.
//
// Why this holds with other threads running at once (free-threaded builds): every object a layer
// uses is held (cpython::Found is a strong reference there, probes return strong references), or
// is one of this module's own functions, which live as long as the module; a verdict is only
// ever compared with (a type's address and stamp, a dictionary's address), never read through;
// what is remembered across calls is either off (type memories, readings, call shapes) or kept
// per thread (the plain-type verdict); and an "own" verdict is confirmed against the function's
// code right before the body runs in its place (`confirm_own`, the binding's `is_own`).
#include "calls/self_call.hpp"

#include "calls/instance_view.hpp"
#include "calls/type_memory.hpp"
#include "cpython/attribute_error.hpp"
#include "cpython/compat.hpp"
#include "cpython/type_changes.hpp"

namespace mirvak::calls {
namespace {

using support::function;
using support::is_own;
using support::method_name;

TypeLookup g_type_lookups[support::method_count];
TypeLookup g_attribute_lookups[static_cast<int>(Name::count_)];

Found found(Found::How how, Ref target) {
  Found result;
  result.how = target || how == Found::How::own ? how : Found::How::failed;
  result.target = std::move(target);
  return result;
}

// Reads generically: no __getattribute__ or __getattr__ of a subclass in the way.
bool generic(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr;
}

// What the type holds, after the instance dictionary had nothing: `descr` bound as attribute
// access binds it, or called with self first when it is a function.
Found from_type(PyObject* self, Method id, Ref descr, descrgetfunc get) {
  if (PyFunction_Check(descr.get())) {
    if (is_own(descr.get(), id)) return found(Found::How::own, Ref());
    return found(Found::How::function, std::move(descr));
  }
  if (get == nullptr) return found(Found::How::callable, std::move(descr));
  return found(Found::How::callable,
               Ref::steal(get(descr.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self)))));
}

// What attribute access gave: a method bound to self of our own unchanged function is what a
// call of that function with self first would run, its body.
Found from_attribute(PyObject* self, Method id, Ref value) {
  PyObject* bound = value.get();
  if (bound != nullptr && PyMethod_Check(bound) && PyMethod_GET_SELF(bound) == self &&
      is_own(PyMethod_GET_FUNCTION(bound), id))
    return found(Found::How::own, Ref());
  return found(Found::How::callable, std::move(value));
}

// Layer 3: the type holds our own function (no data descriptor, and alive while the module is:
// it needs no reference of its own), unless the instance dictionary shadows it.
Found own_unless_shadowed(PyObject* dict, Method id, PyObject* function, PyObject* name) {
  Ref value;
  const int shadowed = method_entry(dict, name, &value);
  if (shadowed != 0) return shadowed < 0 ? Found() : found(Found::How::callable, std::move(value));
  // A probe may have run Python code: the function is still the one found, its code may not.
  if (is_own(function, id)) return found(Found::How::own, Ref());
  return found(Found::How::function, Ref::borrow(function));
}

// Layer 4, for whatever the type does not answer with our own function: `on_type` is what the
// type holds (looked up already where types are read generically).  The name is looked up once:
// what the instance dictionary lacks and the type does not hold is missing.
[[gnu::noinline, gnu::cold]] Found find_slowly(PyObject* self, Method id, cpython::Found on_type) {
  PyObject* name = method_name(id);
  PyTypeObject* type = Py_TYPE(self);
  if (!cpython::kTypeLookup || !generic(type))
    return from_attribute(self, id, Ref::steal(PyObject_GetAttr(self, name)));
  Ref descr = Ref::borrow(on_type.get());
  descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
  if (get != nullptr && Py_TYPE(descr.get())->tp_descr_set != nullptr) {
    return found(Found::How::callable,
                 Ref::steal(get(descr.get(), self, reinterpret_cast<PyObject*>(type))));
  }
  cpython::Found dict = cpython::held_instance_dict(self);
  Ref value;
  const int shadowed = dict ? method_entry(dict.get(), name, &value) : 0;
  if (shadowed != 0) return shadowed < 0 ? Found() : found(Found::How::callable, std::move(value));
  if (!descr) {
    cpython::raise_missing_attribute(self, name);
    return Found();
  }
  return from_type(self, id, std::move(descr), get);
}

// What the type holds under a method's name (layer 2, and the type's verdict on all validators).
cpython::Found held_by_type(PyTypeObject* type, Method id) {
  return g_type_lookups[static_cast<int>(id)].find(type, method_name(id));
}

// The instance dictionary, as the operation's view read it where it reads one (lent by the view
// while it is valid), else looked up.
[[gnu::always_inline]] inline cpython::Found dict_for(PyObject* self, const InstanceView* view) {
  if constexpr (kReadsPerOperation) {
    if (view != nullptr && view->read_dict()) return cpython::Found::lasting(view->dict());
  }
  return cpython::held_instance_dict(self);
}

// Layer 2's answer.
enum class OnType {
  own,         // our own function, not shadowed by the instance dictionary
  unshadowed,  // our own function, in an instance dictionary not known to lack the name (`dict`)
  other,       // anything else, or a type not read generically (`held` is what it holds)
};
struct TypeReading {
  OnType answer = OnType::other;
  cpython::Found dict;
  cpython::Found held;
};

// Layer 2.  No Python code runs.
[[gnu::always_inline]] inline TypeReading read_type(PyObject* self, Method id,
                                                    const InstanceView* view) {
  TypeReading reading;
  PyTypeObject* type = Py_TYPE(self);
  if (!cpython::kTypeLookup || !generic(type)) return reading;
  reading.held = held_by_type(type, id);
  if (!reading.held || !is_own(reading.held.get(), id)) return reading;
  reading.dict = dict_for(self, view);
  PyObject* dict = reading.dict.get();
  const bool free = dict == nullptr || (view != nullptr && view->free_of_methods(dict)) ||
                    known_free_of_methods(dict);
  reading.answer = free ? OnType::own : OnType::unshadowed;
  return reading;
}

// An attribute the type does not hold: the instance dictionary decides, probed once.
[[gnu::noinline, gnu::cold]] Ref instance_attribute_slowly(PyObject* self, Name attribute,
                                                           InstanceView* view) {
  if (view != nullptr) view->drop();
  cpython::Found dict = cpython::held_instance_dict(self);
  Ref value;
  const int held = dict ? attribute_entry(dict.get(), attribute, &value) : 0;
  if (held > 0) return value;
  if (held == 0) cpython::raise_missing_attribute(self, name(attribute));
  return Ref();
}

// The validators a registry operation calls through the instance (contiguous in the method
// order), and the attributes it reads.
constexpr Method kValidators[] = {Method::validate_model, Method::validate_platform,
                                  Method::validate_os, Method::validate_chassis_type,
                                  Method::validate_arguments};

// Whether a type reads attributes generically, holds this module's own function under every
// validator's name and defines none of the attributes read (the instance dictionary decides
// those).  Remembered for the last type judged while its stamp holds; without the GIL, for the
// last type each thread judged (a stamp is never handed out twice, so a verdict keyed by one can
// only miss, and it holds no reference that could dangle).
struct PlainVerdict {
  PyTypeObject* type = nullptr;  // only compared: a type made later at the same address has
  unsigned int stamp = 0;        // another stamp
  unsigned int epoch = 0;        // the module's life it was judged in
  unsigned int uses = 0;         // since it was last judged (a watcher's stamps)
  bool plain = false;
};

// Where stamps come from a watcher that someone else may silence, a kept verdict is judged again
// every so often, and a contradiction ends the watcher's trust.
constexpr unsigned int kJudgeAgainEvery = 64;

PlainVerdict g_plain_type;

// Verdicts of a module that has gone (a runtime initialised again) are not trusted.
struct Epoch final : public support::ModuleState {
  unsigned int current = 1;
  void release() noexcept override {
    ++current;
    g_plain_type.type = nullptr;
  }
};
Epoch g_epoch;
thread_local PlainVerdict t_plain_type;

PlainVerdict& plain_verdict() {
  if constexpr (cpython::kFreeThreaded) {
    return t_plain_type;
  } else {
    return g_plain_type;
  }
}

[[gnu::noinline, gnu::cold]] bool judge_type(PyTypeObject* type, unsigned int stamp,
                                             PlainVerdict& verdict) {
  bool plain = generic(type);
  for (Method id : kValidators) {
    if (!plain) break;
    plain = held_by_type(type, id).get() == function(id);
  }
  for (Name attribute : kReadAttributes) {
    if (!plain) break;
    plain = !g_attribute_lookups[static_cast<int>(attribute)].find(type, name(attribute));
  }
  unsigned int after;
  if (cpython::verdict_stamp(type, &after) && after == stamp) {
    verdict.type = type;
    verdict.stamp = stamp;
    verdict.epoch = g_epoch.current;
    verdict.uses = 0;
    verdict.plain = plain;
  }
  return plain;
}

// A kept verdict, judged again now and then where a silenced watcher could have kept it.
bool kept_verdict(PyTypeObject* type, unsigned int stamp, PlainVerdict& verdict) {
  if (!cpython::kWatchedTypes || ++verdict.uses < kJudgeAgainEvery) return verdict.plain;
  const bool kept = verdict.plain;
  const bool plain = judge_type(type, stamp, verdict);
  if (plain != kept) cpython::distrust_type_watcher();
  return plain;
}

}  // namespace

void confirm_own(Found* found, Method id) noexcept {
  if (found->how == Found::How::own && !is_own(function(id), id)) {
    found->how = Found::How::function;
    found->target = Ref::borrow(function(id));
  }
}

bool plain_manager(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  unsigned int stamp = 0;
  PlainVerdict& verdict = plain_verdict();
  bool plain;
  if (cpython::verdict_stamp(type, &stamp)) {
    plain = verdict.type == type && verdict.stamp == stamp &&
                    (!cpython::kFreeThreaded || verdict.epoch == g_epoch.current)
                ? kept_verdict(type, stamp, verdict)
                : judge_type(type, stamp, verdict);
  } else {
    return false;
  }
  if (!plain) return false;
  for (Method id : kValidators) {  // a function's code may be replaced without the type knowing
    if (!is_own(function(id), id)) return false;
  }
  return true;
}

bool own_for_sure(PyObject* self, Method id, const InstanceView* view) noexcept {
  if (!cpython::kTypeLookup) return false;
  const bool validator = id >= Method::validate_model && id <= Method::validate_arguments;
  if (validator && view != nullptr && view->all_own()) return true;  // layer 1
  // Layer 2 alone, where it is cheap or the view knows the instance dictionary: else `find`
  // reads the type once, for both.
  const bool cheap = cpython::kTypeLookupCached || (view != nullptr && view->read_dict());
  return cheap && read_type(self, id, view).answer == OnType::own;
}

Found find(PyObject* self, Method id) noexcept {
  TypeReading reading = read_type(self, id, nullptr);
  if (reading.answer == OnType::own) return found(Found::How::own, Ref());
  if (reading.answer == OnType::unshadowed)
    return own_unless_shadowed(reading.dict.get(), id, reading.held.get(), method_name(id));
  return find_slowly(self, id, std::move(reading.held));
}

// An attribute the type does not define, in an instance dictionary whose keys are known.
Ref instance_attribute(PyObject* self, Name attribute, InstanceView* view) noexcept {
  PyObject* value;
  if (view != nullptr && view->plain_attribute(attribute, &value)) return Ref::borrow(value);
  PyTypeObject* type = Py_TYPE(self);
  if (cpython::kTypeLookup && generic(type) &&
      !g_attribute_lookups[static_cast<int>(attribute)].find(type, name(attribute))) {
    const cpython::Found dict = dict_for(self, view);
    const bool answered =
        dict && ((view != nullptr && view->attribute(dict.get(), attribute, &value)) ||
                 known_attribute(dict.get(), attribute, &value));
    if (answered && value != nullptr) return Ref::borrow(value);
    return instance_attribute_slowly(self, attribute, view);
  }
  if (view != nullptr) view->drop();
  return Ref::steal(PyObject_GetAttr(self, name(attribute)));
}

Ref call_found(const Found& found, PyObject** argv, Py_ssize_t count, PyObject* kwnames) noexcept {
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (found.how == Found::How::function) {
    const size_t positional = static_cast<size_t>(1 + count - keywords);
    return Ref::steal(PyObject_Vectorcall(found.target.get(), argv + 1,
                                          positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
  }
  const size_t positional = static_cast<size_t>(count - keywords);
  return Ref::steal(PyObject_Vectorcall(found.target.get(), argv + 2,
                                        positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

KeywordNames::KeywordNames(std::initializer_list<Name> keywords) noexcept {
  for (Name keyword : keywords) {
    if (count_ < kMax) keywords_[count_++] = keyword;
  }
}

bool KeywordNames::make() noexcept {
  if (tuple_) return true;
  Ref tuple = Ref::steal(PyTuple_New(count_));
  if (!tuple) return false;
  for (int i = 0; i < count_; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(name(keywords_[i])));
  tuple_.reset(tuple.release());
  return true;
}

}  // namespace mirvak::calls
