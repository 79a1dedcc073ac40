"""Lookup explanation: why ``get_plugin`` answers what it answers.

:func:`explain_lookup` takes the arguments of ``PluginManager.get_plugin``,
validates them by calling the manager's ``validate_arguments`` exactly as
``get_plugin`` does, builds the same level path and walks the tree the same
way, recording each step: whether the identifier had a node and was followed,
or was skipped (the lookup then falls back to the node it is at).  Its verdict
(the class, or the exact error) is the one ``get_plugin`` gives for the same
manager and arguments.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Hashable, List, Optional, Tuple, Type

from mirvak.core.errors import ConnectionInfraError
from mirvak.health import _walk
from mirvak.health.report import Place, dotted_name, place_text

__all__ = ["LookupExplanation", "LookupStep", "explain_lookup"]

_MAX_SHOWN = 12  # children listed in the text of a skipped step


def _is_data(key: Any) -> bool:
    # The text itself decides, as for the registry's reserved key.
    return isinstance(key, str) and str.__eq__(key, "data")


@dataclass(frozen=True)
class LookupStep:
    """One identifier of the level path: looked for among the children of the
    node at ``at``; ``followed`` when it had a node there, else skipped.
    ``children`` are the identifiers the lookup could have followed there, and
    ``suggestions`` those among them that look like the one given."""

    identifier: Hashable
    followed: bool
    at: Place
    children: Tuple[str, ...] = ()
    suggestions: Tuple[str, ...] = ()

    def to_json(self) -> Dict[str, Any]:
        return {"identifier": _text(self.identifier), "followed": self.followed,
                "at": [_text(m) for m in self.at], "suggestions": list(self.suggestions)}


@dataclass
class LookupExplanation:
    """The walk of one lookup and its verdict.

    ``refused`` is set when validation (or the reserved identifier ``data``)
    refused the arguments before the tree was read; ``path`` is then None.
    ``end`` is the place where the walk ended.  ``result`` is the class found,
    or ``error`` the text of the ``ConnectionInfraError`` that ``get_plugin``
    raises (``exception`` holds that exception); ``record`` is the tree's record
    that answered.  ``note`` says in plain words
    why a walk that reached a node failed there.
    """

    arguments: Dict[str, Any]
    path: Optional[List[Hashable]] = None
    steps: List[LookupStep] = field(default_factory=list)
    end: Place = ()
    chassis_mapping: bool = False
    chassis_types: List[Hashable] = field(default_factory=list)
    chassis_type_present: bool = False
    result: Any = None
    file: Optional[str] = None
    error: Optional[str] = None
    refused: bool = False
    note: Optional[str] = None
    exception: Optional[BaseException] = field(default=None, compare=False, repr=False)
    record: Any = field(default=None, compare=False, repr=False)

    @property
    def found(self) -> bool:
        return self.exception is None

    @property
    def fell_back(self) -> bool:
        """Some identifier had no node and was skipped."""
        return any(not step.followed for step in self.steps)

    def outcome(self) -> Any:
        """What ``get_plugin`` does: the class, or the exception raised."""
        if self.exception is not None:
            raise self.exception
        return self.result

    def to_json(self) -> Dict[str, Any]:
        return {
            "arguments": {k: _text(v) for k, v in self.arguments.items()},
            "path": None if self.path is None else [_text(m) for m in self.path],
            "steps": [step.to_json() for step in self.steps],
            "end": [_text(m) for m in self.end], "chassis_mapping": self.chassis_mapping,
            "chassis_types": [_text(t) for t in self.chassis_types],
            "chassis_type_present": self.chassis_type_present, "fell_back": self.fell_back,
            "result": None if self.exception is not None else dotted_name(self.result),
            "file": self.file, "error": self.error, "refused": self.refused, "note": self.note,
        }

    def to_text(self) -> str:
        args = ", ".join("%s=%r" % item for item in self.arguments.items()
                         if item[1] is not None or item[0] == "chassis_type")
        lines = ["lookup: " + args]
        if self.refused:
            return "\n".join(lines + ["refused: " + str(self.error)])
        lines.append("level path: " + place_text(self.path or []))
        lines += ["  " + _step_text(step) for step in self.steps]
        lines.append("ended at: " + (place_text(self.end) or "the root"))
        if self.chassis_mapping:
            held = ", ".join(map(str, self.chassis_types)) or "none (empty)"
            lines.append("chassis mapping: " + held)
        else:
            lines.append("chassis mapping: none")
        lines.append("chassis type %s: %s" % (self.arguments.get("chassis_type"),
                                              "present" if self.chassis_type_present
                                              else "absent"))
        lines.append("fell back: " + ("yes" if self.fell_back else "no"))
        if self.exception is None:
            lines.append("result: " + dotted_name(self.result))
            if self.file:
                lines.append("file: " + self.file)
        else:
            lines.append("error: " + str(self.error))
        if self.note:
            lines.append("note: " + self.note)
        return "\n".join(lines)


def _text(value: Any) -> Any:
    return value if isinstance(value, str) or value is None else str(value)


def _step_text(step: LookupStep) -> str:
    where = place_text(step.at) or "the root"
    if step.followed:
        return "followed  %s (under %s)" % (step.identifier, where)
    text = "skipped   %s (no node under %s" % (step.identifier, where)
    if step.children:
        shown = list(step.children[:_MAX_SHOWN]) + (["..."] if len(step.children) > _MAX_SHOWN
                                                    else [])
        text += "; there: " + ", ".join(shown)
    text += ")"
    if step.suggestions:
        text += "; did you mean " + " or ".join(step.suggestions) + "?"
    return text


def _children(node: Any) -> Tuple[str, ...]:
    try:
        return tuple(k for k in node.keys() if isinstance(k, str) and not _is_data(k))
    except Exception:  # a node that is no mapping has nothing to offer
        return ()


def _suggestions(member: Any, children: Tuple[str, ...]) -> Tuple[str, ...]:
    if not isinstance(member, str):
        return ()
    import difflib  # only when an identifier had no node

    folded = member.casefold()
    same = [key for key in children if key != member and key.casefold() == folded]
    close = difflib.get_close_matches(member, children, n=3, cutoff=0.6)
    return tuple(dict.fromkeys(same + close))


def _level_path(os: Any, platform: Any, model: Any, os_flavor: Any,
                error_class: Type[BaseException]) -> List[Hashable]:
    # The registry's rule: identity tests against None, then the reserved identifier.
    if model is not None:
        path = [os, platform, model]
    elif platform is not None:
        path = [os, platform]
    else:
        path = [os]
    if os_flavor is not None:
        path.append(os_flavor)
    if any(_is_data(member) for member in path):
        raise error_class("Plugin identifier 'data' is reserved")
    return path


def _error_classes(registry: Any) -> Tuple[Type[BaseException], ...]:
    current = getattr(registry, "ConnectionInfraError", ConnectionInfraError)
    if isinstance(current, type) and issubclass(current, BaseException):
        return (current, ConnectionInfraError)
    return (ConnectionInfraError,)


def explain_lookup(os: Optional[str] = None, platform: Optional[str] = None,
                   model: Optional[str] = None, os_flavor: Optional[str] = None,
                   chassis_type: Optional[str] = "single_rp", *,
                   manager: Any = None) -> LookupExplanation:
    """Explains ``manager.get_plugin(os, platform, model, os_flavor, chassis_type)``.

    ``manager`` defaults to the library's ``mirvak.manager.plugin_manager``.
    A refusal by validation is part of the explanation (``refused``), with the
    very exception ``get_plugin`` raises; any other exception that
    ``get_plugin`` would raise (an overridden validator's own, an identifier
    that cannot be hashed) propagates from here too.
    """
    registry = _walk.registry()
    if manager is None:
        from mirvak.manager import plugin_manager

        manager = plugin_manager
    errors = _error_classes(registry)
    explanation = LookupExplanation(dict(os=os, platform=platform, model=model,
                                         os_flavor=os_flavor, chassis_type=chassis_type))
    try:
        manager.validate_arguments(os, platform, model, chassis_type)
        path = _level_path(os, platform, model, os_flavor, errors[0])
    except errors as refusal:
        explanation.refused, explanation.exception = True, refusal
        explanation.error = str(refusal.args[0]) if refusal.args else str(refusal)
        return explanation
    explanation.path = path
    trail = _walk_path(manager, path, explanation)
    _check_end(trail[-1], path, chassis_type, explanation, errors[0])
    if explanation.exception is not None:
        explanation.note = _note(trail, chassis_type, explanation)
    return explanation


def _walk_path(manager: Any, path: List[Hashable],
               explanation: LookupExplanation) -> List[Tuple[Place, Any]]:
    """The descent: each member with a node is followed, the others skipped.
    Returns the nodes passed, (place, node), from the root to the end."""
    node: Any = manager._plugins  # what get_plugin reads, not the property
    place: Place = ()
    trail = [(place, node)]
    for member in path:
        if member in node.keys():
            explanation.steps.append(LookupStep(member, True, place))
            node = node[member]
            place = place + (member,)
            trail.append((place, node))
        else:
            children = _children(node)
            explanation.steps.append(
                LookupStep(member, False, place, children, _suggestions(member, children)))
    explanation.end = place
    return trail


def _check_end(end: Tuple[Place, Any], path: List[Hashable], chassis_type: Any,
               explanation: LookupExplanation, error_class: Type[BaseException]) -> None:
    node = end[1]
    explanation.chassis_mapping = "data" in node.keys()
    if explanation.chassis_mapping:
        data = node["data"]
        explanation.chassis_types = list(data.keys())
        explanation.chassis_type_present = chassis_type in data.keys()
    if explanation.chassis_type_present:
        record = node["data"][chassis_type]
        explanation.record = record
        explanation.result = record["cls"]
        file = record.get("path") if isinstance(record, dict) else None
        explanation.file = file if isinstance(file, str) else None
        return
    explanation.error = ("Plugin data not found for (" + "/".join(str(m) for m in path)
                         + "), type: " + str(chassis_type) + " ")
    explanation.exception = error_class(explanation.error)


def _holds(node: Any, chassis_type: Any) -> bool:
    try:
        return "data" in node.keys() and chassis_type in node["data"].keys()
    except Exception:
        return False


def _note(trail: List[Tuple[Place, Any]], chassis_type: Any,
          explanation: LookupExplanation) -> str:
    place, node = trail[-1]
    if not place:
        return ("No identifier had a node, so the walk stayed at the root, which holds no "
                "registration: nothing is registered for this operating system.")
    where = place_text(place)
    ancestors = [p for p, n in trail[1:-1] if _holds(n, chassis_type)]
    stop = ("The lookup ends at the deepest node it reaches and never goes back up, so it "
            "fails here")
    if ancestors:
        stop += " instead of falling back to %s, which holds a %s registration" % (
            place_text(ancestors[-1]), chassis_type)
    stop += "."
    if not explanation.chassis_mapping:
        if _children(node):
            why = ("%s holds no registration of its own, only nodes below it (or its "
                   "registrations were removed; removal leaves the node in place)." % where)
        else:
            why = ("%s holds no registration: its registrations were removed, and removal "
                   "leaves the node itself in place." % where)
    elif not explanation.chassis_types:
        why = ("%s holds an empty chassis mapping: its chassis types were removed one by "
               "one, and removal leaves the node and the mapping in place." % where)
    else:
        why = ("%s holds registrations for %s but none for %s; the chassis type has no "
               "fall-back." % (where, ", ".join(map(str, explanation.chassis_types)),
                               chassis_type))
    return why + " " + stop
