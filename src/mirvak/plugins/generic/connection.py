"""Connection classes for linux hosts, from the most general to the most
specific: any linux host, platform p1, model m1 of platform p1, and the
"edge" flavour of linux on any platform."""
from mirvak.manager import plugin_manager


class GenericConnection:
    """Plain shell session on any linux host."""

    prompt = "$ "

    def __init__(self, hostname: str = "device") -> None:
        self.hostname = hostname

    def connect(self) -> str:
        return "%s: shell session on %s" % (type(self).__name__, self.hostname)


class GenericP1Connection(GenericConnection):
    """Linux on platform p1: the console needs a longer banner wait."""

    banner_timeout = 30


class GenericM1Connection(GenericP1Connection):
    """Model m1 of platform p1: a management-port session."""

    prompt = "m1# "


class GenericEdgeConnection(GenericConnection):
    """The "edge" flavour of linux: a restricted shell."""

    prompt = "edge> "


plugin_manager.register_plugin(GenericConnection, os="linux")
plugin_manager.register_plugin(GenericP1Connection, os="linux", platform="p1")
plugin_manager.register_plugin(GenericM1Connection, os="linux", platform="p1", model="m1")
plugin_manager.register_plugin(GenericEdgeConnection, os="linux", os_flavor="edge")
