"""Connections for BSD systems (freebsd and openbsd)."""
