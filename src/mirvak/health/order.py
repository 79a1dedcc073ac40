"""The order in which external discovery loads entry points.

The file system lists site-packages in an order of its own (ext4 hashes names, tmpfs lists
the newest first), and the last registration for a place wins, so following the listing made
the winner of a conflict depend on the machine.  Entry points load instead by normalised
distribution name, then entry-point name, then value (code-point order, a stable sort), and an
entry listed twice (an ``egg-info`` beside a ``dist-info``) loads once.  The winner of a
conflict is then the distribution whose name sorts last, on every machine.

The distribution is ``ep.dist.name``.  An entry point without one (3.9's ``importlib.metadata``
gives none, and stand-ins that tests pass have none) sorts under ``""``, so on 3.9 the order is
by entry-point name and value.  A part whose reading raises an ``Exception`` counts as ``""``
and never makes its entry a duplicate: the entry keeps its place by what could be read, and
loading it raises as it would have.

``PluginManager.discover_external_plugins`` (native/core/discovery/external.cpp) follows the
same rule; :func:`load_order` is its definition for the health report.
"""
from __future__ import annotations

import re
from typing import Any, Callable, Iterable, List, Tuple

__all__ = ["load_order", "order_key"]

Key = Tuple[str, str, str]


def _text(read: Any) -> str:
    """``str(read())`` as an exact str."""
    return str.__str__(str(read()))


def order_key(point: Any) -> Tuple[Key, bool]:
    """(distribution, name, value) of an entry point, and whether every part could be read."""
    complete = True

    def part(read: Callable[[], str]) -> str:
        nonlocal complete
        try:
            return read()
        except Exception:
            complete = False
            return ""

    def distribution() -> str:
        try:
            dist = point.dist
        except AttributeError:
            return ""
        name: object = None if dist is None else dist.name
        if not isinstance(name, str) or not issubclass(type(name), str):  # its real type
            return ""
        return re.sub(r"[-_.]+", "-", str.lower(name))

    key = (part(distribution), part(lambda: _text(lambda: point.name)),
           part(lambda: _text(lambda: point.value)))
    return key, complete


def load_order(points: Iterable[Any]) -> List[Any]:
    """The entry points in the order discovery loads them, each identical entry once."""
    keyed = [(order_key(point), point) for point in points]
    keyed.sort(key=lambda item: item[0][0])
    ordered, last = [], None
    for (key, complete), point in keyed:
        if complete:
            if key == last:
                continue
            last = key
        ordered.append(point)
    return ordered
