"""Discovery report: the class's plugin discovery, one plugin source at a time.

:func:`discovery_report` runs the same discovery as
``PluginManager.discover_builtin_plugins()`` followed by
``PluginManager.discover_external_plugins()`` (the same walk, filter, entry
point selection, debug records and load order), but isolates each plugin
source: a module or entry point that raises is recorded and discovery goes
on.  For every source it records what the source registered and removed.

While discovery runs, the watched manager's ``register_plugin`` and
``unregister_plugin`` are wrapped on the instance (the class is untouched,
and each wrapper calls the method it shadows) so as to note the places they
touch; after each source only those places are read again, so the report's
cost grows with what the sources do, not with the size of the registry
times the number of sources.  A tree replaced wholesale (``_plugins``
assigned) is compared in full.  A registration made around the instance
(``PluginManager.register_plugin(manager, ...)``, or a plugin writing into
the tree's dicts itself) is not seen.

Attribution rests on one fact: every registration stores a fresh record dict.
A (place, chassis type) whose record object is new or different after a
source ran was registered by that source; if it had a record before, that
record was replaced, which is a conflict.  A source that registers the same
place twice is seen once, with the record it left.
"""
from __future__ import annotations

import contextlib
import os
import sys
import warnings
from dataclasses import dataclass, field, replace
from time import perf_counter
from types import ModuleType, TracebackType
from typing import (Any, Callable, Dict, Hashable, Iterable, Iterator, List, Mapping, Optional,
                    Set, Tuple, Union)

from mirvak.health import _walk
from mirvak.health import _hints
from mirvak.health._hints import MisspeltGroup
from mirvak.health.disabling import Disabled, Preferred, disabled_names, preferred_names
from mirvak.health.order import distribution_key, load_order

__all__ = [
    "BEFORE_DISCOVERY", "Claim", "Conflict", "DiscoveryReport", "ImportTimeout", "PluginError",
    "PluginSource",
    "Registration", "discovery_report", "dotted_name", "source_lines",
]

BEFORE_DISCOVERY = "before discovery"
"""The source of registrations that were in the manager when the report started."""

OK, FAILED, DISABLED, ALREADY_IMPORTED = "ok", "failed", "disabled", "already imported"
_PLUGINS_PREFIX = "mirvak.plugins."

Place = Tuple[Hashable, ...]
Key = Tuple[Place, Hashable]


def dotted_name(obj: Any) -> str:
    """``module.qualname`` of a class or function; ``str(obj)`` for anything else."""
    module = getattr(obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    if module and qualname:
        return "%s.%s" % (module, qualname)
    return str(qualname or obj)


def place_text(place: Iterable[Any]) -> str:
    """A place as the registry's messages write it: identifiers joined by ``/``."""
    return "/".join(str(member) for member in place)


def _json_text(value: Any) -> Any:
    return value if isinstance(value, str) or value is None else str(value)


@dataclass(frozen=True)
class Registration:
    """A record a source left in the tree: its place, chassis type and class."""

    place: Place
    chassis_type: Hashable
    cls: Any

    def to_json(self) -> Dict[str, Any]:
        return {"place": [_json_text(member) for member in self.place],
                "chassis_type": _json_text(self.chassis_type), "cls": dotted_name(self.cls)}

    def __str__(self) -> str:
        return "%s [%s]: %s" % (place_text(self.place), self.chassis_type, dotted_name(self.cls))


@dataclass(frozen=True)
class PluginError:
    """Why a plugin source failed: the exception's class, its text and traceback, and the
    exception itself (``exception``, left out of the JSON)."""

    type: str
    message: str
    traceback: str
    exception: Optional[BaseException] = field(default=None, compare=False, repr=False)

    @classmethod
    def of(cls, error: BaseException) -> PluginError:
        kind = type(error)
        name = kind.__qualname__
        if kind.__module__ not in ("builtins", "__main__") and kind is not ImportTimeout:
            name = "%s.%s" % (kind.__module__, name)
        return cls(name, str(error), _format_traceback(error), error)

    def __str__(self) -> str:
        return "%s: %s" % (self.type, self.message) if self.message else self.type


def _format_traceback(error: BaseException) -> str:
    import importlib
    import pkgutil
    import traceback as _traceback  # only when a plugin failed

    # The frames of the report and of the import machinery that lead to the plugin's own say
    # nothing about it: the traceback starts at the first frame of the plugin's code.
    machinery = (__file__, os.path.dirname(importlib.__file__) + os.sep, pkgutil.__file__,
                 "<frozen importlib.")
    tb: Optional[TracebackType] = error.__traceback__
    while tb is not None and tb.tb_next is not None and \
            tb.tb_frame.f_code.co_filename.startswith(machinery):
        tb = tb.tb_next
    return "".join(_traceback.format_exception(type(error), error, tb))


@dataclass
class PluginSource:
    """One plugin source: a built-in module or an installed entry point.

    ``status`` is ``"ok"``, ``"failed"``, ``"disabled"`` or ``"already
    imported"`` (its module was imported before, so importing it ran nothing).
    ``attribute`` is set for an entry point whose value names an attribute
    (``module:attr``): discovery imports the module and resolves the attribute
    but never calls it.  ``seconds`` is the time the import or load took.
    ``imported_by_walk`` marks a package that the walk imported on its own
    (to list its contents; test packages are imported this way).  ``output`` is
    what the source wrote to ``sys.stdout`` while it ran, when the report was
    asked to capture it; ``hint`` says what to do about a failure or a flag;
    ``preferred`` is the preference name that made an entry point load last;
    ``module_file`` is, for a disabled entry point, the file of its module as its
    distribution lists it (found without importing anything), and for a failed
    one the file it was imported from.  ``warnings`` are the warnings the source
    raised while it was imported.  ``unreadable_file`` is set for a distribution
    whose metadata could not be read: the file at fault (such a source stands for
    the whole distribution, whose entry points are unknown).
    """

    kind: str
    module: str
    name: str
    value: Optional[str] = None
    distribution: Optional[str] = None
    version: Optional[str] = None
    status: str = OK
    error: Optional[PluginError] = None
    registrations: List[Registration] = field(default_factory=list)
    removed: List[Tuple[Place, Hashable]] = field(default_factory=list)
    seconds: float = 0.0
    attribute: Optional[str] = None
    imported_by_walk: bool = False
    output: Optional[str] = None
    hint: Optional[str] = None
    preferred: Optional[str] = None
    entry_point: Any = field(default=None, repr=False, compare=False)
    module_file: Optional[str] = None
    warnings: List[str] = field(default_factory=list)
    unreadable_file: Optional[str] = None
    files: List[str] = field(default_factory=list, repr=False, compare=False)

    @property
    def order_key(self) -> Optional[str]:
        """The distribution an entry point loads under (normalised), None without one; read only
        when a conflict asks."""
        if self.entry_point is None:
            return None
        try:
            return distribution_key(self.entry_point)
        except Exception:  # what decides a conflict is then told less precisely
            return None

    @property
    def flagged(self) -> bool:
        """An entry point naming an attribute that discovery never calls."""
        return self.attribute is not None and self.status in (OK, ALREADY_IMPORTED)

    @property
    def label(self) -> str:
        """The module of a built-in source; the entry point and its distribution otherwise."""
        if self.kind == "builtin":
            return self.module
        if self.unreadable_file is not None:
            return "distribution %s%s (%s)" % (
                self.name, "" if self.version is None else " " + self.version,
                os.path.basename(self.unreadable_file))
        text = "entry point %s = %s" % (self.name, self.value)
        if self.distribution is not None:
            text += " (%s %s)" % (self.distribution, self.version)
        return text

    def to_json(self) -> Dict[str, Any]:
        return {
            "kind": self.kind, "name": self.name, "module": self.module, "value": self.value,
            "distribution": self.distribution, "version": self.version, "status": self.status,
            "error": None if self.error is None else str(self.error),
            "exception": None if self.error is None else self.error.type,
            "traceback": None if self.error is None else self.error.traceback,
            "registrations": [r.to_json() for r in self.registrations],
            "removed": [{"place": [_json_text(m) for m in place], "chassis_type":
                         _json_text(chassis_type)} for place, chassis_type in self.removed],
            "seconds": self.seconds, "flagged": self.flagged, "attribute": self.attribute,
            "imported_by_walk": self.imported_by_walk, "output": self.output,
            "hint": self.hint, "preferred": self.preferred, "warnings": list(self.warnings),
            "unreadable_file": self.unreadable_file,
        }


@dataclass(frozen=True)
class Claim:
    """A class registered for a place, and the source that registered it."""

    cls: Any
    source: str

    def to_json(self) -> Dict[str, Any]:
        return {"cls": dotted_name(self.cls), "source": self.source}

    def __str__(self) -> str:
        return "%s from %s" % (dotted_name(self.cls), self.source)


@dataclass(frozen=True)
class Conflict:
    """A place and chassis type registered more than once: the last one wins.
    ``decided_by`` says why the winner loaded last."""

    place: Place
    chassis_type: Hashable
    winner: Claim
    replaced: Tuple[Claim, ...]
    decided_by: str = ""

    def to_json(self) -> Dict[str, Any]:
        return {"place": [_json_text(m) for m in self.place],
                "chassis_type": _json_text(self.chassis_type), "winner": self.winner.to_json(),
                "replaced": [claim.to_json() for claim in self.replaced],
                "decided_by": self.decided_by}

    def __str__(self) -> str:
        return "%s [%s]: %s replaced %s" % (place_text(self.place), self.chassis_type,
                                            self.winner, ", then ".join(map(str, self.replaced)))


@dataclass
class DiscoveryReport:
    """What discovery loaded, in load order, what each source registered, and
    the places registered more than once."""

    plugins: List[PluginSource]
    conflicts: List[Conflict]
    disabled: List[str]
    unused_disabled: List[str]
    seconds: float
    _sources: Dict[int, Tuple[Any, str]] = field(default_factory=dict, repr=False)
    preferred: List[str] = field(default_factory=list)
    unused_preferred: List[str] = field(default_factory=list)
    misspelt_groups: List[MisspeltGroup] = field(default_factory=list)
    _history: Dict[Key, List[Claim]] = field(default_factory=dict, repr=False)

    @property
    def ok(self) -> bool:
        """No plugin source failed."""
        return not self.failed

    @property
    def failed(self) -> List[PluginSource]:
        return [source for source in self.plugins if source.status == FAILED]

    @property
    def flagged(self) -> List[PluginSource]:
        return [source for source in self.plugins if source.flagged]

    def source_of(self, record: Any) -> Optional[str]:
        """The source that made a plugin record of the tree (the record dict
        itself), or None for one the report did not see being made."""
        found = self._sources.get(id(record))
        return found[1] if found is not None and found[0] is record else None

    def replaced_by(self, place: Place, chassis_type: Hashable, record: Any) -> List[Claim]:
        """What the source of that record replaced when it registered (earliest first)."""
        claims = self._history.get((tuple(place), chassis_type), [])
        if not claims or self.source_of(record) != claims[-1].source:
            return []
        return claims[:-1]

    def warnings(self) -> List[str]:
        """One line for each failed source, flagged entry point, conflict, and name given to
        disable or prefer that matched no entry point; each with its hint."""
        lines = [_with_hint(_failure_text(source), source.hint) for source in self.failed]
        lines += [_with_hint(_flagged_text(source), source.hint) for source in self.flagged]
        lines += [_with_hint("conflict at " + str(conflict), _conflict_hint(conflict))
                  for conflict in self.conflicts]
        lines += ["disabled name %s matches no entry point" % name
                  for name in self.unused_disabled]
        lines += ["preferred name %s matches no entry point" % name
                  for name in self.unused_preferred]
        return lines

    def plugin_warnings(self) -> List[str]:
        """One line for each warning a source raised while it was imported."""
        return ["plugin %s warned: %s" % (source.label, text)
                for source in self.plugins for text in source.warnings]

    def to_json(self) -> Dict[str, Any]:
        return {"ok": self.ok, "plugins": [source.to_json() for source in self.plugins],
                "conflicts": [conflict.to_json() for conflict in self.conflicts],
                "disabled": list(self.disabled), "unused_disabled": list(self.unused_disabled),
                "preferred": list(self.preferred),
                "unused_preferred": list(self.unused_preferred),
                "misspelt_groups": [group.to_json() for group in self.misspelt_groups],
                "seconds": self.seconds}

    def to_text(self, tracebacks: bool = False) -> str:
        """The report for people: one line per source in load order, then the
        conflicts and a summary."""
        lines = ["Plugins, in load order:"]
        for source in self.plugins:
            lines += source_lines(source, tracebacks)
        lines += self.closing_lines()
        return "\n".join(lines)

    def closing_lines(self) -> List[str]:
        """What ``to_text`` prints after the sources: conflicts, names that matched
        nothing, misspelt groups, the summary."""
        lines = []
        if self.conflicts:
            lines.append("Conflicts (the last registration wins):")
            for conflict in self.conflicts:
                lines.append("  " + str(conflict))
                lines.append("    decided by " + conflict.decided_by)
        if self.unused_disabled:
            lines.append("Disabled names that match no entry point: "
                         + ", ".join(self.unused_disabled))
        if self.unused_preferred:
            lines.append("Preferred names that match no entry point: "
                         + ", ".join(self.unused_preferred))
        if self.misspelt_groups:
            lines.append("Entry-point groups that look like a misspelling of %s (never loaded):"
                         % self.misspelt_groups[0].expected)
            lines += ["  " + str(group) for group in self.misspelt_groups]
        lines.append(self._summary())
        return lines

    def _summary(self) -> str:
        counts = [(sum(s.status == status for s in self.plugins), status)
                  for status in (OK, FAILED, DISABLED, ALREADY_IMPORTED)]
        return "%s: %s; %s; %s" % (
            counted(len(self.plugins), "plugin source"), ", ".join("%d %s" % c for c in counts),
            counted(len(self.conflicts), "conflict"),
            counted(len(self.flagged), "flagged entry point"))


def counted(number: int, noun: str) -> str:
    """``1 conflict``, ``2 conflicts``."""
    return "%d %s%s" % (number, noun, "" if number == 1 else "s")


def _with_hint(text: str, hint: Optional[str]) -> str:
    return text + "; hint: " + hint if hint else text


def _conflict_hint(conflict: Conflict) -> str:
    return "--prefer NAME (or MIRVAK_PREFER_PLUGINS) chooses the winner"


def _failure_text(source: PluginSource) -> str:
    if source.kind == "builtin":
        return "built-in plugin module %s failed to import: %s" % (source.module, source.error)
    if source.unreadable_file is not None:
        return "plugin %s cannot be read: %s" % (source.label, source.error)
    return "plugin %s failed to load: %s" % (source.label, source.error)


def _flagged_text(source: PluginSource) -> str:
    return ("plugin %s names an attribute: its module %s was imported, %s was not called"
            % (source.label, source.module, source.attribute))


def source_lines(source: PluginSource, tracebacks: bool = False,
                 slow: Optional[float] = None) -> List[str]:
    """The lines of ``to_text`` for one source; ``slow`` (seconds) marks a slower one."""
    what = ("built-in module " + source.module if source.kind == "builtin" else source.label)
    if source.imported_by_walk:
        what += " (imported by the package walk)"
    timing = "" if source.status == DISABLED else "  %.1f ms" % (source.seconds * 1000)
    if slow is not None and source.status != DISABLED and source.seconds >= slow:
        timing += "  (slow)"
    lines = ["  %-16s %s%s" % (source.status, what, timing)]
    indent = " " * 19
    if source.preferred is not None:
        lines.append(indent + "preferred: loads last (%s)" % source.preferred)
    if source.error is not None:
        lines.append(indent + str(source.error))
        if tracebacks:
            lines += [indent + line for line in source.error.traceback.rstrip("\n").split("\n")]
    if source.flagged:
        lines.append(indent + "flagged: names %s, which discovery never calls" % source.attribute)
    lines += [indent + "warning: " + text for text in source.warnings]
    if source.hint:
        lines.append(indent + "hint: " + source.hint)
    lines += [indent + "registered " + str(r) for r in source.registrations]
    lines += [indent + "removed %s [%s]" % (place_text(p), c) for p, c in source.removed]
    return lines


# ---- attribution ---------------------------------------------------------------------------


def _records(tree: Any, previous: Dict[Key, Any]) -> Tuple[Dict[Key, Any], List[Key]]:
    """Every plugin record of a tree by (place, chassis type), in tree order, and the keys
    whose record is not the very object in ``previous``."""
    listing: Tuple[Dict[Key, Any], List[Key]] = _walk.companion().records(tree, previous)
    return listing


def _record_class(record: Any) -> Any:
    return record.get("cls") if isinstance(record, dict) else record


def _level_path(os: Any, platform: Any, model: Any, os_flavor: Any) -> Place:
    # The registry's rule for the node a registration or removal works on.
    if model is not None:
        path: Tuple[Hashable, ...] = (os, platform, model)
    elif platform is not None:
        path = (os, platform)
    else:
        path = (os,)
    return path if os_flavor is None else path + (os_flavor,)


def _registered_at(cls: Any, os: Any = None, platform: Any = None, model: Any = None,
                   os_flavor: Any = None, chassis_type: Any = "single_rp") -> Place:
    return _level_path(os, platform, model, os_flavor)


def _removed_at(os: Any = None, platform: Any = None, model: Any = None, os_flavor: Any = None,
                chassis_type: Any = None) -> Place:
    return _level_path(os, platform, model, os_flavor)


def _data_at(tree: Any, place: Place) -> Dict[Hashable, Any]:
    """The chassis types and records held at a place of a tree (empty when none)."""
    node = tree
    try:
        for member in place:
            if member not in node.keys():
                return {}
            node = node[member]
        if "data" not in node.keys():
            return {}
        data = node["data"]
        return {chassis_type: data[chassis_type] for chassis_type in list(data.keys())}
    except Exception:  # a node that is no mapping holds nothing the registry could serve
        return {}


_NOTHING = object()


class _Tracker:
    """What each source registered and removed.

    While discovery runs, the watched manager's ``register_plugin`` and
    ``unregister_plugin`` are wrapped on the instance (each calls the method it
    replaces, unchanged) to note the places they touch; after a source only
    those places are read again, so the cost follows what the source did, not
    the size of the registry.  A tree replaced wholesale is compared in full.
    Where the instance takes no attribute, every source is compared in full.
    """

    _METHODS = (("register_plugin", _registered_at), ("unregister_plugin", _removed_at))

    def __init__(self, manager: Any) -> None:
        self._manager = manager
        self._tree = manager.plugins
        listing = _records(self._tree, {})[0]
        self._at: Dict[Place, Dict[Hashable, Any]] = {}
        for (place, chassis_type), record in listing.items():
            self._at.setdefault(place, {})[chassis_type] = record
        self.history: Dict[Key, List[Claim]] = {
            key: [Claim(_record_class(record), BEFORE_DISCOVERY)]
            for key, record in listing.items()}
        self.conflicts: List[Key] = []
        self.sources: Dict[int, Tuple[Any, str]] = {}
        self._touched: Dict[Place, None] = {}
        self._installed: Dict[str, Tuple[Any, Any]] = {}

    # observing the manager

    def __enter__(self) -> "_Tracker":
        for name, where in self._METHODS:
            own = getattr(self._manager, "__dict__", {})
            try:
                shadowed = own[name] if name in own else _NOTHING
                wrapper = self._observer(getattr(self._manager, name), where)
                setattr(self._manager, name, wrapper)
            except Exception:  # no instance attributes: compare whole trees instead
                self.__exit__()
                return self
            self._installed[name] = (wrapper, shadowed)
        return self

    def __exit__(self, *exc: object) -> None:
        for name, (wrapper, shadowed) in self._installed.items():
            own = getattr(self._manager, "__dict__", {})
            if own.get(name) is not wrapper:  # replaced since by someone else: theirs stays
                continue
            if shadowed is _NOTHING:
                delattr(self._manager, name)
            else:  # the instance's own override, as it was
                setattr(self._manager, name, shadowed)
        self._installed.clear()

    def _observer(self, method: Callable[..., Any],
                  where: Callable[..., Place]) -> Callable[..., Any]:
        touched = self._touched

        def observed(*args: Any, **kwargs: Any) -> Any:
            try:
                return method(*args, **kwargs)
            finally:
                try:
                    place = where(*args, **kwargs)
                    hash(place)
                except Exception:  # a call the method refused changed nothing
                    pass
                else:
                    touched[place] = None

        observed.__name__ = observed.__qualname__ = getattr(method, "__name__", "observed")
        observed.__doc__ = getattr(method, "__doc__", None)
        observed.__wrapped__ = method  # type: ignore[attr-defined]
        return observed

    # what a source did

    def _changes(self) -> Tuple[List[Tuple[Key, Any]], List[Key]]:
        """(key, record) of each record that is new since the last settlement, and the keys
        whose record is gone."""
        tree = self._manager.plugins
        if tree is not self._tree or not self._installed:
            self._tree = tree
            listing = _records(tree, {})[0]
            now: Dict[Place, Dict[Hashable, Any]] = {}
            for (place, chassis_type), record in listing.items():
                now.setdefault(place, {})[chassis_type] = record
            places = list(now) + [place for place in self._at if place not in now]
            read: Callable[[Place], Dict[Hashable, Any]] = lambda place: now.get(place, {})
        else:
            places = list(self._touched)
            read = lambda place: _data_at(tree, place)  # noqa: E731
        self._touched.clear()
        made: List[Tuple[Key, Any]] = []
        removed: List[Key] = []
        for place in places:
            before, after = self._at.get(place, {}), read(place)
            made += [((place, chassis_type), record) for chassis_type, record in after.items()
                     if before.get(chassis_type, self) is not record]
            removed += [(place, chassis_type) for chassis_type in before
                        if chassis_type not in after]
            if after:
                self._at[place] = after
            else:
                self._at.pop(place, None)
        return made, removed

    def settle(self, label: str) -> Tuple[List[Registration], List[Tuple[Place, Hashable]]]:
        changed, removed = self._changes()
        made = []
        for key, record in changed:
            cls = _record_class(record)
            made.append(Registration(key[0], key[1], cls))
            claims = self.history.setdefault(key, [])
            if len(claims) == 1:
                self.conflicts.append(key)
            claims.append(Claim(cls, label))
            self.sources[id(record)] = (record, label)
        for key in removed:  # a removed record was not replaced: a later one is no conflict
            self.history.pop(key, None)
        return made, removed

    def conflict_list(self) -> List[Conflict]:
        out = []
        for key in self.conflicts:
            claims = self.history.get(key)
            if claims is not None and len(claims) > 1:
                out.append(Conflict(key[0], key[1], claims[-1], tuple(claims[:-1])))
        return out


# ---- the run --------------------------------------------------------------------------------


def _newest_module() -> Optional[str]:
    # sys.modules keeps insertion order: a module imported since is found after this one.
    return next(reversed(sys.modules), None)


FailureCallback = Callable[[PluginSource, BaseException], object]
ProgressCallback = Callable[[str, PluginSource], object]
"""Called with ``"start"`` before a source runs and ``"done"`` once it is recorded."""


class _Capture:
    """Stands in for ``sys.stdout`` while a source runs: keeps the text and passes it on."""

    def __init__(self, target: Any) -> None:
        self._target = target
        self.parts: List[str] = []

    def write(self, text: str) -> int:
        self.parts.append(text)
        return self._target.write(text)  # type: ignore[no-any-return]

    def __getattr__(self, name: str) -> Any:  # flush, fileno, encoding, isatty, ...
        return getattr(self._target, name)


class ImportTimeout(BaseException):
    """Raised into a source whose import runs past the time limit.  Not an ``Exception``:
    a plugin's own ``except Exception`` must not swallow it."""

    def __init__(self, seconds: float) -> None:
        super().__init__("timed out after %g s" % seconds)
        self.seconds = seconds


@contextlib.contextmanager
def _deadline(seconds: Optional[float]) -> Iterator[None]:
    """Interrupts the code run inside with ImportTimeout once ``seconds`` have passed.  Only
    the main thread receives signals: elsewhere, and without a limit, nothing is armed."""
    if not seconds or seconds <= 0:
        yield
        return
    import signal
    import threading

    if not hasattr(signal, "setitimer") or threading.current_thread() is not \
            threading.main_thread():
        yield
        return

    def expire(signum: int, frame: Any) -> None:
        raise ImportTimeout(seconds)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        try:
            signal.setitimer(signal.ITIMER_REAL, 0)
        finally:  # the handler goes back even if the alarm fires right here
            signal.signal(signal.SIGALRM, previous)


def _warning_text(caught: warnings.WarningMessage) -> str:
    return "%s: %s (%s, line %s)" % (caught.category.__name__, caught.message, caught.filename,
                                     caught.lineno)


class _Run:
    def __init__(self, manager: Any, registry: ModuleType, capture: bool = False,
                 on_failure: Optional[FailureCallback] = None,
                 progress: Optional[ProgressCallback] = None,
                 timeout: Optional[float] = None) -> None:
        self.registry = registry
        self.tracker = _Tracker(manager)
        self.plugins: List[PluginSource] = []
        self._newest = _newest_module()
        self._capture = capture
        self._on_failure = on_failure
        self._progress = progress
        self._timeout = timeout
        self.by_label: Dict[str, PluginSource] = {}
        self.misspelt: Optional[_hints.MisspeltFinder] = None  # when read on the way

    def _append(self, source: PluginSource) -> None:
        self.plugins.append(source)
        self.by_label.setdefault(source.label, source)
        if self._progress is not None:
            self._progress("done", source)

    def _failed_with(self, source: PluginSource, error: BaseException,
                     dist: Any = None) -> None:
        source.status, source.error = FAILED, PluginError.of(error)
        source.hint = _hints.failure_hint(source, error, dist)
        if self._on_failure is not None:
            self._on_failure(source, error)

    def record(self, source: PluginSource) -> None:
        source.registrations, source.removed = self.tracker.settle(source.label)
        self._append(source)
        self._newest = _newest_module()

    def run(self, source: PluginSource, load: Callable[[], object], dist: Any = None) -> None:
        """Runs one source's import, isolated: an exception is recorded, and so are the
        warnings it raised."""
        self.settle_between()
        if self._progress is not None:
            self._progress("start", source)
        capture = _Capture(sys.stdout) if self._capture else None
        saved = sys.stdout
        start = perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            try:
                if capture is not None:
                    sys.stdout = capture
                try:
                    if self._timeout:
                        with _deadline(self._timeout):
                            load()
                    else:
                        load()
                finally:
                    if capture is not None and sys.stdout is capture:
                        sys.stdout = saved
            # A plugin that exits, or runs out of time, is a broken plugin too.
            except (Exception, SystemExit, ImportTimeout) as error:
                source.seconds = perf_counter() - start
                self._failed_with(source, error, dist)
            else:
                source.seconds = perf_counter() - start
        if caught:
            source.warnings = [_warning_text(w) for w in caught]
        if capture is not None and capture.parts:
            source.output = "".join(capture.parts)
        if source.flagged:
            source.hint = _hints.flagged_hint(source)
        if source.status == FAILED and source.module_file is None:
            source.module_file = _hints.module_file(dist, source.module) if dist is not None \
                else _hints.spec_file(source.module)
        self.record(source)

    def settle_between(self) -> None:
        """Registrations made between two sources, by packages the walk imported
        on its own, go to a source of their own, named by the package."""
        if _newest_module() == self._newest:
            return
        new: List[str] = []
        for name in reversed(sys.modules):
            if name == self._newest:
                break
            new.insert(0, name)
        module = next((n for n in new if n.startswith(_PLUGINS_PREFIX)),
                      new[0] if new else _PLUGINS_PREFIX[:-1])
        source = PluginSource("builtin", module, module, imported_by_walk=True)
        made, removed = self.tracker.settle(source.label)
        self._newest = _newest_module()
        if made or removed:
            source.registrations, source.removed = made, removed
            self._append(source)

    def failed(self, source: PluginSource, error: BaseException) -> None:
        self._failed_with(source, error)
        self.record(source)

    # built-in modules

    def builtin(self, disabled: Disabled) -> None:
        failed: Set[str] = set()
        held: Dict[str, ModuleType] = {}  # disabled packages, kept from the walk

        def import_one(name: str) -> None:
            source = PluginSource("builtin", name, name)
            if disabled.matches_module(name):
                self.settle_between()
                self._disable_module(source, held)
                return
            if name in sys.modules:
                source.status = ALREADY_IMPORTED
            self.run(source, lambda: self.registry.importlib.import_module(name))
            if source.status == FAILED:
                failed.add(name)
                if source.error is not None and \
                        isinstance(source.error.exception, ImportTimeout):
                    self._hold(name, held)  # or the walk would hang in it again, unlimited

        def onerror(name: str) -> None:
            # The walk's own import of a package: ImportError is skipped as the class's
            # walk skips it; a package that failed above fails again here.
            error = sys.exc_info()[1]
            if error is None or isinstance(error, ImportError) or name in failed:
                return
            failed.add(name)
            self.settle_between()
            self.failed(PluginSource("builtin", name, name, imported_by_walk=True), error)

        try:
            _walk.walk_builtin_plugins(import_one, onerror)
        except (Exception, SystemExit) as error:
            self.failed(PluginSource("builtin", "mirvak.plugins", "mirvak.plugins"), error)
        finally:
            for name, stand_in in held.items():
                if sys.modules.get(name) is stand_in:
                    del sys.modules[name]
        self.settle_between()
        self._newest = _newest_module()

    def _disable_module(self, source: PluginSource, held: Dict[str, ModuleType]) -> None:
        """Lists a disabled built-in module without importing it.  The walk imports a
        package by itself to list its contents: an empty stand-in, while the walk runs,
        keeps it from running the package and from descending into it."""
        source.status = DISABLED
        spec = self._hold(source.module, held)
        if spec is not None and spec.has_location:
            source.module_file = spec.origin
        self._append(source)
        self._newest = _newest_module()

    @staticmethod
    def _hold(name: str, held: Dict[str, ModuleType]) -> Any:
        """Keeps the walk out of a package (an empty stand-in until the walk ends); returns
        the module's spec."""
        spec = _hints.find_spec(name)
        if spec is not None and spec.submodule_search_locations is not None and \
                name not in sys.modules:
            stand_in = ModuleType(name, "not imported by the report")
            stand_in.__path__ = []
            sys.modules[name] = held[name] = stand_in
        return spec

    # entry points

    def external(self, disabled: Disabled, preferred: Preferred) -> None:
        owners = _DistributionIndex()
        try:
            points, unreadable = self._select(owners)
        except Exception as error:
            group = str(getattr(self.registry, "ENTRYPOINT_GROUP", "?"))
            self.failed(PluginSource("external", group, group), error)
            return
        for dist, file, fault in unreadable:
            self._unreadable(dist, file, fault, disabled)
        for point, preference in preferred.arrange(points, owners.find):
            try:
                self._load_entry_point(point, owners, disabled, preference)
            except Exception as error:  # an entry point whose name or module cannot be read
                self.failed(PluginSource("external", "?", repr(point)), error)

    def _select(self, owners: _DistributionIndex) -> Tuple[List[Any], List[Unreadable]]:
        """The entry points in load order, and the distributions that could not be read.

        As the class selects (``entry_points(group=...)``, or on TypeError (3.9) the
        mapping), except where that is the standard library's own selection: then each
        distribution is read by itself, so that one whose metadata cannot be read is
        reported and every other one still loads."""
        select, group = self.registry.entry_points, self.registry.ENTRYPOINT_GROUP
        metadata = sys.modules.get("importlib.metadata")
        if metadata is not None and select is getattr(metadata, "entry_points", None):
            self.misspelt = _hints.MisspeltFinder(str(group))
            points, unreadable = _by_distribution(metadata, str(group), owners, self.misspelt)
            return load_order(points), unreadable
        try:
            selected = select(group=group)
        except TypeError:
            selected = select().get(group, [])
        return load_order(selected), []

    def _unreadable(self, dist: Any, file: str, error: BaseException,
                    disabled: Disabled) -> None:
        name, version = _folder_name(dist)
        source = PluginSource("external", name, name, None, name, version,
                              unreadable_file=_dist_file(dist, file))
        if disabled.matches(name, name):
            source.status = DISABLED
            self._append(source)
            return
        source.status, source.error = FAILED, PluginError.of(error)
        source.hint = _hints.unreadable_hint(name, file, source.unreadable_file)
        source.files = _hints.python_files(dist)
        if self._on_failure is not None:
            self._on_failure(source, error)
        self._append(source)

    def _load_entry_point(self, point: Any, owners: _DistributionIndex,
                          disabled: Disabled, preference: Optional[str]) -> None:
        name, module = str(point.name), str(point.module)
        distribution, version = owners.find(point)
        source = PluginSource("external", module, name, str(point.value), distribution, version,
                              attribute=getattr(point, "attr", None) or None,
                              preferred=preference, entry_point=point)
        if disabled.matches(name, distribution):
            source.status = DISABLED
            source.module_file = _hints.module_file(owners.dist_of(point), module)
            self._append(source)
            return
        if module in sys.modules:
            source.status = ALREADY_IMPORTED

        def load() -> None:
            self.registry.log.debug("Loading external plugin " + name + " from " + module)
            point.load()

        self.run(source, load, owners.dist_of(point))


Unreadable = Tuple[Any, str, BaseException]
"""A distribution whose metadata could not be read, the file at fault, and the error."""


def _by_distribution(metadata: ModuleType, group: str, owners: _DistributionIndex,
                     misspelt: _hints.MisspeltFinder) -> Tuple[List[Any], List[Unreadable]]:
    """The entry points of the group, read distribution by distribution in the order (and,
    from 3.10, with the one-per-name rule) of ``importlib.metadata.entry_points``; the
    groups that look like a misspelling of it are noted on the way."""
    points: List[Any] = []
    unreadable: List[Unreadable] = []
    seen: Set[str] = set()
    unique = sys.version_info >= (3, 10)
    for dist in metadata.distributions():
        shadowed = False
        if unique:
            try:
                key = dist._normalized_name
            except Exception as error:
                unreadable.append((dist, "METADATA", error))
                continue
            shadowed = key in seen
            seen.add(key)
        try:
            entries = list(dist.entry_points)
        except Exception as error:
            if not shadowed:
                unreadable.append((dist, "entry_points.txt", error))
            continue
        misspelt.look(dist, entries)
        mine = [] if shadowed else [point for point in entries if point.group == group]
        if not mine:
            continue
        try:
            owners.read(dist)
        except Exception as error:
            unreadable.append((dist, "METADATA", error))
            continue
        points += mine
    unreadable.sort(key=lambda item: _folder_name(item[0])[0].lower())
    return points, unreadable


def _dist_folder(dist: Any) -> Optional[str]:
    # importlib.metadata keeps the folder of a distribution it found on the path, and
    # offers no public way to it.
    path = getattr(dist, "_path", None)
    return None if path is None else str(path)


def _folder_name(dist: Any) -> Tuple[str, Optional[str]]:
    """The name and version of a distribution, from its metadata or, when that cannot be
    read, from its folder's name (``name-version.dist-info``)."""
    try:
        metadata = dist.metadata
        name, version = metadata["Name"], metadata["Version"]
        if name:
            return str(name), None if version is None else str(version)
    except Exception:  # the folder says what it can
        pass
    folder = _dist_folder(dist)
    stem = os.path.basename(folder or "?")
    for suffix in (".dist-info", ".egg-info"):
        if stem.endswith(suffix):
            stem = stem[:-len(suffix)]
    name, _, version = stem.partition("-")
    return name, version or None


def _dist_file(dist: Any, file: str) -> str:
    folder = _dist_folder(dist)
    return file if folder is None else os.path.join(folder, file)


class _DistributionIndex:
    """The distribution that provides an entry point, and its version: through
    ``ep.dist`` where the interpreter has it, otherwise found among the
    installed distributions.  Each distribution's metadata is read once."""

    def __init__(self) -> None:
        self._index: Optional[Dict[Tuple[Any, Any, Any], Any]] = None
        self._names: Dict[int, Tuple[Any, Tuple[Optional[str], Optional[str]]]] = {}

    def dist_of(self, point: Any) -> Any:
        dist = getattr(point, "dist", None)
        return self._lookup(point) if dist is None else dist

    def find(self, point: Any) -> Tuple[Optional[str], Optional[str]]:
        dist = self.dist_of(point)
        if dist is None:
            return None, None
        known = self._names.get(id(dist))
        if known is None:
            try:
                self.read(dist)
            except Exception:  # unreadable metadata: the report still goes on
                self._names[id(dist)] = (dist, (None, None))
            known = self._names[id(dist)]
        return known[1]

    def read(self, dist: Any) -> None:
        """Reads the name and version of a distribution; raises what reading raises."""
        text = dist.read_text("METADATA")
        if text is None:
            text = dist.read_text("PKG-INFO")
        found = None if text is None else _name_and_version(text)
        if found is None:
            metadata = dist.metadata
            found = metadata["Name"], metadata["Version"]
        name, version = found
        self._names[id(dist)] = (dist, ((None if name is None else str(name)),
                                        (None if version is None else str(version))))


    def _lookup(self, point: Any) -> Any:
        if self._index is None:
            from importlib.metadata import distributions

            self._index = {}
            for dist in distributions():
                try:
                    entries = list(dist.entry_points)
                except Exception:  # reported by the selection, or by nobody
                    continue
                for entry in entries:
                    self._index.setdefault((entry.name, entry.value, entry.group), dist)
        return self._index.get((getattr(point, "name", None), getattr(point, "value", None),
                                getattr(point, "group", None)))


def _name_and_version(text: str) -> Optional[Tuple[Optional[str], Optional[str]]]:
    """Name and Version from the headers of a metadata file, read line by line: the email
    parser that ``Distribution.metadata`` uses costs more than the rest of a source's
    report together.  None when the headers are not plain enough for that."""
    head = text.split("\n\n", 1)[0]
    found: Dict[str, str] = {}
    for line in head.split("\n"):
        if line[:1] in (" ", "\t"):  # a folded header: leave it to the email parser
            return None
        key, colon, value = line.partition(":")
        key = key.lower()
        if colon and key in ("name", "version") and key not in found:
            found[key] = value.strip()
    return found.get("name"), found.get("version")


def discovery_report(manager: Any = None, *, builtin: bool = True, external: bool = True,
                     disable: Union[str, Iterable[str], None] = None,
                     prefer: Union[str, Iterable[str]] = (),
                     on_failure: Optional[FailureCallback] = None,
                     environ: Optional[Mapping[str, str]] = None,
                     capture_output: bool = False,
                     progress: Optional[ProgressCallback] = None,
                     timeout: Optional[float] = None) -> DiscoveryReport:
    """Runs plugin discovery, isolating each plugin source, and reports it.

    ``manager`` is the manager whose tree is watched (by default the library's
    ``mirvak.manager.plugin_manager``, which plugins register with).  The
    built-in walk runs first, then the entry points, as the class's two
    discovery methods do; ``builtin``/``external`` skip either.  Plugins
    named in ``MIRVAK_DISABLE_PLUGINS`` (of ``environ``, by default the process
    environment) or in ``disable`` are not loaded: entry points by their name or
    distribution, built-in modules and packages by module name.  Entry points
    named in ``MIRVAK_PREFER_PLUGINS`` or ``prefer`` load last, in the order given,
    so they win the places they share with others.  A str given for ``disable`` or
    ``prefer`` is one name (commas separate names, as in the variables).  Sources
    already imported in this process run nothing again, as with the class's
    discovery.

    ``on_failure(source, exception)`` is called with the exception itself for
    each source that fails.  With ``capture_output``, what a source writes to
    ``sys.stdout`` is kept as its ``output`` (and still written).  ``progress``
    is called with ``("start", source)`` and ``("done", source)``.  With
    ``timeout`` (seconds), a source whose import runs longer is interrupted and
    fails (only in the main thread, and only Python code can be interrupted).
    Warnings a source raises while it is imported are kept as its ``warnings``
    instead of being shown.
    """
    registry = _walk.registry()
    if manager is None:
        from mirvak.manager import plugin_manager

        manager = plugin_manager
    disabled = Disabled(disabled_names(_names_of(disable), environ))
    preferred = Preferred(preferred_names(_names_of(prefer), environ))
    start = perf_counter()
    run = _Run(manager, registry, capture_output, on_failure, progress, timeout)
    with run.tracker:
        if builtin:
            run.builtin(disabled)
        if external:
            run.external(disabled, preferred)
    conflicts = [_decided(conflict, run.by_label) for conflict in run.tracker.conflict_list()]
    if not external:
        misspelt: List[MisspeltGroup] = []
    elif run.misspelt is not None:
        misspelt = run.misspelt.found
    else:
        misspelt = _hints.misspelt_groups(str(registry.ENTRYPOINT_GROUP))
    return DiscoveryReport(run.plugins, conflicts, list(disabled.names), disabled.unused,
                           perf_counter() - start, run.tracker.sources, list(preferred.names),
                           preferred.unused, misspelt, run.tracker.history)


def _names_of(names: Union[str, Iterable[str], None]) -> Iterable[str]:
    if names is None:
        return ()
    if isinstance(names, str):
        return (names,)
    return names


def _decided(conflict: Conflict, by_label: Mapping[str, PluginSource]) -> Conflict:
    """The conflict with what made its winner load last."""
    winner = by_label.get(conflict.winner.source)
    loser = by_label.get(conflict.replaced[-1].source)
    if winner is None or winner is loser:
        why = "the registration made last"
    elif winner.preferred is not None:
        why = "preference: %s loads last" % winner.preferred
    elif winner.kind == "builtin":
        why = ("the built-in walk's file-name order" if loser is not None
               else "discovery, which ran after it was registered")
    elif loser is None:
        why = "discovery, which ran after it was registered"
    elif loser.kind == "builtin":
        why = "load order: entry points load after the built-in plugins"
    elif winner.order_key is None and loser.order_key is None:
        why = "listing order: entry point %s is listed after %s" % (winner.name, loser.name)
    elif winner.order_key is None or loser.order_key is None:
        why = "load order: entry points without a distribution load first"
    elif winner.order_key != loser.order_key:
        why = "name order: distribution %s sorts after %s" % (winner.distribution,
                                                             loser.distribution)
    else:
        why = "listing order: entry point %s is listed after %s in %s" % (
            winner.name, loser.name, winner.distribution)
    return replace(conflict, decided_by=why)
