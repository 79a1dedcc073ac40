// Validation of the identifiers that select a plugin.  Each validator returns None or raises
// ConnectionInfraError with its fixed message; validate_arguments runs the others through the
// instance, so that an override is used.
#include "calls/self_call.hpp"
#include "cpython/compat.hpp"
#include "host/host.hpp"
#include "registry/registry.hpp"
#include "support/call.hpp"
#include "support/text.hpp"

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
constexpr const char kOsRequired[] = "OS should be one of these ";
constexpr const char kOsGot[] = " , but got ";
constexpr const char kChassisNotListed[] = "chassis Type should be one of these ";
constexpr const char kChassisGot[] = ", but got ";

calls::KeywordNames g_model_keywords{Name::os, Name::platform, Name::model};
calls::KeywordNames g_platform_keywords{Name::platform, Name::os};
calls::KeywordNames g_os_keywords{Name::os};
calls::KeywordNames g_chassis_keywords{Name::chassis_type};

Ref text(const char* literal) {
  return Ref::steal(PyUnicode_FromString(literal));
}

// raise ConnectionInfraError(prefix + str(value))
[[gnu::noinline, gnu::cold]] PyObject* raise_with_text(const char* prefix, PyObject* value) {
  return host::raise_connection_error([&] {
    Ref head = text(prefix);
    return support::Sum().add(head.get()).add_str_of(value).result();
  });
}

// raise ConnectionInfraError(format % (value,))
[[gnu::noinline, gnu::cold]] PyObject* raise_formatted(const char* format, PyObject* value) {
  return host::raise_connection_error(
      [&] { return Ref::steal(PyUnicode_FromFormat(format, value)); });
}

// raise ConnectionInfraError(prefix + str(self.<listing>) + got + str(value))
[[gnu::noinline, gnu::cold]] PyObject* raise_not_listed(PyObject* self, Name listing,
                                                        const char* prefix, const char* got,
                                                        PyObject* value,
                                                        calls::InstanceView* view) {
  return host::raise_connection_error([&] {
    Ref head = text(prefix);
    Ref listed = head ? calls::instance_attribute(self, listing, view) : Ref();
    Ref joiner = listed ? text(got) : Ref();
    return support::Sum()
        .add(head.get())
        .add_str_of(listed.get())
        .add(joiner.get())
        .add_str_of(value)
        .result();
  });
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

// `text.islower() or text.isdigit()` for an exact ASCII str, in one pass.
bool ascii_lower_or_digits(PyObject* text) {
  const auto* bytes = static_cast<const unsigned char*>(PyUnicode_DATA(text));
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  bool upper = false, lower = false, digits = n > 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const unsigned char c = bytes[i];
    upper = upper || (c >= 'A' && c <= 'Z');
    lower = lower || (c >= 'a' && c <= 'z');
    digits = digits && c >= '0' && c <= '9';
  }
  return (lower && !upper) || digits;
}

// The shared tail of model and platform checks: a lower-case or all-digit text passes.
PyObject* check_lowercase(PyObject* value, const char* not_text, const char* not_lowercase) {
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value) && ascii_lower_or_digits(value))
    Py_RETURN_NONE;
  const int is_text = support::is_str(value);
  if (is_text <= 0) return is_text < 0 ? nullptr : host::raise_connection_error(not_text);
  int ok = text_test(value, Name::islower, exact_islower);
  if (ok == 0) ok = text_test(value, Name::isdigit, exact_isdigit);
  if (ok < 0) return nullptr;
  if (ok) Py_RETURN_NONE;
  return raise_formatted(not_lowercase, value);
}

// `value in self.<listing>`: 1, 0, or -1 with an exception set.
int listed_in(PyObject* self, Name listing, PyObject* value, calls::InstanceView* view) {
  int answer;
  if (view != nullptr && view->listed(listing, value, &answer)) return answer;
  Ref listed = calls::instance_attribute(self, listing, view);
  if (!listed) return -1;
  const int plain = support::contains_plainly(listed.get(), value);
  if (plain != -2) return plain;
  if (view != nullptr) view->drop();
  return PySequence_Contains(listed.get(), value);
}

// An identifier whose truth test and text checks run no Python code.
bool plain_identifier(PyObject* value) {
  return value == Py_None || PyUnicode_CheckExact(value);
}

// `os`, then `chassis_type`: whether what the validator reads of the instance may come from
// `view`, which is dropped otherwise.
void keep_view_if_plain(calls::InstanceView* view, PyObject* identifier) {
  if (view != nullptr && !plain_identifier(identifier)) view->drop();
}

PyObject* validate_os_in(PyObject* self, PyObject* os, calls::InstanceView* view) {
  keep_view_if_plain(view, os);
  int present = support::is_true(os);
  if (present < 0) return nullptr;
  if (!present) return raise_not_listed(self, Name::supported_os, kOsRequired, kOsGot, os, view);
  int listed = listed_in(self, Name::supported_os, os, view);
  if (listed < 0) return nullptr;
  if (!listed) {
    if (view != nullptr) view->drop();
    if (!host::log_debug([os] { return Ref::steal(PyUnicode_FromFormat(kOsNotListed, os)); }))
      return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* validate_chassis_type_in(PyObject* self, PyObject* chassis_type,
                                   calls::InstanceView* view) {
  keep_view_if_plain(view, chassis_type);
  int present = support::is_true(chassis_type);
  if (present < 0) return nullptr;
  if (present) {
    int listed = listed_in(self, Name::chassis_type_list, chassis_type, view);
    if (listed < 0) return nullptr;
    if (listed) Py_RETURN_NONE;
  }
  return raise_not_listed(self, Name::chassis_type_list, kChassisNotListed, kChassisGot,
                          chassis_type, view);
}

// `os == "linux"`, as a truth value.
int is_linux(PyObject* os, calls::InstanceView* view) {
  PyObject* linux_name = name(Name::linux);
  if (PyUnicode_CheckExact(os)) return support::same_text(os, linux_name);
  if (view != nullptr) view->drop();
  return PyObject_RichCompareBool(os, linux_name, Py_EQ);
}

}  // namespace

PyObject* validate_model(PyObject*, PyObject* os, PyObject* platform, PyObject* model) noexcept {
  int present = support::is_true(model);
  if (present <= 0) return present < 0 ? nullptr : Py_NewRef(Py_None);
  int has_platform = support::is_true(platform);
  if (has_platform < 0) return nullptr;
  int has_os = has_platform ? support::is_true(os) : 0;
  if (has_os < 0) return nullptr;
  if (!has_os) return raise_with_text(kModelNeedsOsAndPlatform, model);
  return check_lowercase(model, kModelNotText, kModelNotLowercase);
}

PyObject* validate_platform(PyObject*, PyObject* os, PyObject* platform) noexcept {
  int present = support::is_true(platform);
  if (present <= 0) return present < 0 ? nullptr : Py_NewRef(Py_None);
  if (os == Py_None) return raise_with_text(kPlatformNeedsOs, platform);
  return check_lowercase(platform, kPlatformNotText, kPlatformNotLowercase);
}

PyObject* validate_os(PyObject* self, PyObject* os) noexcept {
  return validate_os_in(self, os, nullptr);
}

PyObject* validate_chassis_type(PyObject* self, PyObject* chassis_type) noexcept {
  return validate_chassis_type_in(self, chassis_type, nullptr);
}

void take_view(calls::InstanceView& view, PyObject* self, PyObject* os, PyObject* platform,
               PyObject* model, PyObject* chassis_type) noexcept {
  if (plain_identifier(os) && plain_identifier(platform) && plain_identifier(model))
    view.take(self, os, chassis_type);
}

PyObject* validate_arguments_in(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                                PyObject* chassis_type, calls::InstanceView* view) noexcept {
  using calls::call_on_self;
  if (!call_on_self(self, Method::validate_model, &g_model_keywords, view, validate_model, os,
                    platform, model) ||
      !call_on_self(
          self, Method::validate_platform, &g_platform_keywords, view,
          [](PyObject* s, PyObject* p, PyObject* o) { return validate_platform(s, o, p); },
          platform, os) ||
      !call_on_self(
          self, Method::validate_os, &g_os_keywords, view,
          [view](PyObject* s, PyObject* o) { return validate_os_in(s, o, view); }, os))
    return nullptr;
  int linux_os = is_linux(os, view);
  if (linux_os < 0) return nullptr;
  if (!linux_os &&
      !call_on_self(
          self, Method::validate_chassis_type, &g_chassis_keywords, view,
          [view](PyObject* s, PyObject* c) { return validate_chassis_type_in(s, c, view); },
          chassis_type))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* validate_arguments(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type) noexcept {
  calls::InstanceView view;
  take_view(view, self, os, platform, model, chassis_type);
  return validate_arguments_in(self, os, platform, model, chassis_type, &view);
}

}  // namespace mirvak::registry
