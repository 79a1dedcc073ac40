// Validation of the identifiers that select a plugin.  Each validator returns None or raises
// ConnectionInfraError with its fixed message; validate_arguments runs the others through the
// instance, so that an override is used.
#include "host/host.hpp"
#include "registry/registry.hpp"
#include "support/call.hpp"
#include "support/compat.hpp"
#include "support/methods.hpp"

namespace mirvak::registry {
namespace {

using support::Method;

constexpr const char kModelNeedsOsAndPlatform[] = "OS and platform are required for Model: ";
constexpr const char kModelNotText[] = "Model should be of type str";
constexpr const char kModelNotLowercase[] = " Model (%S) has to be in lowecase";
constexpr const char kPlatformNeedsOs[] = "OS information not provided for platform: ";
constexpr const char kPlatformNotText[] = "platform should be of type str";
constexpr const char kPlatformNotLowercase[] = "platform (%S) has to be in lowercase";
constexpr const char kOsNotListed[] = "%S is not part of the built-in list of supported OSes.";
constexpr const char kOsRequired[] = "OS should be one of these %S , but got %S";
constexpr const char kChassisNotListed[] = "chassis Type should be one of these %S, but got %S";

// raise ConnectionInfraError(prefix + str(value))
PyObject* raise_with_text(const char* prefix, PyObject* value) {
  Ref message = Ref::steal(PyUnicode_FromFormat("%s%S", prefix, value));
  return message ? host::raise_connection_error(message.get()) : nullptr;
}

// raise ConnectionInfraError(format % (values...)), the values shown with str()
template <typename... Values>
PyObject* raise_formatted(const char* format, Values... values) {
  Ref message = Ref::steal(PyUnicode_FromFormat(format, values...));
  return message ? host::raise_connection_error(message.get()) : nullptr;
}

// str.islower() and str.isdigit(); computed here for an exact str, called otherwise.
int exact_islower(PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) {
    const auto* bytes = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    bool cased = false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
      if (bytes[i] >= 'A' && bytes[i] <= 'Z') return 0;
      cased = cased || (bytes[i] >= 'a' && bytes[i] <= 'z');
    }
    return cased;
  }
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  bool cased = false;
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (Py_UNICODE_ISUPPER(ch) || Py_UNICODE_ISTITLE(ch)) return 0;
    if (!cased && Py_UNICODE_ISLOWER(ch)) cased = true;
  }
  return cased;
}

int exact_isdigit(PyObject* text) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return 0;
  }
  return n > 0;
}

int text_test(PyObject* text, Name method, int (*exact)(PyObject*)) {
  if (PyUnicode_CheckExact(text)) return exact(text);
  return support::truth(Ref::steal(PyObject_CallMethodNoArgs(text, name(method))));
}

// The shared tail of model and platform checks: a lower-case or all-digit text passes.
// `isinstance(value, str)`, which also honours a `__class__` that claims str (a mock, say).
PyObject* check_lowercase(PyObject* value, const char* not_text, const char* not_lowercase) {
  const int is_text =
      PyUnicode_Check(value)
          ? 1
          : PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (is_text <= 0) return is_text < 0 ? nullptr : host::raise_connection_error(not_text);
  int ok = text_test(value, Name::islower, exact_islower);
  if (ok == 0) ok = text_test(value, Name::isdigit, exact_isdigit);
  if (ok < 0) return nullptr;
  if (ok) Py_RETURN_NONE;
  return raise_formatted(not_lowercase, value);
}

// self.<validator>(keyword=value, ...), or its native body when the attribute is ours.
template <typename Body, typename... Args>
bool run_validator(PyObject* self, Name attribute, Method id, Body body,
                   std::initializer_list<Name> keywords, Args... args) {
  auto found = support::find_method(self, attribute, id);
  if (!found.callable) return false;
  Ref result = found.ours ? Ref::steal(body(self, args...))
                          : support::call_keywords(found.callable.get(), {args...}, keywords);
  return static_cast<bool>(result);
}

}  // namespace

PyObject* validate_model(PyObject*, PyObject* os, PyObject* platform, PyObject* model) noexcept {
  int present = PyObject_IsTrue(model);
  if (present <= 0) return present < 0 ? nullptr : Py_NewRef(Py_None);
  int has_platform = PyObject_IsTrue(platform);
  if (has_platform < 0) return nullptr;
  int has_os = has_platform ? PyObject_IsTrue(os) : 0;
  if (has_os < 0) return nullptr;
  if (!has_os) return raise_with_text(kModelNeedsOsAndPlatform, model);
  return check_lowercase(model, kModelNotText, kModelNotLowercase);
}

PyObject* validate_platform(PyObject*, PyObject* os, PyObject* platform) noexcept {
  int present = PyObject_IsTrue(platform);
  if (present <= 0) return present < 0 ? nullptr : Py_NewRef(Py_None);
  if (os == Py_None) return raise_with_text(kPlatformNeedsOs, platform);
  return check_lowercase(platform, kPlatformNotText, kPlatformNotLowercase);
}

PyObject* validate_os(PyObject* self, PyObject* os) noexcept {
  int present = PyObject_IsTrue(os);
  if (present < 0) return nullptr;
  Ref supported = Ref::steal(PyObject_GetAttr(self, name(Name::supported_os)));
  if (!supported) return nullptr;
  if (!present) return raise_formatted(kOsRequired, supported.get(), os);
  int listed = PySequence_Contains(supported.get(), os);
  if (listed < 0) return nullptr;
  if (!listed) {
    Ref text = Ref::steal(PyUnicode_FromFormat(kOsNotListed, os));
    if (!text || !host::log_debug(text.get())) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* validate_chassis_type(PyObject* self, PyObject* chassis_type) noexcept {
  int present = PyObject_IsTrue(chassis_type);
  if (present < 0) return nullptr;
  if (present) {
    Ref accepted = Ref::steal(PyObject_GetAttr(self, name(Name::chassis_type_list)));
    int listed = accepted ? PySequence_Contains(accepted.get(), chassis_type) : -1;
    if (listed < 0) return nullptr;
    if (listed) Py_RETURN_NONE;
  }
  Ref accepted = Ref::steal(PyObject_GetAttr(self, name(Name::chassis_type_list)));
  return accepted ? raise_formatted(kChassisNotListed, accepted.get(), chassis_type) : nullptr;
}

PyObject* validate_arguments(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type) noexcept {
  if (!run_validator(self, Name::validate_model, Method::validate_model, validate_model,
                     {Name::os, Name::platform, Name::model}, os, platform, model) ||
      !run_validator(
          self, Name::validate_platform, Method::validate_platform,
          [](PyObject* s, PyObject* p, PyObject* o) { return validate_platform(s, o, p); },
          {Name::platform, Name::os}, platform, os) ||
      !run_validator(self, Name::validate_os, Method::validate_os, validate_os, {Name::os}, os))
    return nullptr;
  int is_linux = PyObject_RichCompareBool(os, name(Name::linux), Py_EQ);
  if (is_linux < 0) return nullptr;
  if (!is_linux && !run_validator(self, Name::validate_chassis_type, Method::validate_chassis_type,
                                  validate_chassis_type, {Name::chassis_type}, chassis_type))
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace mirvak::registry
