"""Plugins switched off by name: ``MIRVAK_DISABLE_PLUGINS`` and ``--disable``.

A name matches an entry point by its entry-point name, or by the name of the
distribution that provides it (compared as package indexes compare project
names: case and runs of ``-``, ``_`` and ``.`` do not matter).  Only entry
points can be disabled; the class's own discovery methods load everything.
"""
from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import FrozenSet, Iterable, List, Mapping, Optional, Set

DISABLE_ENV = "MIRVAK_DISABLE_PLUGINS"
"""Environment variable: comma-separated entry-point or distribution names."""

__all__ = ["DISABLE_ENV", "Disabled", "disabled_names", "normalize_distribution"]


def normalize_distribution(name: str) -> str:
    """A distribution name in its comparable form (``Foo_Bar`` -> ``foo-bar``)."""
    return re.sub(r"[-_.]+", "-", name).lower()


def disabled_names(extra: Iterable[str] = (),
                   environ: Optional[Mapping[str, str]] = None) -> List[str]:
    """The names from ``MIRVAK_DISABLE_PLUGINS`` (of ``environ``, by default the
    process environment), then ``extra``; blanks around names and empty names
    are dropped, and each name is kept once."""
    text = (os.environ if environ is None else environ).get(DISABLE_ENV, "")
    names = [part.strip() for part in text.split(",")] + [name.strip() for name in extra]
    return list(dict.fromkeys(name for name in names if name))


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

    @property
    def unused(self) -> List[str]:
        """The names that matched no entry point so far."""
        return [name for name in self.names if name not in self._used]
