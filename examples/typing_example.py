"""Uses the plugin registry's API the way library code does; checked with
``mypy --strict examples/typing_example.py`` and runnable as a script."""
from typing import Any, Dict

from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import ENTRYPOINT_GROUP, PluginManager
from mirvak.health import LookupExplanation, discovery_report, explain_lookup
from mirvak.manager import plugin_manager


class ShellConnection:
    def __init__(self, hostname: str) -> None:
        self.hostname = hostname

    def connect(self) -> str:
        return "shell on " + self.hostname


class P1Connection(ShellConnection):
    pass


def build() -> PluginManager:
    manager = PluginManager()
    manager.register_plugin(ShellConnection, os="linux")
    manager.register_plugin(P1Connection, os="linux", platform="p1")
    manager.register_plugin(ShellConnection, "freebsd", chassis_type="dual_rp")
    return manager


def connect(manager: PluginManager, platform: str) -> str:
    cls = manager.get_plugin(os="linux", platform=platform)
    connection = cls("router1")
    result: str = connection.connect()
    return result


def main() -> None:
    manager = build()
    print(connect(manager, "p1"))
    print(connect(manager, "p7"))  # no p7 entry: falls back to the linux class
    tree: Dict[str, Any] = manager.plugins
    print(sorted(tree))
    print(manager.print_tree(tree, output="registry"))
    manager.unregister_plugin(os="freebsd", chassis_type="dual_rp")
    try:
        manager.get_plugin(os="freebsd", chassis_type="dual_rp")
    except ConnectionInfraError as exc:
        print("gone:", exc)
    PluginManager.discover_builtin_plugins()
    print(ENTRYPOINT_GROUP, len(plugin_manager.plugins) > 0)
    print(repr(manager).splitlines()[0])
    report = discovery_report(external=False)  # modules imported above: nothing runs again
    print("failed plugins:", [source.label for source in report.failed])
    explained: LookupExplanation = explain_lookup(os="linux", platform="p7", manager=manager)
    print("fell back:", explained.fell_back, explained.result is ShellConnection)


if __name__ == "__main__":
    main()
