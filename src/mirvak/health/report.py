"""Discovery report: the class's plugin discovery, one plugin source at a time.

:func:`discovery_report` runs the same discovery as
``PluginManager.discover_builtin_plugins()`` followed by
``PluginManager.discover_external_plugins()`` (the same walk, filter, entry
point selection, debug records and load order), but isolates each plugin
source: a module or entry point that raises is recorded and discovery goes
on.  For every source it records what the source registered, found by
comparing the manager's tree before and after the source ran.

Attribution rests on one fact: every registration stores a fresh record dict.
A (place, chassis type) whose record object is new or different after a
source ran was registered by that source; if it had a record before, that
record was replaced, which is a conflict.  A source that registers the same
place twice is seen once, with the record it left.
"""
from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field, replace
from time import perf_counter
from types import ModuleType, TracebackType
from typing import (Any, Callable, Dict, Hashable, Iterable, List, Mapping, Optional, Set,
                    Tuple)

from mirvak.health import _walk
from mirvak.health import _hints
from mirvak.health._hints import MisspeltGroup
from mirvak.health.disabling import Disabled, Preferred, disabled_names, preferred_names
from mirvak.health.order import distribution_key, load_order

__all__ = [
    "BEFORE_DISCOVERY", "Claim", "Conflict", "DiscoveryReport", "PluginError", "PluginSource",
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
        if kind.__module__ not in ("builtins", "__main__"):
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
    distribution lists it (found without importing anything).
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
    order_key: Optional[str] = field(default=None, repr=False, compare=False)  # distribution
    module_file: Optional[str] = None

    @property
    def flagged(self) -> bool:
        """An entry point naming an attribute that discovery never calls."""
        return self.attribute is not None and self.status in (OK, ALREADY_IMPORTED)

    @property
    def label(self) -> str:
        """The module of a built-in source; the entry point and its distribution otherwise."""
        if self.kind == "builtin":
            return self.module
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
            "hint": self.hint, "preferred": self.preferred,
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


class _Tracker:
    """Compares the manager's tree before and after each source."""

    def __init__(self, manager: Any) -> None:
        self._manager = manager
        self._last = _records(manager.plugins, {})[0]
        self.history: Dict[Key, List[Claim]] = {
            key: [Claim(_record_class(record), BEFORE_DISCOVERY)]
            for key, record in self._last.items()}
        self.conflicts: List[Key] = []
        self.sources: Dict[int, Tuple[Any, str]] = {}

    def settle(self, label: str) -> Tuple[List[Registration], List[Tuple[Place, Hashable]]]:
        now, changed = _records(self._manager.plugins, self._last)
        made = []
        for key in changed:
            record = now[key]
            cls = _record_class(record)
            made.append(Registration(key[0], key[1], cls))
            claims = self.history.setdefault(key, [])
            if len(claims) == 1:
                self.conflicts.append(key)
            claims.append(Claim(cls, label))
            self.sources[id(record)] = (record, label)
        removed = []
        if len(now) - len(changed) != len(self._last):  # some earlier key is gone
            removed = [key for key in self._last if key not in now]
        for key in removed:  # a removed record was not replaced: a later one is no conflict
            self.history.pop(key, None)
        self._last = now
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


class _Run:
    def __init__(self, manager: Any, registry: ModuleType, capture: bool = False,
                 on_failure: Optional[FailureCallback] = None,
                 progress: Optional[ProgressCallback] = None) -> None:
        self.registry = registry
        self.tracker = _Tracker(manager)
        self.plugins: List[PluginSource] = []
        self._newest = _newest_module()
        self._capture = capture
        self._on_failure = on_failure
        self._progress = progress
        self.by_label: Dict[str, PluginSource] = {}

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
        """Runs one source's import, isolated: an exception is recorded."""
        self.settle_between()
        if self._progress is not None:
            self._progress("start", source)
        capture = _Capture(sys.stdout) if self._capture else None
        saved = sys.stdout
        start = perf_counter()
        try:
            if capture is not None:
                sys.stdout = capture
            try:
                load()
            finally:
                if capture is not None and sys.stdout is capture:
                    sys.stdout = saved
        except (Exception, SystemExit) as error:  # a plugin that exits is a broken plugin too
            source.seconds = perf_counter() - start
            self._failed_with(source, error, dist)
        else:
            source.seconds = perf_counter() - start
        if capture is not None and capture.parts:
            source.output = "".join(capture.parts)
        if source.flagged:
            source.hint = _hints.flagged_hint(source)
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

    def builtin(self) -> None:
        failed: Set[str] = set()

        def import_one(name: str) -> None:
            source = PluginSource("builtin", name, name)
            if name in sys.modules:
                source.status = ALREADY_IMPORTED
            self.run(source, lambda: self.registry.importlib.import_module(name))
            if source.status == FAILED:
                failed.add(name)

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
        self.settle_between()

    # entry points

    def external(self, disabled: Disabled, preferred: Preferred) -> None:
        try:
            points = self._select()
        except Exception as error:
            group = str(getattr(self.registry, "ENTRYPOINT_GROUP", "?"))
            self.failed(PluginSource("external", group, group), error)
            return
        owners = _DistributionIndex()
        for point, preference in preferred.arrange(points, owners.find):
            try:
                self._load_entry_point(point, owners, disabled, preference)
            except Exception as error:  # an entry point whose name or module cannot be read
                self.failed(PluginSource("external", "?", repr(point)), error)

    def _select(self) -> List[Any]:
        # As the class selects: entry_points(group=...), or on TypeError (3.9) the mapping.
        select, group = self.registry.entry_points, self.registry.ENTRYPOINT_GROUP
        try:
            points = select(group=group)
        except TypeError:
            points = select().get(group, [])
        return load_order(points)

    def _load_entry_point(self, point: Any, owners: _DistributionIndex,
                          disabled: Disabled, preference: Optional[str]) -> None:
        name, module = str(point.name), str(point.module)
        distribution, version = owners.find(point)
        source = PluginSource("external", module, name, str(point.value), distribution, version,
                              attribute=getattr(point, "attr", None) or None,
                              preferred=preference, order_key=distribution_key(point))
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
            known = self._names[id(dist)] = (dist, self._read(dist))
        return known[1]

    @staticmethod
    def _read(dist: Any) -> Tuple[Optional[str], Optional[str]]:
        try:
            metadata = dist.metadata
            name, version = metadata["Name"], metadata["Version"]
        except Exception:  # unreadable metadata: the report still goes on
            return None, None
        return (None if name is None else str(name)), (None if version is None else str(version))

    def _lookup(self, point: Any) -> Any:
        if self._index is None:
            from importlib.metadata import distributions

            self._index = {}
            for dist in distributions():
                for entry in dist.entry_points:
                    self._index.setdefault((entry.name, entry.value, entry.group), dist)
        return self._index.get((getattr(point, "name", None), getattr(point, "value", None),
                                getattr(point, "group", None)))


def discovery_report(manager: Any = None, *, builtin: bool = True, external: bool = True,
                     disable: Optional[Iterable[str]] = None, prefer: Iterable[str] = (),
                     on_failure: Optional[FailureCallback] = None,
                     environ: Optional[Mapping[str, str]] = None,
                     capture_output: bool = False,
                     progress: Optional[ProgressCallback] = None) -> DiscoveryReport:
    """Runs plugin discovery, isolating each plugin source, and reports it.

    ``manager`` is the manager whose tree is watched (by default the library's
    ``mirvak.manager.plugin_manager``, which plugins register with).  The
    built-in walk runs first, then the entry points, as the class's two
    discovery methods do; ``builtin``/``external`` skip either.  Entry points
    named in ``MIRVAK_DISABLE_PLUGINS`` (of ``environ``, by default the process
    environment) or in ``disable`` are not loaded; those named in
    ``MIRVAK_PREFER_PLUGINS`` or ``prefer`` load last, in the order given, so
    they win the places they share with others.  Sources already imported in
    this process run nothing again, as with the class's discovery.

    ``on_failure(source, exception)`` is called with the exception itself for
    each source that fails.  With ``capture_output``, what a source writes to
    ``sys.stdout`` is kept as its ``output`` (and still written).  ``progress``
    is called with ``("start", source)`` and ``("done", source)``.
    """
    registry = _walk.registry()
    if manager is None:
        from mirvak.manager import plugin_manager

        manager = plugin_manager
    disabled = Disabled(disabled_names(disable or (), environ))
    preferred = Preferred(preferred_names(prefer, environ))
    start = perf_counter()
    run = _Run(manager, registry, capture_output, on_failure, progress)
    if builtin:
        run.builtin()
    if external:
        run.external(disabled, preferred)
    conflicts = [_decided(conflict, run.by_label) for conflict in run.tracker.conflict_list()]
    misspelt = _hints.misspelt_groups(str(registry.ENTRYPOINT_GROUP)) if external else []
    return DiscoveryReport(run.plugins, conflicts, list(disabled.names),
                           disabled.unused if external else [], perf_counter() - start,
                           run.tracker.sources, list(preferred.names),
                           preferred.unused if external else [], misspelt,
                           run.tracker.history)


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
