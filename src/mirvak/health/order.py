"""The order in which external discovery loads entry points.

The file system lists site-packages in an order of its own (ext4 hashes names, tmpfs lists
the newest first), and the last registration for a place wins, so following the listing made
the winner of a conflict across distributions depend on the machine.  Only that order is
fixed here:

- entry points that know their distribution load grouped by its normalised name, the groups
  in code-point order of that name; within a distribution they keep the order in which the
  selection gives them, which is the order of its ``entry_points.txt`` (its author's own,
  the same on every machine);
- entry points that know no distribution (3.9's ``importlib.metadata`` gives none, and a
  replaced ``entry_points`` may give any objects) load first, in the selection's order;
- nothing is dropped or added: an entry point given twice loads twice.

The winner of a conflict between distributions is then the one whose name sorts last, on
every machine.

The normalised name is ``dist._normalized_name``: ``importlib.metadata`` takes it from the
``.dist-info`` or ``.egg-info`` folder's name and reads ``METADATA`` (with the email parser)
only where the folder cannot give it; it is also the name by which ``entry_points()`` keeps
one distribution of each name, so two distributions of a real selection never tie.  A
distribution object without it gives ``dist.name``, normalised the same way.  Reading any of
this runs code the pure-Python discovery never runs, so an ``Exception`` there, or a name that
is not a str, counts as no distribution; loading the entry point fails as it would have.

``PluginManager.discover_external_plugins`` (native/core/discovery/external.cpp) follows the
same rule; :func:`load_order` is its definition for the health report.
"""
from __future__ import annotations

import re
from typing import Any, Iterable, List, Optional

__all__ = ["distribution_key", "load_order"]

_SEPARATORS = re.compile(r"[-_.]+")


def distribution_key(point: Any) -> Optional[str]:
    """The normalised name of the entry point's distribution (an exact str), None without one."""
    try:
        dist = getattr(point, "dist", None)
        if dist is None:
            return None
        try:
            name = dist._normalized_name
        except AttributeError:
            name = dist.name
            if issubclass(type(name), str):  # as importlib.metadata normalises
                name = str.lower(_SEPARATORS.sub("_", name))
    except Exception:
        return None
    return str.__str__(name) if issubclass(type(name), str) else None


def load_order(points: Iterable[Any]) -> List[Any]:
    """The entry points in the order discovery loads them."""
    keyed = [(distribution_key(point), point) for point in points]
    first = [point for key, point in keyed if key is None]
    grouped = sorted((item for item in keyed if item[0] is not None), key=lambda item: item[0])
    return first + [point for _, point in grouped]
