// The registry tree: the instance's attributes, the `plugins` property, the level path and the
// node operations shared by registration, lookup and removal.
#include "registry/tree.hpp"

#include "calls/self_call.hpp"
#include "calls/text_keyed.hpp"
#include "cpython/compat.hpp"
#include "cpython/free_threading.hpp"
#include "host/host.hpp"
#include "registry/registry.hpp"
#include "support/text.hpp"

namespace mirvak::registry {
namespace {

constexpr const char kProtectedMember[] = " Protected Member, cannot modify Plugins";
constexpr const char kReservedIdentifier[] = "Plugin identifier 'data' is reserved";
support::StaticText kListOpen("["), kListSeparator(", "), kListClose("]");

bool set_from_global(PyObject* self, Name attribute, Name global) {
  Ref value = host::global(global);
  return value && PyObject_SetAttr(self, name(attribute), value.get()) == 0;
}

void raise_key_error(PyObject* key) {
  Ref args = Ref::steal(PyTuple_Pack(1, key));
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

// `isinstance(member, str) and member == "data"`: for a str the text decides (a subclass's own
// __eq__ is not consulted); an object that only claims to be a str through `__class__` has no
// text, so its own equality decides, as it would for a key of the node.  1, 0, or -1 with an
// exception set.
int is_reserved(PyObject* member) {
  PyObject* reserved = name(Name::data);
  if (PyUnicode_Check(member)) {
    return PyUnicode_GET_LENGTH(member) == PyUnicode_GET_LENGTH(reserved) &&
           PyUnicode_Compare(member, reserved) == 0;
  }
  const int text = support::is_str(member);
  return text <= 0 ? text : PyObject_RichCompareBool(member, reserved, Py_EQ);
}

}  // namespace

PyObject* init(PyObject* self) noexcept {
  Ref tree = Ref::steal(PyDict_New());
  if (!tree || PyObject_SetAttr(self, name(Name::plugins_attr), tree.get()) < 0 ||
      !set_from_global(self, Name::chassis_type_list, Name::supported_chassis) ||
      !set_from_global(self, Name::supported_os, Name::supported_os))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* plugins_get(PyObject* self) noexcept {
  return PyObject_GetAttr(self, name(Name::plugins_attr));
}

PyObject* plugins_set(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_Exception, kProtectedMember);
  return nullptr;
}

bool LevelPath::build(PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* os_flavor) noexcept {
  PyObject* members[4];
  Py_ssize_t count = 0;
  members[count++] = os;
  if (model != Py_None) {
    members[count++] = platform;
    members[count++] = model;
  } else if (platform != Py_None) {
    members[count++] = platform;
  }
  if (os_flavor != Py_None) members[count++] = os_flavor;
  for (Py_ssize_t i = 0; i < count; ++i) members_[i] = Py_NewRef(members[i]);
  for (Py_ssize_t i = 0; i < count; ++i) {
    const int reserved = is_reserved(members_[i]);
    if (reserved != 0) {
      if (reserved > 0) host::raise_connection_error(kReservedIdentifier);
      return false;
    }
  }
  count_ = count;
  return true;
}

// "[" + ", ".join(repr(member) ...) + "]": a list's repr, which is what str() and format() of
// a list of the members give.
bool LevelPath::plain(PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* os_flavor) noexcept {
  const bool platform_member = model != Py_None || platform != Py_None;
  return PyUnicode_CheckExact(os) && (!platform_member || PyUnicode_CheckExact(platform)) &&
         (model == Py_None || PyUnicode_CheckExact(model)) &&
         (os_flavor == Py_None || PyUnicode_CheckExact(os_flavor));
}

Ref LevelPath::list_text() const noexcept {
  Ref reprs[4];
  PyObject* parts[2 + 2 * 4];
  Py_ssize_t count = 0;
  parts[count++] = kListOpen.get();
  for (Py_ssize_t i = 0; i < count_; ++i) {
    reprs[i] = Ref::steal(PyObject_Repr(members_[i]));
    if (!reprs[i]) return Ref();
    if (i > 0) parts[count++] = kListSeparator.get();
    parts[count++] = reprs[i].get();
  }
  parts[count++] = kListClose.get();
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (parts[i] == nullptr) return Ref();  // a StaticText that could not be made
  }
  return support::join_texts(parts, count);
}

int has_key(PyObject* node, PyObject* key) noexcept {
  if (PyDict_CheckExact(node)) return PyDict_Contains(node, key);
  Ref keys = Ref::steal(PyObject_CallMethodNoArgs(node, name(Name::keys)));
  return keys ? PySequence_Contains(keys.get(), key) : -1;
}

int has_key(PyObject* node, PyObject* key, Ref* value) noexcept {
  if (!store_is_plain(node, key)) return has_key(node, key);
  PyObject* found;
  const int status = cpython::dict_item(node, key, &found);
  *value = Ref::steal(found);
  return status;
}

// Where the lookup runs no Python code, a walk's test and read of a level are one lookup: without
// the GIL the level is then read consistently, where another thread may change the node between
// a test and a read.
bool store_is_plain(PyObject* node, PyObject* key) noexcept {
  return PyUnicode_CheckExact(key) && calls::text_keyed(node);
}

Ref item(PyObject* node, PyObject* key) noexcept {
  if (PyDict_CheckExact(node)) {
    PyObject* value;
    const int found = cpython::dict_item(node, key, &value);
    if (found > 0) return Ref::steal(value);
    if (found == 0) raise_key_error(key);
    return Ref();
  }
  return Ref::steal(PyObject_GetItem(node, key));
}

bool set_item(PyObject* node, PyObject* key, PyObject* value) noexcept {
  return (PyDict_CheckExact(node) ? PyDict_SetItem(node, key, value)
                                  : PyObject_SetItem(node, key, value)) == 0;
}

bool del_item(PyObject* node, PyObject* key) noexcept {
  return (PyDict_CheckExact(node) ? PyDict_DelItem(node, key) : PyObject_DelItem(node, key)) == 0;
}

Ref root(PyObject* self, calls::InstanceView* view) noexcept {
  Ref tree = calls::instance_attribute(self, Name::plugins_attr, view);
  if (view != nullptr) view->drop();  // the walk that follows may run Python code
  return tree;
}

bool validate(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
              PyObject* chassis_type, calls::InstanceView* view) noexcept {
  take_view(*view, self, os, platform, model, chassis_type);
  auto body = [view](PyObject* s, PyObject* o, PyObject* p, PyObject* m, PyObject* c) {
    return validate_arguments_in(s, o, p, m, c, view);
  };
  return static_cast<bool>(calls::call_on_self(self, support::Method::validate_arguments, nullptr,
                                               view, body, os, platform, model, chassis_type));
}

}  // namespace mirvak::registry
