"""Type stub of the compiled plugin registry ``mirvak.core.pluginmanager``."""
import importlib as importlib
import os as os
import pkgutil as pkgutil
from importlib.metadata import entry_points as entry_points
from inspect import getfile as getfile
from logging import Logger
from typing import Any

from mirvak.plugins import supported_chassis as supported_chassis
from mirvak.plugins import supported_os as supported_os

from .errors import ConnectionInfraError as ConnectionInfraError

log: Logger
ENTRYPOINT_GROUP: str

class PluginManager:
    """Registry of connection classes keyed by os, platform, model, os
    flavour and chassis type."""

    _plugins: dict[str, Any]
    chassis_type_list: list[str]
    supported_os: list[str]
    def __init__(self) -> None: ...
    @property
    def plugins(self) -> dict[str, Any]:
        """The live registry tree; read-only (assigning raises ``Exception``)."""
    def validate_model(self, os: str | None, platform: str | None, model: str | None) -> None: ...
    def validate_platform(self, os: str | None, platform: str | None) -> None: ...
    def validate_os(self, os: str | None) -> None: ...
    def validate_chassis_type(self, chassis_type: str | None) -> None: ...
    def validate_arguments(
        self, os: str | None, platform: str | None, model: str | None, chassis_type: str | None
    ) -> None: ...
    def get_plugin(
        self,
        os: str | None = None,
        platform: str | None = None,
        model: str | None = None,
        os_flavor: str | None = None,
        chassis_type: str | None = "single_rp",
    ) -> type[Any]: ...
    def unregister_plugin(
        self,
        os: str | None = None,
        platform: str | None = None,
        model: str | None = None,
        os_flavor: str | None = None,
        chassis_type: str | None = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type[Any],
        os: str | None = None,
        platform: str | None = None,
        model: str | None = None,
        os_flavor: str | None = None,
        chassis_type: str | None = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: object, output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...
