"""The lab's test-bench connection.

Its name starts with "test" but does not end in "tests", so plugin
discovery imports it like any other plugin module.
"""
from mirvak.manager import plugin_manager


class LabBenchConnection:
    """Session on the netbsd bench host of platform p3, model m7."""

    def __init__(self, hostname: str = "bench") -> None:
        self.hostname = hostname

    def connect(self) -> str:
        return "%s: bench session on %s" % (type(self).__name__, self.hostname)


plugin_manager.register_plugin(LabBenchConnection, os="netbsd", platform="p3", model="m7")
