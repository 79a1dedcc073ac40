"""The registry module and its private companion, which exposes the built-in walk
(and lists a tree's records quickly, for the report's starting point).

The companion ``mirvak.core._pluginwalk`` lives in the registry's own shared
object and works on the registry module's globals, so the report walks the
built-in plugins package with exactly the code, the globals and the
test-module filter of ``PluginManager.discover_builtin_plugins``.
"""
from __future__ import annotations

import sys
from importlib.machinery import ExtensionFileLoader
from importlib.util import module_from_spec, spec_from_loader
from types import ModuleType
from typing import Callable, Optional

COMPANION = "mirvak.core._pluginwalk"


def registry() -> ModuleType:
    """The compiled registry module ``mirvak.core.pluginmanager``, imported."""
    import mirvak.core.pluginmanager as module

    return module


def companion() -> ModuleType:
    """The companion module, loaded from the registry's file on first use."""
    module = sys.modules.get(COMPANION)
    if module is not None:
        return module
    origin = registry().__file__
    if origin is None:  # pragma: no cover - the registry is always a file
        raise ImportError("the compiled plugin registry has no file to load %s from" % COMPANION)
    loader = ExtensionFileLoader(COMPANION, origin)
    spec = spec_from_loader(COMPANION, loader)
    if spec is None:  # pragma: no cover - an extension loader always gives a spec
        raise ImportError("cannot make a module spec for %s" % COMPANION)
    module = module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[COMPANION] = module
    return module


def walk_builtin_plugins(import_module: Callable[[str], object],
                         onerror: Optional[Callable[[str], object]] = None) -> None:
    """Walk the built-in plugins package as the class's discovery does, calling
    ``import_module(name)`` for each module that passes the test-module filter;
    ``onerror`` goes to ``pkgutil.walk_packages``."""
    companion().walk_builtin_plugins(import_module, onerror)


def is_plugin_module(name: str) -> bool:
    """Whether the built-in walk imports the module of that dotted name."""
    return bool(companion().is_plugin_module(name))
