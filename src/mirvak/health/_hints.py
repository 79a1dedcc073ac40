"""What to do about a failing or flagged plugin source, and entry-point groups that look like
a misspelling of the plugin group."""
from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Set, Tuple

if TYPE_CHECKING:
    from mirvak.health.report import PluginSource


def _top(module: str) -> str:
    return module.split(".", 1)[0]


def _skip(source: PluginSource) -> str:
    if source.kind == "builtin":
        return "skip it: --disable %s" % source.module
    return "skip it: --disable %s" % source.name


def _top_level_names(dist: Any) -> Optional[Set[str]]:
    """The top-level modules a distribution installs, from its file list; None when it
    has none."""
    try:
        files = dist.files
    except Exception:
        return None
    if not files:
        return None
    names = set()
    for path in files:
        parts = getattr(path, "parts", ())
        if not parts or parts[0].endswith((".dist-info", ".egg-info", ".data")) or \
                parts[0] in ("..", "__pycache__"):
            continue
        names.add(parts[0][:-3] if len(parts) == 1 and parts[0].endswith(".py")
                  else parts[0].split(".", 1)[0])
    return names


def _requirement(dist: Any, module: str) -> Optional[str]:
    """The requirement of the distribution named like the module, if it declares one."""
    try:
        requires = dist.requires or []
    except Exception:
        return None
    wanted = re.sub(r"[-_.]+", "-", module).lower()
    for requirement in requires:
        name = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", str(requirement))
        if name and re.sub(r"[-_.]+", "-", name.group(1)).lower() == wanted:
            return name.group(1)
    return None


def module_file(dist: Any, module: str) -> Optional[str]:
    """The file of a module as its distribution's file list has it, without importing."""
    if dist is None:
        return None
    wanted = module.replace(".", "/")
    try:
        for path in dist.files or ():
            text = str(path).replace("\\", "/")
            if text in (wanted + ".py", wanted + "/__init__.py"):
                return str(dist.locate_file(path))
    except Exception:  # unreadable metadata: nothing to say
        pass
    return None


def find_spec(module: str) -> Any:
    """The module's spec, found without importing the module itself; None when none."""
    import importlib.util

    try:
        return importlib.util.find_spec(module)
    except Exception:  # a parent that cannot be imported, a broken finder
        return None


def spec_file(module: str) -> Optional[str]:
    """The file a module is imported from, found without importing it."""
    spec = find_spec(module)
    return spec.origin if spec is not None and spec.has_location else None


_MAX_FILES = 200  # Python files of an unreadable distribution searched for identifiers


def python_files(dist: Any) -> List[str]:
    """The Python files a distribution installs, from its file list (RECORD)."""
    try:
        found = [str(dist.locate_file(path)) for path in dist.files or ()
                 if str(path).endswith(".py")]
    except Exception:  # no readable file list either
        return []
    return found[:_MAX_FILES]


def mentions(path: Any, identifiers: List[str]) -> List[str]:
    """The identifiers that a source file (or any of several) names as a string literal."""
    if path is None:
        return []
    text = ""
    for one in [path] if isinstance(path, str) else path:
        try:
            with open(one, encoding="utf-8", errors="replace") as handle:
                text += handle.read()
        except OSError:
            continue
    return [i for i in identifiers if "'%s'" % i in text or '"%s"' % i in text]


def unreadable_hint(distribution: str, file: str, path: Optional[str]) -> str:
    """What to do about a distribution whose metadata cannot be read."""
    return ("its %s (%s) cannot be read, an installation fault: reinstall it (pip install "
            "--force-reinstall %s); or skip it: --disable %s"
            % (file, path or file, distribution, distribution))


def _installation_fault(source: PluginSource, error: BaseException) -> Optional[str]:
    """The hint for an error that comes from the installed files rather than the plugin's
    code: a file it cannot read, metadata it cannot decode."""
    owner = source.distribution or ("mirvak" if source.kind == "builtin" else "its distribution")
    reinstall = ("pip install --force-reinstall %s" % source.distribution
                 if source.distribution else "reinstall " + owner)
    if isinstance(error, PermissionError):
        where = error.filename or "a file of " + owner
        return ("%s cannot be read (permission denied), an installation fault: fix its "
                "permissions or %s; or %s" % (where, reinstall, _skip(source)))
    if isinstance(error, UnicodeDecodeError):
        return ("a file of %s cannot be decoded (%s), an installation fault: %s; or %s"
                % (owner, error.reason, reinstall, _skip(source)))
    return None


def failure_hint(source: PluginSource, error: BaseException, dist: Any = None) -> str:
    """One hint for a failed source, ending with how to skip it."""
    skip = _skip(source)
    if isinstance(error, ModuleNotFoundError) and error.name:
        missing = error.name
        module = source.module
        owner = source.distribution or ("mirvak" if source.kind == "builtin" else "its distribution")
        if source.kind == "external" and (module == missing or module.startswith(missing + ".")):
            return ("%s has no module %s: fix the entry point's value (now %s = %s) to name a "
                    "module it installs; or %s" % (owner, missing, source.name, source.value,
                                                   skip))
        own = _top_level_names(dist) if dist is not None else None
        ours = (_top(missing) in own) if own is not None else \
            _top(missing) == _top(module)
        if ours:
            return ("module %s is missing from %s (a packaging fault): reinstall or fix the "
                    "distribution; or %s" % (missing, owner, skip))
        required = _requirement(dist, _top(missing)) if dist is not None else None
        if required is not None:
            return ("%s is a missing dependency (%s requires %s): pip install %s; or %s"
                    % (_top(missing), owner, required, required, skip))
        return ("%s is a missing dependency of %s: install it (pip install %s, if that is its "
                "distribution's name); or %s" % (_top(missing), owner, _top(missing), skip))
    from mirvak.health.report import ImportTimeout

    if isinstance(error, ImportTimeout):
        return ("its import did not finish in time (a loop, or a wait for something that "
                "never comes): fix it, or allow more time with --timeout; or %s" % skip)
    fault = _installation_fault(source, error)
    if fault is not None:
        return fault
    if isinstance(error, SyntaxError):
        return "fix the syntax error in %s, line %s; or %s" % (error.filename, error.lineno, skip)
    if isinstance(error, AttributeError) and source.attribute:
        return ("the entry point names %s, which %s lacks; discovery only needs the module: "
                "point it at the module (%s = %s); or %s"
                % (source.attribute, source.module, source.name, source.module, skip))
    return "the plugin raised while it was imported: fix it; or %s" % skip


def flagged_hint(source: PluginSource) -> str:
    """What to do about an entry point that names an attribute."""
    return ("point it at the module (%s = %s): discovery imports the module and never calls "
            "the attribute" % (source.name, source.module))


@dataclass(frozen=True)
class MisspeltGroup:
    """An installed distribution's entry-point group that looks like the plugin group."""

    group: str
    expected: str
    distribution: Optional[str]
    version: Optional[str]
    entry_points: Tuple[str, ...]
    files: Tuple[str, ...] = field(default=(), compare=False, repr=False)

    def to_json(self) -> Dict[str, Any]:
        return {"group": self.group, "distribution": self.distribution,
                "version": self.version, "entry_points": list(self.entry_points)}

    def __str__(self) -> str:
        return "%s in %s %s: %s; hint: rename the group to %s" % (
            self.group, self.distribution, self.version, ", ".join(self.entry_points),
            self.expected)


def _folded(group: str) -> str:
    return re.sub(r"[-_. ]+", ".", group.strip().lower())


def _distance(a: str, b: str, limit: int) -> int:
    """Edit distance (an adjacent swap counts once), or limit + 1 when above it."""
    if abs(len(a) - len(b)) > limit:
        return limit + 1
    before: List[int] = []
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i] + [0] * len(b)
        for j, cb in enumerate(b, 1):
            current[j] = min(row[j] + 1, current[j - 1] + 1, row[j - 1] + (ca != cb))
            if i > 1 and j > 1 and ca == b[j - 2] and a[i - 2] == cb:
                current[j] = min(current[j], before[j - 2] + 1)
        before, row = row, current
    return row[-1]


def looks_like(group: str, expected: str) -> bool:
    """A group name that differs from the expected one, but only by case, separators or
    up to two typing slips."""
    return group != expected and _distance(_folded(group), _folded(expected), 2) <= 2


class MisspeltFinder:
    """Collects, distribution by distribution, the entry-point groups that look like
    ``expected``; each group name is judged once."""

    def __init__(self, expected: str) -> None:
        self.expected = expected
        self.found: List[MisspeltGroup] = []
        self._judged: Dict[str, bool] = {}

    def _looks(self, group: str) -> bool:
        verdict = self._judged.get(group)
        if verdict is None:
            verdict = self._judged[group] = looks_like(group, self.expected)
        return verdict

    def look(self, dist: Any, points: List[Any]) -> None:
        groups: Dict[str, List[Any]] = {}
        for point in points:
            if self._looks(point.group):
                groups.setdefault(point.group, []).append(point)
        if not groups:
            return
        name: Optional[str] = None
        version: Optional[str] = None
        try:
            meta = dist.metadata
            name, version = meta["Name"], meta["Version"]
        except Exception:  # unreadable: named as well as it can be without it
            pass
        for group, entries in groups.items():
            files = (module_file(dist, str(getattr(point, "module", point.value)))
                     for point in entries)
            self.found.append(MisspeltGroup(group, self.expected, name, version, tuple(
                "%s = %s" % (point.name, point.value) for point in entries),
                tuple(f for f in files if f is not None)))


def misspelt_groups(expected: str) -> List[MisspeltGroup]:
    """The entry-point groups of installed distributions that look like ``expected``."""
    from importlib.metadata import distributions

    finder = MisspeltFinder(expected)
    for dist in distributions():
        try:
            points = list(dist.entry_points)
        except Exception:  # unreadable metadata is the report's business elsewhere
            continue
        finder.look(dist, points)
    return finder.found
