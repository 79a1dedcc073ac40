"""Unit tests of the generic plugin.

Plugin discovery skips this package's modules; it is still imported while
the package tree is walked, so it must stay free of side effects.
"""
