"""Device-connection library (host package of the plugin registry).

Only what the plugin registry needs lives here: the library's logger.
Importing this package does not load the compiled registry module.
"""
import logging

log = logging.getLogger("mirvak")
