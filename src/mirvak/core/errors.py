"""Errors raised by the library's core services."""


class ConnectionInfraError(Exception):
    """A connection could not be set up: bad device identifiers, or no
    connection class registered for the device."""
