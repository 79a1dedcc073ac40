// PluginManager's methods, in the order of the class namespace: names, parameters with their
// defaults, docstrings, the local names of the code objects, and the native bodies.
#include "discovery/discovery.hpp"
#include "registry/registry.hpp"
#include "render/render.hpp"
#include "support/methods.hpp"
#include "support/native.hpp"

namespace mirvak::support {
namespace {

namespace doc {
constexpr const char kInit[] = "\n            Initialize\n        ";
constexpr const char kPlugins[] = " Plugin list getter\n        ";
constexpr const char kValidateModel[] = "\n         Validates Model\n        ";
constexpr const char kValidatePlatform[] = "\n         Validates platform\n        ";
constexpr const char kValidateOs[] = "\n         Validates OS\n        ";
constexpr const char kValidateChassisType[] = "\n         Validate chassis\n        ";
constexpr const char kValidateArguments[] = " Validates the input arguments provided\n        ";
constexpr const char kGetPlugin[] =
    "\n"
    "            This method returns the connection class based on the\n"
    "            input details provided\n"
    "        ";
constexpr const char kUnregisterPlugin[] =
    "\n"
    "            This method unregister a particular implementations from\n"
    "            the internal database\n"
    "        ";
constexpr const char kRegisterPlugin[] =
    "\n"
    "            This method registers all the implementation plugin(i.e connection class)\n"
    "            to the mirvak plugin manager\n"
    "\n"
    "            It takes OS, platform, MODEL information and based on that\n"
    "            registers it\n"
    "\n"
    "            cls refer to the connection class\n"
    "            chassis_type indicates if the connection class is for single_rp or\n"
    "            dual_rp or stack(default single_rp)\n"
    "\n"
    "        ";
constexpr const char kDiscoverBuiltinPlugins[] = "loads all plugins";
constexpr const char kDiscoverExternalPlugins[] =
    "\n        discover external plugins defined that users pip installed.\n        ";
constexpr const char kPrintTree[] =
    " This Method print the plugin list in tree structure\n"
    "\n"
    "        Sample Tree Structure::\n"
    "            plugin\n"
    "              |__ linux\n"
    "                |__ data\n"
    "                  |__ dual_rp\n"
    "                  |  |__ cls = <class 'mirvak.plugins.generic.GenericDualConnection'>\n"
    "                  |  |__ path = /opt/mirvak/plugins/generic/__init__.py\n"
    "                  |__ single_rp\n"
    "                    |__ cls = <class 'mirvak.plugins.generic.GenericConnection'>\n"
    "                    |__ path = /opt/mirvak/plugins/generic/__init__.py\n"
    "\n"
    "        ";
}  // namespace doc

constexpr const char kRegistryParams[] =
    "self, os=None, platform=None, model=None, os_flavor=None, chassis_type='single_rp'";

const MethodSpec kTable[] = {
    {Method::init, "__init__", "self", Kind::method, doc::kInit, nullptr,
     native<registry::init>("__init__")},
    {Method::plugins_get, "plugins", "self", Kind::property_getter, doc::kPlugins, nullptr,
     native<registry::plugins_get>("plugins")},
    {Method::plugins_set, "plugins", "self, value", Kind::property_setter, doc::kPlugins, nullptr,
     native<registry::plugins_set>("plugins")},
    {Method::validate_model, "validate_model", "self, os, platform, model", Kind::method,
     doc::kValidateModel, nullptr, native<registry::validate_model>("validate_model")},
    {Method::validate_platform, "validate_platform", "self, os, platform", Kind::method,
     doc::kValidatePlatform, nullptr, native<registry::validate_platform>("validate_platform")},
    {Method::validate_os, "validate_os", "self, os", Kind::method, doc::kValidateOs, nullptr,
     native<registry::validate_os>("validate_os")},
    {Method::validate_chassis_type, "validate_chassis_type", "self, chassis_type", Kind::method,
     doc::kValidateChassisType, nullptr,
     native<registry::validate_chassis_type>("validate_chassis_type")},
    {Method::validate_arguments, "validate_arguments", "self, os, platform, model, chassis_type",
     Kind::method, doc::kValidateArguments, nullptr,
     native<registry::validate_arguments>("validate_arguments")},
    {Method::get_plugin, "get_plugin", kRegistryParams, Kind::method, doc::kGetPlugin, nullptr,
     native<registry::get_plugin>("get_plugin")},
    {Method::unregister_plugin, "unregister_plugin",
     "self, os=None, platform=None, model=None, os_flavor=None, chassis_type=None", Kind::method,
     doc::kUnregisterPlugin, nullptr, native<registry::unregister_plugin>("unregister_plugin")},
    {Method::register_plugin, "register_plugin",
     "self, cls, os=None, platform=None, model=None, os_flavor=None, chassis_type='single_rp'",
     Kind::method, doc::kRegisterPlugin, nullptr,
     native<registry::register_plugin>("register_plugin")},
    {Method::discover_builtin_plugins, "discover_builtin_plugins", "", Kind::static_method,
     doc::kDiscoverBuiltinPlugins, "plugins_path mirvak_name mirvak_init _finder name _ispkg",
     native<discovery::discover_builtin_plugins>("discover_builtin_plugins")},
    {Method::discover_external_plugins, "discover_external_plugins", "", Kind::static_method,
     doc::kDiscoverExternalPlugins, "eps plugin",
     native<discovery::discover_external_plugins>("discover_external_plugins")},
    {Method::print_tree, "print_tree", "self, data, output='plugin'", Kind::method, doc::kPrintTree,
     "self data output sorted_keys last_key key temp_output separator current_line line",
     native<render::print_tree>("print_tree")},
    {Method::repr, "__repr__", "self", Kind::method, nullptr, nullptr,
     native<render::repr>("__repr__")},
};

static_assert(sizeof(kTable) / sizeof(kTable[0]) == method_count, "one entry per method");

}  // namespace

const MethodSpec* method_table() noexcept {
  return kTable;
}

}  // namespace mirvak::support
