"""Registration inside a function: discovery imports this module but never calls register()."""
from mirvak.manager import plugin_manager


class HooksConnection:
    pass


def register() -> None:
    plugin_manager.register_plugin(HooksConnection, os="linux", platform="p4")
