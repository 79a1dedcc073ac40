"""Command line of the plugin registry: ``mirvak`` or ``python -m mirvak``.

``tree`` shows what the default manager holds after plugin discovery;
``lookup`` shows which connection class would serve a device (``--explain``:
and why); ``check`` reports every plugin source, for plugin authors' CI and
operators.

Discovery goes on past plugins that fail: ``tree`` and ``lookup`` answer from
what loaded and write one ``warning:`` line per failed plugin, flagged entry
point and conflicting registration; ``--strict`` turns those into errors.
Entry points named by ``--disable`` or ``MIRVAK_DISABLE_PLUGINS`` are skipped.

Exit statuses: 0 on success, 1 for an expected failure (a bad identifier,
nothing registered for a device, a failed plugin for ``check``, any warning
under ``--strict``), 2 for wrong usage.
"""
import argparse
import inspect
import json
import logging
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO

from mirvak import log

__all__ = ["main", "registry_to_json", "build_parser"]

DEFAULT_PROG = "mirvak"


class _Failure(Exception):
    """An expected failure: each of its lines goes to standard error after "error: "."""

    def __init__(self, *lines: str) -> None:
        super().__init__(*lines)
        self.lines = list(lines)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("mirvak")
    except PackageNotFoundError:
        return "unknown"


def build_parser(prog: str = DEFAULT_PROG) -> argparse.ArgumentParser:
    # -v is accepted both before and after the subcommand; SUPPRESS keeps a
    # subcommand's default from overwriting a -v given before it.
    verbose = argparse.ArgumentParser(add_help=False)
    verbose.add_argument(
        "-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
        help="show the library's debug records on standard error")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true",
                        help="print JSON instead of text")
    common.add_argument("--no-builtin", action="store_true",
                        help="skip the built-in plugins (package mirvak.plugins)")
    common.add_argument("--no-external", action="store_true",
                        help="skip installed plugins (entry point group mirvak.plugins)")
    common.add_argument("--disable", action="append", default=[], metavar="NAME",
                        help="skip the entry points of this name or distribution (repeatable; "
                             "adds to MIRVAK_DISABLE_PLUGINS)")
    common.add_argument("--strict", action="store_true",
                        help="fail on any failed plugin, conflicting registration or entry "
                             "point naming an attribute")

    parser = argparse.ArgumentParser(
        prog=prog,
        description="Inspect the connection-plugin registry of mirvak.",
        parents=[verbose])
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    sub.add_parser(
        "tree", parents=[verbose, common],
        help="discover the plugins and draw the registry",
        description="Run plugin discovery into the default manager and draw its registry.")

    lookup = sub.add_parser(
        "lookup", parents=[verbose, common],
        help="show the connection class that serves a device",
        description="Run plugin discovery, then look up the connection class for a device, "
                    "falling back to shallower registrations where an identifier has none.")
    lookup.add_argument("--os", required=True, help="operating system, e.g. linux")
    lookup.add_argument("--platform", help="platform, e.g. p1")
    lookup.add_argument("--model", help="model, e.g. m1 (needs --platform)")
    lookup.add_argument("--os-flavor", dest="os_flavor", help="operating-system flavour")
    lookup.add_argument("--chassis-type", dest="chassis_type",
                        help="single_rp (the default), dual_rp or stack")
    lookup.add_argument("--explain", action="store_true",
                        help="show the walk through the registry step by step")

    check = sub.add_parser(
        "check", parents=[verbose, common],
        help="report every plugin source: status, registrations, conflicts",
        description="Run plugin discovery, keeping on past failing plugins, and report each "
                    "plugin source. Exit status 1 when a plugin failed (--strict: also for "
                    "conflicts and entry points naming an attribute).")
    check.add_argument("--traceback", action="store_true",
                       help="show the traceback of each failed plugin")
    return parser


def _setup_logging(verbose: bool) -> None:
    if not verbose:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("debug: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.DEBUG)


def _discover(args: argparse.Namespace) -> Any:
    """The discovery report; its warnings on standard error, or under
    --strict a failure carrying them."""
    from mirvak.health import discovery_report

    report = discovery_report(builtin=not args.no_builtin, external=not args.no_external,
                              disable=args.disable)
    warnings = report.warnings()
    if args.strict and warnings:
        raise _Failure(*warnings)
    for line in warnings:
        sys.stderr.write("warning: %s\n" % line)
    return report


def _json_key(key: Any) -> str:
    return key if isinstance(key, str) else str(key)


def _json_value(value: Any) -> Any:
    return value if isinstance(value, (str, int, float, bool)) or value is None else str(value)


SourceOf = Optional[Callable[[Any], Optional[str]]]


def _record_to_json(record: Any, source_of: SourceOf) -> Any:
    from mirvak.health import dotted_name

    if isinstance(record, dict) and "cls" in record:
        out: Dict[str, Any] = {}
        for k, v in record.items():
            out[_json_key(k)] = dotted_name(v) if k == "cls" else _json_value(v)
        source = source_of(record) if source_of is not None else None
        if source is not None:
            out["source"] = source
        return out
    return _node_to_json(record, source_of)


def registry_to_json(node: Any, source_of: SourceOf = None) -> Any:
    """The registry tree as JSON-ready data: keys as text, each plugin
    record as {"cls": "<module>.<qualname>", "path": "<file>"}, plus
    "source" where ``source_of(record)`` names the plugin that made it."""
    return _node_to_json(node, source_of)


def _node_to_json(node: Any, source_of: SourceOf) -> Any:
    if not isinstance(node, dict):
        return _json_value(node)
    out: Dict[str, Any] = {}
    for key, value in node.items():
        if key == "data" and isinstance(value, dict):
            out["data"] = {_json_key(ct): _record_to_json(rec, source_of)
                           for ct, rec in value.items()}
        else:
            out[_json_key(key)] = _node_to_json(value, source_of)
    return out


def _cmd_tree(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.manager import plugin_manager

    report = _discover(args)
    tree = plugin_manager.plugins
    if args.json:
        out.write(json.dumps(registry_to_json(tree, report.source_of), indent=2) + "\n")
        return
    text = plugin_manager.print_tree(tree)
    if text:
        out.write(text + "\n")


def _lookup_arguments(args: argparse.Namespace) -> Dict[str, Any]:
    kwargs: Dict[str, Any] = dict(os=args.os, platform=args.platform, model=args.model,
                                  os_flavor=args.os_flavor)
    if args.chassis_type is not None:
        kwargs["chassis_type"] = args.chassis_type
    return kwargs


def _cmd_lookup(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.core.errors import ConnectionInfraError
    from mirvak.health import dotted_name
    from mirvak.manager import plugin_manager

    _discover(args)
    if args.explain:
        _explain(args, out)
        return
    try:
        cls = plugin_manager.get_plugin(**_lookup_arguments(args))
    except ConnectionInfraError as exc:
        raise _Failure(str(exc)) from exc
    try:
        path = inspect.getfile(cls)
    except TypeError:
        path = ""
    if args.json:
        out.write(json.dumps({"cls": dotted_name(cls), "path": path}) + "\n")
    else:
        out.write("%s\n%s\n" % (dotted_name(cls), path))


class _Quiet(Exception):
    """A failure already explained on standard output: exit 1, nothing more."""


def _explain(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.health import explain_lookup

    explanation = explain_lookup(**_lookup_arguments(args))
    if args.json:
        out.write(json.dumps(explanation.to_json(), indent=2) + "\n")
    else:
        out.write(explanation.to_text() + "\n")
    if not explanation.found:
        raise _Quiet()


def _cmd_check(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.health import discovery_report
    from mirvak.health.report import counted

    report = discovery_report(builtin=not args.no_builtin, external=not args.no_external,
                              disable=args.disable)
    problems: List[str] = []
    if report.failed:
        problems.append(counted(len(report.failed), "failed plugin"))
    if args.strict and report.conflicts:
        problems.append(counted(len(report.conflicts), "conflict"))
    if args.strict and report.flagged:
        problems.append(counted(len(report.flagged), "flagged entry point"))
    if args.json:
        data = report.to_json()
        data["ok"] = not problems
        out.write(json.dumps(data, indent=2) + "\n")
    else:
        out.write(report.to_text(tracebacks=args.traceback) + "\n")
        out.write("check %s\n" % ("failed: " + ", ".join(problems) if problems else "passed"))
    if problems:
        raise _Quiet()


def main(argv: Optional[Sequence[str]] = None, prog: str = DEFAULT_PROG) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(list(argv) if argv is not None else None)
    _setup_logging(getattr(args, "verbose", False))
    commands = {"tree": _cmd_tree, "lookup": _cmd_lookup, "check": _cmd_check}
    try:
        from mirvak.core.errors import ConnectionInfraError
        try:
            import mirvak.manager  # noqa: F401  (loads the compiled registry)
        except ImportError as exc:
            raise _Failure("the compiled plugin registry cannot be loaded: %s" % exc) from exc
        try:
            commands[args.command](args, sys.stdout)
        except ConnectionInfraError as exc:
            raise _Failure(str(exc)) from exc
    except _Quiet:
        return 1
    except _Failure as exc:
        sys.stdout.flush()
        for line in exc.lines:
            sys.stderr.write("error: %s\n" % line)
        return 1
    return 0
