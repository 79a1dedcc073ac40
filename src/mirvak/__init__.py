"""Device-connection library (host package of the plugin registry).

Only what the plugin registry needs lives here: the library's logger, and
``__version__``.  Importing this package does not load the compiled registry
module.
"""
import logging
from typing import Any

log = logging.getLogger("mirvak")


def __getattr__(name: str) -> Any:
    # The installed distribution's version, read only when asked for.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("mirvak")
        except PackageNotFoundError:  # run from a source tree that is not installed
            return "0+unknown"
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
