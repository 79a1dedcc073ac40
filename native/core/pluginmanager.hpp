// mirvak.core.pluginmanager: the plugin registry of the device-connection library.
//
// The module defines one class, PluginManager, whose methods are true Python functions with
// C++ bodies (support/methods.hpp); the bodies live with their subsystem:
//   registry/   the registry tree, validation, registration, lookup, removal
//   discovery/  built-in package walk and installed entry points
//   render/     tree drawing and the manager's representation
//   host/       the host package's components, reached through the module globals
#pragma once

#include <Python.h>

namespace mirvak {

inline constexpr const char kModuleName[] = "mirvak.core.pluginmanager";
inline constexpr const char kClassName[] = "PluginManager";

// Assembles the class from the method table and binds it as the global PluginManager.
bool assemble_class(PyObject* module_dict) noexcept;

}  // namespace mirvak
