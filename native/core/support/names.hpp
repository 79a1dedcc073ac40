// Interned strings: attribute names, global names and fixed keys, made once at module execution.
#pragma once

#include <Python.h>

namespace mirvak::names {

// X(identifier, text)
#define MIRVAK_NAMES(X)                             \
  X(plugins_attr, "_plugins")                       \
  X(chassis_type_list, "chassis_type_list")         \
  X(supported_os, "supported_os")                   \
  X(supported_chassis, "supported_chassis")         \
  X(validate_model, "validate_model")               \
  X(validate_platform, "validate_platform")         \
  X(validate_os, "validate_os")                     \
  X(validate_chassis_type, "validate_chassis_type") \
  X(validate_arguments, "validate_arguments")       \
  X(print_tree, "print_tree")                       \
  X(os, "os")                                       \
  X(platform, "platform")                           \
  X(model, "model")                                 \
  X(chassis_type, "chassis_type")                   \
  X(data, "data")                                   \
  X(output, "output")                               \
  X(keys, "keys")                                   \
  X(cls, "cls")                                     \
  X(path, "path")                                   \
  X(linux, "linux")                                 \
  X(single_rp, "single_rp")                         \
  X(log, "log")                                     \
  X(debug, "debug")                                 \
  X(ConnectionInfraError, "ConnectionInfraError")   \
  X(getfile, "getfile")                             \
  X(entry_points, "entry_points")                   \
  X(ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP")           \
  X(pkgutil, "pkgutil")                             \
  X(importlib, "importlib")                         \
  X(dirname, "dirname")                             \
  X(walk_packages, "walk_packages")                 \
  X(import_module, "import_module")                 \
  X(group, "group")                                 \
  X(get, "get")                                     \
  X(name, "name")                                   \
  X(module, "module")                               \
  X(load, "load")                                   \
  X(islower, "islower")                             \
  X(isdigit, "isdigit")                             \
  X(dunder_name, "__name__")                        \
  X(dunder_module, "__module__")                    \
  X(dunder_class, "__class__")                      \
  X(dunder_file, "__file__")                        \
  X(dunder_import, "__import__")                    \
  X(modules, "modules")                             \
  X(plugins_part, ".plugins.")                      \
  X(tests_part, ".tests.")                          \
  X(tests, "tests")                                 \
  X(endswith, "endswith")                           \
  X(key, "key")                                     \
  X(sort, "sort")                                   \
  X(split, "split")                                 \
  X(newline, "\n")                                  \
  X(equals, " = ")                                  \
  X(branch, "__ ")                                  \
  X(first_line_prefix, "\n  |")                     \
  X(last_child_prefix, "\n  ")                      \
  X(empty, "")                                      \
  X(slash, "/")

enum class Name {
#define MIRVAK_NAME_ENUM(id, text) id,
  MIRVAK_NAMES(MIRVAK_NAME_ENUM)
#undef MIRVAK_NAME_ENUM
      count_
};

// Makes every name; false with an exception set on failure.
bool init() noexcept;

// The interned string; valid once init() has succeeded, while the module lives.
PyObject* get(Name n) noexcept;

}  // namespace mirvak::names

namespace mirvak {
using names::Name;
inline PyObject* name(Name n) noexcept {
  return names::get(n);
}
}  // namespace mirvak
