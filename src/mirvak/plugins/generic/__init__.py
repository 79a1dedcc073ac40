"""Connections for generic linux hosts.

The classes live in :mod:`mirvak.plugins.generic.connection`; plugin
discovery imports that module, which registers them.
"""
