// Attribute lookup of a method on the instance, as generic attribute access does it: a data
// descriptor on the type, else the instance dictionary, else what the type holds (a function
// there is called with self first, which is what its bound method would do).  Without the
// interpreter's type lookup (cpython/type_lookup.hpp), attribute access itself finds it.
#include "calls/self_call.hpp"

#include "calls/instance_view.hpp"
#include "calls/type_memory.hpp"
#include "cpython/attribute_error.hpp"
#include "cpython/compat.hpp"

namespace mirvak::calls {
namespace {

using support::function;
using support::is_own;
using support::method_name;

// An own verdict runs the body without its function's call, which only counts where bodies may
// stand for calls.
static_assert(!cpython::kTypeLookup || cpython::kDirectBodies, "own verdicts need direct bodies");

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

// The usual case: the type holds our own function (no data descriptor, and alive while the
// module is: it needs no reference of its own), unless the instance dictionary shadows it.
Found own_unless_shadowed(PyObject* dict, Method id, PyObject* function, PyObject* name) {
  if (dict == nullptr) return found(Found::How::own, Ref());
  Ref value;
  const int shadowed = method_entry(dict, name, &value);
  if (shadowed != 0) return shadowed < 0 ? Found() : found(Found::How::callable, std::move(value));
  // A probe may have run Python code: the function is still the one found, its code may not.
  if (is_own(function, id)) return found(Found::How::own, Ref());
  return found(Found::How::function, Ref::borrow(function));
}

// The whole lookup, for whatever `find` cannot answer at once.  The name is looked up once:
// what the instance dictionary lacks and the type does not hold is missing.
[[gnu::noinline, gnu::cold]] Found find_slowly(PyObject* self, Method id) {
  PyObject* name = method_name(id);
  PyTypeObject* type = Py_TYPE(self);
  if (!cpython::kTypeLookup || !generic(type))
    return found(Found::How::callable, Ref::steal(PyObject_GetAttr(self, name)));
  PyObject* on_type = g_type_lookups[static_cast<int>(id)].find(type, name);
  if (on_type != nullptr && is_own(on_type, id))
    return own_unless_shadowed(instance_dict(self), id, on_type, name);
  Ref descr = Ref::borrow(on_type);
  descrgetfunc get = descr ? Py_TYPE(descr.get())->tp_descr_get : nullptr;
  if (get != nullptr && Py_TYPE(descr.get())->tp_descr_set != nullptr) {
    return found(Found::How::callable,
                 Ref::steal(get(descr.get(), self, reinterpret_cast<PyObject*>(type))));
  }
  PyObject* dict = instance_dict(self);
  Ref value;
  const int shadowed = dict ? method_entry(dict, name, &value) : 0;
  if (shadowed != 0) return shadowed < 0 ? Found() : found(Found::How::callable, std::move(value));
  if (!descr) {
    cpython::raise_missing_attribute(self, name);
    return Found();
  }
  return from_type(self, id, std::move(descr), get);
}

// An attribute the type does not hold: the instance dictionary decides, probed once.
[[gnu::noinline, gnu::cold]] Ref instance_attribute_slowly(PyObject* self, Name attribute,
                                                           InstanceView* view) {
  if (view != nullptr) view->drop();
  PyObject* dict = instance_dict(self);
  Ref value;
  const int held = dict ? attribute_entry(dict, attribute, &value) : 0;
  if (held > 0) return value;
  if (held == 0) cpython::raise_missing_attribute(self, name(attribute));
  return Ref();
}

// The validators a registry operation calls through the instance (contiguous in the method
// order), and the attributes it reads.
constexpr Method kValidators[] = {Method::validate_model, Method::validate_platform,
                                  Method::validate_os, Method::validate_chassis_type,
                                  Method::validate_arguments};
constexpr Name kReadAttributes[] = {Name::plugins_attr, Name::supported_os,
                                    Name::chassis_type_list};

// Whether a type reads attributes generically, holds this module's own function under every
// validator's name and defines none of the attributes read (the instance dictionary decides
// those).  Remembered for the last type judged while its stamp holds.
struct PlainType final : public support::ModuleState {
  PyTypeObject* type = nullptr;  // borrowed: a type made later at the same address has another
  unsigned int stamp = 0;        // stamp
  bool plain = false;
  void release() noexcept override { type = nullptr; }
};
PlainType g_plain_type;

[[gnu::noinline, gnu::cold]] bool judge_type(PyTypeObject* type, unsigned int stamp) {
  bool plain = generic(type);
  for (Method id : kValidators) {
    if (!plain) break;
    plain = g_type_lookups[static_cast<int>(id)].find(type, method_name(id)) == function(id);
  }
  for (Name attribute : kReadAttributes) {
    if (!plain) break;
    plain = g_attribute_lookups[static_cast<int>(attribute)].find(type, name(attribute)) == nullptr;
  }
  unsigned int after;
  if (cpython::type_stamp(type, &after) && after == stamp) {
    g_plain_type.type = type;
    g_plain_type.stamp = stamp;
    g_plain_type.plain = plain;
  }
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
  unsigned int stamp;
  if (!cpython::type_stamp(type, &stamp)) return false;
  const bool plain = g_plain_type.type == type && g_plain_type.stamp == stamp
                         ? g_plain_type.plain
                         : judge_type(type, stamp);
  if (!plain) return false;
  for (Method id : kValidators) {  // a function's code may be replaced without the type knowing
    if (!is_own(function(id), id)) return false;
  }
  return true;
}

bool own_for_sure(PyObject* self, Method id, const InstanceView* view) noexcept {
  if (!cpython::kTypeLookup) return false;
  const bool validator = id >= Method::validate_model && id <= Method::validate_arguments;
  if (validator && view != nullptr && view->all_own()) return true;
  PyTypeObject* type = Py_TYPE(self);
  if (!generic(type)) return false;
  PyObject* on_type = g_type_lookups[static_cast<int>(id)].find(type, method_name(id));
  if (on_type == nullptr || !is_own(on_type, id)) return false;
  PyObject* dict = instance_dict(self);
  return dict == nullptr || (view != nullptr && view->free_of_methods(dict)) ||
         known_free_of_methods(dict);
}

// Our own function on the type, an instance dictionary known not to shadow it: nothing else to
// look at.
Found find(PyObject* self, Method id) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (cpython::kTypeLookup && generic(type)) {
    PyObject* name = method_name(id);
    PyObject* on_type = g_type_lookups[static_cast<int>(id)].find(type, name);
    if (on_type != nullptr && is_own(on_type, id)) {
      PyObject* dict = instance_dict(self);
      if (dict == nullptr || known_free_of_methods(dict)) return found(Found::How::own, Ref());
      return own_unless_shadowed(dict, id, on_type, name);
    }
  }
  return find_slowly(self, id);
}

// An attribute the type does not define, in an instance dictionary whose keys are known.
Ref instance_attribute(PyObject* self, Name attribute, InstanceView* view) noexcept {
  PyObject* value;
  if (view != nullptr && view->plain_attribute(attribute, &value)) return Ref::borrow(value);
  PyTypeObject* type = Py_TYPE(self);
  if (cpython::kTypeLookup && generic(type) &&
      g_attribute_lookups[static_cast<int>(attribute)].find(type, name(attribute)) == nullptr) {
    PyObject* dict = instance_dict(self);
    const bool answered =
        dict != nullptr && ((view != nullptr && view->attribute(dict, attribute, &value)) ||
                            known_attribute(dict, attribute, &value));
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
