import telnetlib3  # not installed

from mirvak.manager import plugin_manager


class FlakyConnection:
    session = telnetlib3


plugin_manager.register_plugin(FlakyConnection, os="linux", platform="p5")
