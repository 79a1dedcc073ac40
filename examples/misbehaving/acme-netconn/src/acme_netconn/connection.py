"""Registers AcmeP9Connection for linux/p9, where mirvak-demo-plugin registers its own class."""
from mirvak.manager import plugin_manager


class AcmeP9Connection:
    def connect(self) -> str:
        return "acme session"


plugin_manager.register_plugin(AcmeP9Connection, os="linux", platform="p9")
