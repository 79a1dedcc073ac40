"""Registers :class:`DemoP9Connection` with mirvak's default manager."""
from mirvak.manager import plugin_manager


class DemoP9Connection:
    """Session on a linux host of platform p9 (an example external plugin)."""

    def __init__(self, hostname: str = "device") -> None:
        self.hostname = hostname

    def connect(self) -> str:
        return "%s: demo session on %s" % (type(self).__name__, self.hostname)


plugin_manager.register_plugin(DemoP9Connection, os="linux", platform="p9")
