"""Plugins switched off or preferred by name: ``MIRVAK_DISABLE_PLUGINS`` and ``--disable``,
``MIRVAK_PREFER_PLUGINS`` and ``--prefer``.

A name matches an entry point by its entry-point name, or by the name of the
distribution that provides it (compared as package indexes compare project
names: case and runs of ``-``, ``_`` and ``.`` do not matter).  A disabled name
also matches a built-in module by its module name, and a built-in package with
everything in it.  Only entry points can be preferred.  Names are separated by
commas, in the variables as in each name given.  The class's own discovery
methods load everything, in their fixed order.
"""
from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Any, Callable, FrozenSet, Iterable, List, Mapping, Optional, Set, Tuple

DISABLE_ENV = "MIRVAK_DISABLE_PLUGINS"
"""Environment variable: comma-separated entry-point or distribution names."""
PREFER_ENV = "MIRVAK_PREFER_PLUGINS"
"""Environment variable: comma-separated names of entry points to load last, in that order."""

__all__ = ["DISABLE_ENV", "PREFER_ENV", "Disabled", "Preferred", "disabled_names",
           "normalize_distribution", "preferred_names"]


def normalize_distribution(name: str) -> str:
    """A distribution name in its comparable form (``Foo_Bar`` -> ``foo-bar``)."""
    return re.sub(r"[-_.]+", "-", name).lower()


def disabled_names(extra: Iterable[str] = (),
                   environ: Optional[Mapping[str, str]] = None) -> List[str]:
    """The names from ``MIRVAK_DISABLE_PLUGINS`` (of ``environ``, by default the
    process environment), then ``extra``; blanks around names and empty names
    are dropped, and each name is kept once."""
    return _names(DISABLE_ENV, extra, environ)


def preferred_names(extra: Iterable[str] = (),
                    environ: Optional[Mapping[str, str]] = None) -> List[str]:
    """The names from ``MIRVAK_PREFER_PLUGINS``, then ``extra``, as for disabling; a name
    given twice keeps its last place."""
    names = _names(PREFER_ENV, extra, environ, keep_last=True)
    return names


def _names(variable: str, extra: Iterable[str], environ: Optional[Mapping[str, str]],
           keep_last: bool = False) -> List[str]:
    text = (os.environ if environ is None else environ).get(variable, "")
    names = [part.strip() for given in [text, *extra] for part in given.split(",")]
    names = [name for name in names if name]
    if keep_last:
        return list(reversed(dict.fromkeys(reversed(names))))
    return list(dict.fromkeys(names))


@dataclass
class Disabled:
    """Which entry points to skip, and which of the names matched one."""

    names: List[str]
    _entry_points: FrozenSet[str] = field(init=False, repr=False)
    _distributions: FrozenSet[str] = field(init=False, repr=False)
    _used: Set[str] = field(init=False, repr=False, default_factory=set)

    def __post_init__(self) -> None:
        self._entry_points = frozenset(self.names)
        self._distributions = frozenset(normalize_distribution(n) for n in self.names)

    def matches(self, entry_point: str, distribution: Optional[str]) -> bool:
        """Whether the entry point of that name, provided by that distribution,
        is disabled; notes the names that matched."""
        hit = False
        if entry_point in self._entry_points:
            self._used.add(entry_point)
            hit = True
        if distribution is not None:
            wanted = normalize_distribution(distribution)
            if wanted in self._distributions:
                self._used.update(n for n in self.names if normalize_distribution(n) == wanted)
                hit = True
        return hit

    def matches_module(self, module: str) -> bool:
        """Whether the built-in module of that name is disabled, by its own name or by a
        package it is in; notes the names that matched."""
        hit = [name for name in self.names if module == name or module.startswith(name + ".")]
        self._used.update(hit)
        return bool(hit)

    @property
    def unused(self) -> List[str]:
        """The names that matched no plugin source so far."""
        return [name for name in self.names if name not in self._used]


class Preferred(Disabled):
    """Which entry points load last, and in which order."""

    def rank(self, entry_point: str, distribution: Optional[str]) -> Optional[int]:
        """The place of the last name that matches the entry point, or None; notes the
        names that matched."""
        found = None
        wanted = None if distribution is None else normalize_distribution(distribution)
        for index, name in enumerate(self.names):
            if name == entry_point or (wanted is not None
                                       and normalize_distribution(name) == wanted):
                self._used.add(name)
                found = index
        return found

    def arrange(self, points: List[Any],
                distribution: Callable[[Any], Tuple[Optional[str], Optional[str]]]
                ) -> List[Tuple[Any, Optional[str]]]:
        """The entry points with the preferred ones moved last, in the order of the names
        (the order among them otherwise kept), each with the name that placed it."""
        if not self.names:
            return [(point, None) for point in points]
        ranked = []
        for point in points:
            try:
                rank = self.rank(str(point.name), distribution(point)[0])
            except Exception:  # unreadable: loaded where it stands, and fails there
                rank = None
            ranked.append((-1 if rank is None else rank, point))
        ranked.sort(key=lambda item: item[0])
        return [(point, None if rank < 0 else self.names[rank]) for rank, point in ranked]
