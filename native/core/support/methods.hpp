// The class's methods as data: what a class body would define, and the native body behind each.
#pragma once

#include <Python.h>

#include "support/native.hpp"
#include "support/ref.hpp"

namespace mirvak::support {

// Every function of the class, in the order of the class namespace.
enum class Method {
  init,
  plugins_get,
  plugins_set,
  validate_model,
  validate_platform,
  validate_os,
  validate_chassis_type,
  validate_arguments,
  get_plugin,
  unregister_plugin,
  register_plugin,
  discover_builtin_plugins,
  discover_external_plugins,
  print_tree,
  repr,
  count_
};

enum class Kind { method, static_method, property_getter, property_setter };

struct MethodSpec {
  Method id;
  const char* name;    // name in the class namespace
  const char* params;  // parameter list as a def statement writes it, defaults included
  Kind kind;
  const char* doc;       // nullptr: no docstring
  const char* varnames;  // local names the code object lists, blank-separated; nullptr: the params
  NativeBody native;     // the C++ body
};

// The table (defined with the class).
const MethodSpec* method_table() noexcept;
constexpr int method_count = static_cast<int>(Method::count_);

// Builds one Python function per table entry and remembers them.  Returns false with an
// exception set on failure.
bool make_functions(const char* module_name, const char* class_name) noexcept;
PyObject* function(Method id) noexcept;     // borrowed; valid after make_functions
PyObject* method_name(Method id) noexcept;  // the name, interned

// Whether `candidate` is this module's own function for the method, its code unchanged: calling
// its native body directly is then the same as calling it.
bool is_own(PyObject* candidate, Method id) noexcept;

// Whether `candidate` is one of this module's functions (whatever its code), which live as long
// as the module.
bool is_module_function(PyObject* candidate) noexcept;

}  // namespace mirvak::support
