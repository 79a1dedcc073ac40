"""Command line of the plugin registry: ``python -m mirvak``.

``tree`` shows what the default manager holds after plugin discovery;
``lookup`` shows which connection class would serve a device.

Exit statuses: 0 on success, 1 for an expected failure (a bad identifier,
nothing registered for a device, a plugin that fails to import), 2 for
wrong usage.
"""
import argparse
import inspect
import json
import logging
import sys
from types import TracebackType
from typing import Any, Dict, Optional, Sequence, TextIO

from mirvak import log

__all__ = ["main", "registry_to_json", "build_parser"]


class _Failure(Exception):
    """An expected failure: its text goes to standard error after "error: "."""


def build_parser() -> argparse.ArgumentParser:
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

    parser = argparse.ArgumentParser(
        prog="python -m mirvak",
        description="Inspect the connection-plugin registry of mirvak.",
        parents=[verbose])
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
    return parser


def _setup_logging(verbose: bool) -> None:
    if not verbose:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("debug: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.DEBUG)


def _failed_module(exc: BaseException) -> str:
    """Best guess at the plugin module whose import raised ``exc``.

    The outermost module body in the traceback is the plugin that discovery
    was importing (a helper it imports sits further in).  Without one, the
    failure came from the import machinery itself: a syntax error names its
    file, a missing module its name.
    """
    tb: Optional[TracebackType] = exc.__traceback__
    while tb is not None:
        frame = tb.tb_frame
        if frame.f_code.co_name == "<module>":
            name = frame.f_globals.get("__name__")
            return str(name) if name else frame.f_code.co_filename
        tb = tb.tb_next
    if isinstance(exc, SyntaxError) and exc.filename:
        return str(exc.filename)
    if isinstance(exc, ImportError) and exc.name:
        return exc.name
    return "unknown module"


def _discover(builtin: bool, external: bool) -> None:
    from mirvak.core.pluginmanager import PluginManager

    steps = []
    if builtin:
        steps.append(("built-in", PluginManager.discover_builtin_plugins))
    if external:
        steps.append(("external", PluginManager.discover_external_plugins))
    for kind, discover in steps:
        try:
            discover()
        except Exception as exc:
            raise _Failure("%s plugin module %s failed to import: %s: %s" % (
                kind, _failed_module(exc), type(exc).__name__, exc)) from exc


def _dotted_name(obj: Any) -> str:
    module = getattr(obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    if module and qualname:
        return "%s.%s" % (module, qualname)
    return str(qualname or obj)


def _json_key(key: Any) -> str:
    return key if isinstance(key, str) else str(key)


def _record_to_json(record: Any) -> Any:
    if isinstance(record, dict) and "cls" in record:
        out: Dict[str, Any] = {}
        for k, v in record.items():
            out[_json_key(k)] = _dotted_name(v) if k == "cls" else (
                v if isinstance(v, (str, int, float, bool)) or v is None else str(v))
        return out
    return _node_to_json(record)


def registry_to_json(node: Any) -> Any:
    """The registry tree as JSON-ready data: keys as text, each plugin
    record as {"cls": "<module>.<qualname>", "path": "<file>"}."""
    return _node_to_json(node)


def _node_to_json(node: Any) -> Any:
    if not isinstance(node, dict):
        return node if isinstance(node, (str, int, float, bool)) or node is None else str(node)
    out: Dict[str, Any] = {}
    for key, value in node.items():
        if key == "data" and isinstance(value, dict):
            out["data"] = {_json_key(ct): _record_to_json(rec) for ct, rec in value.items()}
        else:
            out[_json_key(key)] = _node_to_json(value)
    return out


def _cmd_tree(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.manager import plugin_manager

    _discover(not args.no_builtin, not args.no_external)
    tree = plugin_manager.plugins
    if args.json:
        out.write(json.dumps(registry_to_json(tree), indent=2) + "\n")
        return
    text = plugin_manager.print_tree(tree)
    if text:
        out.write(text + "\n")


def _cmd_lookup(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.core.errors import ConnectionInfraError
    from mirvak.manager import plugin_manager

    _discover(not args.no_builtin, not args.no_external)
    kwargs: Dict[str, Any] = dict(os=args.os, platform=args.platform, model=args.model,
                                  os_flavor=args.os_flavor)
    if args.chassis_type is not None:
        kwargs["chassis_type"] = args.chassis_type
    try:
        cls = plugin_manager.get_plugin(**kwargs)
    except ConnectionInfraError as exc:
        raise _Failure(str(exc)) from exc
    try:
        path = inspect.getfile(cls)
    except TypeError:
        path = ""
    if args.json:
        out.write(json.dumps({"cls": _dotted_name(cls), "path": path}) + "\n")
    else:
        out.write("%s\n%s\n" % (_dotted_name(cls), path))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(list(argv) if argv is not None else None)
    _setup_logging(getattr(args, "verbose", False))
    commands = {"tree": _cmd_tree, "lookup": _cmd_lookup}
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
    except _Failure as exc:
        sys.stdout.flush()
        sys.stderr.write("error: %s\n" % exc)
        return 1
    return 0
