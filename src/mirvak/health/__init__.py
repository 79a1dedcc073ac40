"""Plugin health: what discovery loaded, what failed, and why a lookup answers as it does.

Built on top of the registry, never changing it: ``PluginManager`` and its two
discovery methods behave exactly as before.

- :func:`discovery_report` runs the class's discovery (built-in walk, then
  the entry points of group ``mirvak.plugins``) into a manager, one plugin
  source at a time, recording failures instead of stopping, and tells which
  source made each registration and which places were registered twice.
- :func:`explain_lookup` explains a ``get_plugin`` call step by step; its
  verdict is always the one ``get_plugin`` gives.
- ``MIRVAK_DISABLE_PLUGINS`` (see :mod:`mirvak.health.disabling`) skips
  entry points by entry-point or distribution name, in the report and on the
  command line; ``MIRVAK_PREFER_PLUGINS`` makes the named ones load last.
- :func:`load_order` is the order external discovery loads entry points in
  (the class's own discovery follows the same rule).

::

    from mirvak.health import discovery_report, explain_lookup

    report = discovery_report()
    for source in report.failed:
        print(source.label, source.error)
    print(explain_lookup(os="linux", platform="p7").to_text())
"""
from mirvak.health.disabling import DISABLE_ENV, PREFER_ENV, disabled_names, preferred_names
from mirvak.health.explain import LookupExplanation, LookupStep, explain_lookup
from mirvak.health.order import load_order
from mirvak.health.report import (BEFORE_DISCOVERY, Claim, Conflict, DiscoveryReport,
                                  PluginError, PluginSource, Registration, discovery_report,
                                  dotted_name)

__all__ = [
    "BEFORE_DISCOVERY", "Claim", "Conflict", "DISABLE_ENV", "DiscoveryReport",
    "LookupExplanation", "LookupStep", "PREFER_ENV", "PluginError", "PluginSource",
    "Registration", "discovery_report", "disabled_names", "dotted_name", "explain_lookup",
    "load_order", "preferred_names",
]
