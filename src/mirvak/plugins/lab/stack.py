"""Stacked illumos units reached through one management address."""
from mirvak.manager import plugin_manager


class LabStackConnection:
    """Session on the master unit of an illumos stack."""

    def __init__(self, hostname: str = "device", members: int = 2) -> None:
        self.hostname = hostname
        self.members = members

    def connect(self) -> str:
        return "%s: stack of %d on %s" % (type(self).__name__, self.members, self.hostname)


plugin_manager.register_plugin(LabStackConnection, os="illumos", chassis_type="stack")
