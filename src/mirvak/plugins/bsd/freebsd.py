"""freebsd connections: single and dual route-processor chassis."""
from mirvak.manager import plugin_manager


class FreebsdConnection:
    """Console session on a single route-processor freebsd chassis."""

    def __init__(self, hostname: str = "device") -> None:
        self.hostname = hostname

    def connect(self) -> str:
        return "%s: console on %s" % (type(self).__name__, self.hostname)


class FreebsdDualConnection(FreebsdConnection):
    """Dual route-processor chassis: one session per processor."""

    def connect(self) -> str:
        return "%s: active and standby consoles on %s" % (type(self).__name__, self.hostname)


plugin_manager.register_plugin(FreebsdConnection, os="freebsd")
plugin_manager.register_plugin(FreebsdDualConnection, os="freebsd", chassis_type="dual_rp")
