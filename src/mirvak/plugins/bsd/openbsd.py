"""openbsd connections: platform p2 only."""
from mirvak.manager import plugin_manager


class OpenbsdP2Connection:
    """Serial session on openbsd running on platform p2."""

    def __init__(self, hostname: str = "device") -> None:
        self.hostname = hostname

    def connect(self) -> str:
        return "%s: serial session on %s" % (type(self).__name__, self.hostname)


plugin_manager.register_plugin(OpenbsdP2Connection, os="openbsd", platform="p2")
