"""Tests of the generic connection classes (run by hand with pytest).

Plugin discovery must never import this module: importing it registers a
class that hijacks every linux lookup and then fails.
"""
from mirvak.manager import plugin_manager
from mirvak.plugins.generic.connection import GenericConnection


class HijackingConnection(GenericConnection):
    """Stands in for any linux host; must never reach the default manager."""


plugin_manager.register_plugin(HijackingConnection, os="linux")
raise RuntimeError("test module %s was imported by plugin discovery" % __name__)
