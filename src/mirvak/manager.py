"""The library's process-wide default plugin manager.

Built-in plugins (the sub-packages of ``mirvak.plugins``) and external
plugins (installed distributions advertising the ``mirvak.plugins`` entry
point group) register their connection classes with ``plugin_manager`` when
they are imported.  Importing this module loads the compiled registry; it
does not run any discovery::

    from mirvak.core.pluginmanager import PluginManager
    from mirvak.manager import plugin_manager

    PluginManager.discover_builtin_plugins()
    PluginManager.discover_external_plugins()
    cls = plugin_manager.get_plugin(os="linux", platform="p1")
"""
from mirvak.core.pluginmanager import PluginManager

__all__ = ["PluginManager", "plugin_manager"]

plugin_manager: PluginManager = PluginManager()
