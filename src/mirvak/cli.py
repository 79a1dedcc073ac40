"""Command line of the plugin registry: ``mirvak`` or ``python -m mirvak``.

``tree`` shows what the default manager holds after plugin discovery;
``lookup`` shows which connection class would serve a device (``--explain``:
and why); ``check`` reports every plugin source, for plugin authors' CI and
operators.

Discovery goes on past plugins that fail: ``tree`` and ``lookup`` answer from
what loaded and write one ``warning:`` line per failed plugin, flagged entry
point and conflicting registration, each with a hint; ``--strict`` turns those
into errors.  Entry points (and built-in modules) named by ``--disable`` or
``MIRVAK_DISABLE_PLUGINS`` are skipped; those named by ``--prefer`` or
``MIRVAK_PREFER_PLUGINS`` load last.  What plugins print while discovery runs
goes to standard error, so standard output holds only the answer (under
``--json``, one JSON document).  ``--timeout`` or ``MIRVAK_IMPORT_TIMEOUT``
(seconds) ends a plugin whose import runs longer, as a failed plugin.

On a terminal, discovery shows its progress (``check``: each source as it
finishes); ``MIRVAK_PROGRESS_DELAY`` (seconds, default 0.5) is how long
discovery runs before ``tree`` and ``lookup`` show a progress line, and
``MIRVAK_SLOW_SECONDS`` (default 1) marks slow sources (off a terminal: one
"still importing" line on standard error for a source that runs longer).

Exit statuses: 0 on success, 1 for an expected failure (a bad identifier,
nothing registered for a device, a failed plugin for ``check``, any warning
under ``--strict``, a lookup that fell back past a broken plugin under
``--strict``), 2 for wrong usage, 130 when interrupted (Ctrl-C), 141 when
standard output's reader went away.
"""
import argparse
import contextlib
import inspect
import json
import logging
import os
import sys
import threading
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

from mirvak import log

__all__ = ["main", "registry_to_json", "build_parser"]

DEFAULT_PROG = "mirvak"


class _Failure(Exception):
    """An expected failure: each of its lines goes to standard error after "error: "."""

    def __init__(self, *lines: str) -> None:
        super().__init__(*lines)
        self.lines = list(lines)


def _version() -> str:
    """The installed distribution's version, read from its metadata folder beside the
    package without importing importlib.metadata (--version stays light); otherwise as
    ``mirvak.__version__`` reads it."""
    import mirvak

    # Beside the package, or (an editable install) in the first path entry that has one.
    beside = os.path.dirname(os.path.dirname(os.path.abspath(mirvak.__file__ or "")))
    for site in [beside] + [entry or os.curdir for entry in sys.path]:
        try:
            folders = [name for name in os.listdir(site)
                       if name.lower().startswith("mirvak-") and name.endswith(".dist-info")]
        except OSError:  # a zip file, a missing directory
            continue
        if len(folders) != 1:
            if folders:
                break  # more than one: as importlib.metadata would choose
            continue
        try:
            with open(os.path.join(site, folders[0], "METADATA"), encoding="utf-8") as handle:
                for line in handle:
                    if line.startswith("Version:"):
                        return line[len("Version:"):].strip()
                    if not line.strip():  # the headers end here
                        break
        except (OSError, UnicodeDecodeError):
            pass
        break
    version: str = mirvak.__version__
    return version


class _VersionAction(argparse.Action):
    """--version: the distribution's version is read only when asked for, so that --help
    reads no metadata."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: Optional[str] = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=default,
                         help=help or "show program's version number and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        sys.stdout.write("%s %s\n" % (parser.prog, _version()))
        parser.exit()


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
                        help="skip the entry points of this name or distribution, or the "
                             "built-in module or package of this name (repeatable, or "
                             "comma-separated; adds to MIRVAK_DISABLE_PLUGINS)")
    common.add_argument("--prefer", action="append", default=[], metavar="NAME",
                        help="load the entry points of this name or distribution last, so "
                             "they win the places they share (repeatable, or comma-separated, "
                             "in order; adds to MIRVAK_PREFER_PLUGINS)")
    common.add_argument("--timeout", type=_timeout, default=None, metavar="SECONDS",
                        help="end a plugin whose import runs longer, as a failed plugin "
                             "(default: MIRVAK_IMPORT_TIMEOUT, else no limit)")
    common.add_argument("--strict", action="store_true",
                        help="fail on any failed plugin, conflicting registration or entry "
                             "point naming an attribute")

    parser = argparse.ArgumentParser(
        prog=prog,
        description="Inspect the connection-plugin registry of mirvak.",
        parents=[verbose])
    parser.add_argument("--version", action=_VersionAction)
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


def _timeout(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not seconds > 0 or seconds == float("inf"):
        raise argparse.ArgumentTypeError("expected a positive number of seconds, got %r" % text)
    return seconds


def _import_timeout(args: argparse.Namespace) -> Optional[float]:
    """--timeout, else MIRVAK_IMPORT_TIMEOUT; None for no limit."""
    if args.timeout is not None:
        return float(args.timeout)
    text = os.environ.get("MIRVAK_IMPORT_TIMEOUT", "").strip()
    if not text:
        return None
    try:
        return _timeout(text)
    except argparse.ArgumentTypeError as error:
        raise _Failure("MIRVAK_IMPORT_TIMEOUT: %s" % error) from None


def _setup_logging(verbose: bool) -> None:
    if not verbose:
        return
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("debug: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.DEBUG)


def _seconds(variable: str, default: float) -> float:
    try:
        return max(0.0, float(os.environ.get(variable, default)))
    except ValueError:
        return default


class _Progress:
    """Follows discovery: the source being imported (for Ctrl-C), and on a terminal a
    one-line indication on standard error once discovery runs longer than the delay."""

    current: Optional[Any] = None  # the source being imported, None between sources

    def __init__(self, stream: Optional[TextIO] = None, delay: float = 0.5) -> None:
        self._stream = stream
        self._delay = delay
        self._done = 0
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._shown = False
        self._thread: Optional[threading.Thread] = None

    def __call__(self, event: str, source: Any) -> None:
        if event == "start":
            _Progress.current = source
        else:
            _Progress.current = None
            self._done += 1
        if self._shown:
            self._draw()

    def _draw(self) -> None:
        if self._stream is None:
            return
        current = _Progress.current
        text = "discovering plugins: %d done" % self._done
        if current is not None:
            text += ", importing " + current.label
        with self._lock:
            if not self._stop.is_set():
                self._stream.write("\r\x1b[K" + text[:200])
                self._stream.flush()

    def _run(self) -> None:
        if self._stop.wait(self._delay):
            return
        self._shown = True
        while not self._stop.is_set():
            self._draw()
            self._stop.wait(0.25)

    def __enter__(self) -> "_Progress":
        if self._stream is not None:
            self._thread = threading.Thread(target=self._run, daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        with self._lock:
            self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self._shown and self._stream is not None:
            self._stream.write("\r\x1b[K")
            self._stream.flush()


class _SlowWatch:
    """Off a terminal: one line on standard error for a source still importing once it has
    run longer than the slow threshold, so that a log shows what a stuck run waits for.
    Sources are noted without waking the watching thread: it looks at most every threshold
    (and 50 ms) on its own, so a fast source costs it nothing."""

    def __init__(self, stream: TextIO, slow: float) -> None:
        self._stream = stream
        self._slow = slow
        self._current: Optional[Tuple[Any, float]] = None
        self._told: Optional[Any] = None
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __call__(self, event: str, source: Any) -> None:
        self._current = (source, time.monotonic()) if event == "start" else None

    def _run(self) -> None:
        pause = max(self._slow, 0.05)
        while not self._stopped.is_set():
            current = self._current
            if current is None or current[0] is self._told:
                self._stopped.wait(pause)
                continue
            left = current[1] + self._slow - time.monotonic()
            if left > 0:
                self._stopped.wait(max(left, 0.05))
                continue
            self._told = current[0]
            try:
                self._stream.write("note: still importing %s after %g s\n"
                                   % (current[0].label, self._slow))
                self._stream.flush()
            except (OSError, ValueError):  # standard error is gone: nothing to tell
                pass

    def __enter__(self) -> "_SlowWatch":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stopped.set()
        self._thread.join()


@contextlib.contextmanager
def _stdout_to_stderr() -> Iterator[TextIO]:
    """What is written to standard output meanwhile (by Python code or at the file
    descriptor) goes to standard error; yields a stream that still writes to standard
    output, for the answer."""
    saved_stream = sys.stdout
    saved_fd = None
    answer: TextIO = saved_stream
    try:
        saved_stream.flush()
        saved_fd = os.dup(1)
        os.dup2(2, 1)
        answer = open(os.dup(saved_fd), "w", buffering=1,
                      encoding=getattr(saved_stream, "encoding", None),
                      errors=getattr(saved_stream, "errors", None))
    except (OSError, ValueError, AttributeError):  # no file descriptor: Python level only
        if saved_fd is not None:
            os.dup2(saved_fd, 1)
            os.close(saved_fd)
        saved_fd = None
        answer = saved_stream
    sys.stdout = sys.stderr
    try:
        yield answer
    finally:
        try:
            sys.stdout.flush()
        except Exception:
            pass
        sys.stdout = saved_stream
        if saved_fd is not None:
            os.dup2(saved_fd, 1)
            os.close(saved_fd)
            try:
                answer.close()
            except OSError:  # a closed pipe: told by the next write to standard output
                pass


def _run_discovery(args: argparse.Namespace, progress: Any,
                   during: Optional[Callable[[TextIO], None]] = None) -> Any:
    """The discovery report.  What plugins print meanwhile goes to standard error, and into
    their sources' output; ``during(answer)`` is given the stream of standard output."""
    from mirvak.health import discovery_report

    timeout = _import_timeout(args)

    def followed(event: str, source: Any) -> None:
        if event == "done" and source.output and not source.output.endswith("\n"):
            sys.stderr.write("\n")  # a plugin's last words without a newline end here
        progress(event, source)

    with _stdout_to_stderr() as answer:
        if during is not None:
            during(answer)
        return discovery_report(builtin=not args.no_builtin, external=not args.no_external,
                                disable=args.disable, prefer=args.prefer,
                                capture_output=True, progress=followed, timeout=timeout)


def _watched(progress: Any) -> Any:
    """The progress callback, and off a terminal the slow-source watch beside it."""
    if sys.stderr.isatty():
        return progress, contextlib.nullcontext()
    watch = _SlowWatch(sys.stderr, _seconds("MIRVAK_SLOW_SECONDS", 1.0))

    def both(event: str, source: Any) -> None:
        progress(event, source)
        watch(event, source)

    return both, watch


def _slow_note(report: Any) -> Optional[str]:
    slow = _seconds("MIRVAK_SLOW_SECONDS", 1.0)
    late = [s for s in report.plugins if s.status != "disabled" and s.seconds >= slow]
    if not late:
        return None
    return "slow plugin sources: %s; discovery took %.1f s" % (
        ", ".join("%s %.1f s" % (s.label, s.seconds) for s in late), report.seconds)


def _discover(args: argparse.Namespace) -> Any:
    """The discovery report; its warnings on standard error, or under
    --strict a failure carrying them."""
    terminal = sys.stderr.isatty()
    with _Progress(sys.stderr if terminal else None,
                   _seconds("MIRVAK_PROGRESS_DELAY", 0.5)) as progress:
        callback, watch = _watched(progress)
        with watch:
            report = _run_discovery(args, callback)
    if terminal:
        note = _slow_note(report)
        if note:
            sys.stderr.write("note: %s\n" % note)
    for line in report.plugin_warnings():
        sys.stderr.write("warning: %s\n" % line)
    warnings = report.warnings()
    if args.strict and warnings:
        raise _Failure(*warnings)
    for line in warnings:
        sys.stderr.write("warning: %s\n" % line)
    return report


def _registry_is_empty() -> bool:
    from mirvak.health.report import _records
    from mirvak.manager import plugin_manager

    return not _records(plugin_manager.plugins, {})[0]


EMPTY = "the registry is empty: no plugin source registered a class"


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


def _discover_for(args: argparse.Namespace, out: TextIO) -> Any:
    """Discovery for a command whose failure, under --json, is an error object on stdout."""
    try:
        return _discover(args)
    except _Failure as failure:
        if args.json:
            out.write(json.dumps({"error": failure.lines[0], "errors": failure.lines}) + "\n")
        raise


def _cmd_tree(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.manager import plugin_manager

    report = _discover_for(args, out)
    if _registry_is_empty():
        sys.stderr.write("note: %s\n" % EMPTY)
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


def _explained(args: argparse.Namespace) -> Any:
    """The explanation of the lookup, without a second round of the registry's debug
    records."""
    from mirvak.health import explain_lookup

    was = log.disabled
    log.disabled = True
    try:
        return explain_lookup(**_lookup_arguments(args))
    finally:
        log.disabled = was


def _source_text(report: Any, label: Optional[str]) -> Optional[str]:
    if label is None:
        return None
    kinds = {source.label: source.kind for source in report.plugins}
    return "built-in module " + label if kinds.get(label) == "builtin" else label


def _provenance(report: Any, explanation: Any) -> Dict[str, Any]:
    """Who registered the answer, and what that registration replaced."""
    record = explanation.record
    chassis_type = explanation.arguments.get("chassis_type")
    replaced = report.replaced_by(explanation.end, chassis_type, record)
    return {"source": _source_text(report, report.source_of(record)),
            "replaced": [{"cls": c.to_json()["cls"], "source": _source_text(report, c.source)}
                         for c in replaced]}


def _provenance_lines(provenance: Dict[str, Any]) -> List[str]:
    lines = ["registered by: " + (provenance["source"] or "unknown (not seen by discovery)")]
    lines += ["replaced: %s from %s" % (c["cls"], c["source"]) for c in provenance["replaced"]]
    return lines


def _lookup_notes(report: Any, explanation: Any) -> List[str]:
    """What a plain lookup says on standard error besides its answer: the identifiers
    without a node, a chassis type without a registration, disabled sources, an empty
    registry."""
    from mirvak.health.explain import _suggestions
    from mirvak.health.report import place_text

    if explanation.refused:
        return []
    empty = _registry_is_empty()
    missing = []
    for step in [] if empty else explanation.steps:
        if not step.followed:
            text = "no %s under %s" % (step.identifier, place_text(step.at) or "the root")
            if step.suggestions:
                text += " (did you mean %s?)" % " or ".join(step.suggestions)
            missing.append(text)
    chassis_type = explanation.arguments.get("chassis_type")
    if not explanation.chassis_type_present and not empty:
        from mirvak.health import _walk

        where = place_text(explanation.end)
        known = [t for t in explanation.chassis_types if isinstance(t, str)]
        listed = getattr(_walk.registry(), "supported_chassis", None) or []
        choices = tuple(dict.fromkeys(known + [t for t in listed if isinstance(t, str)]))
        suggested = [t for t in _suggestions(chassis_type, choices) if t != chassis_type]
        chassis_note: Optional[str] = None
        if known or suggested:
            chassis_note = "no chassis type %s at %s" % (chassis_type, where or "the root")
            if suggested:
                chassis_note += " (did you mean %s?)" % " or ".join(suggested)
            else:
                chassis_note += " (there: %s)" % ", ".join(known)
        elif where:
            chassis_note = "nothing registered at " + where
        if chassis_note:
            missing.append(chassis_note)
    notes = [EMPTY] if empty else []
    if missing:
        parts = [", ".join(missing)]
        if explanation.found:
            parts.append("answered from " + (place_text(explanation.end) or "the root"))
        parts.append("--explain says why")
        notes.append("; ".join(parts))
    if missing or not explanation.found:
        from mirvak.health._hints import mentions

        # What a disabled plugin would register is unknown without running it; its module
        # naming an identifier that had no node is the sign worth telling.
        wanted = [str(step.identifier) for step in explanation.steps if not step.followed]
        if not explanation.chassis_type_present:
            wanted.append(str(chassis_type))
        for source in report.plugins:
            named = mentions(source.module_file, wanted) if source.status == "disabled" else []
            if named:
                notes.append("%s is disabled, so not loaded; its module names %s"
                             % (source.label, ", ".join(named)))
        notes += _hidden_by(report, wanted)
    return notes


def _hidden_by(report: Any, wanted: List[str]) -> List[str]:
    """Notes on the broken sources that may have registered what the lookup missed: a
    failed source, an unreadable distribution, or entry points in a misspelt group whose
    files name an identifier that had no node."""
    from mirvak.health._hints import mentions

    notes = []
    for source in report.plugins:
        if source.status != "failed":
            continue
        if source.unreadable_file is not None:
            named = mentions(source.files, wanted)
            what, whose = "could not be read", "its files name"
        else:
            named = mentions(source.module_file, wanted)
            what = "failed to import" if source.kind == "builtin" else "failed to load"
            whose = "its module names"
        if named:
            label = ("built-in module " if source.kind == "builtin" else "") + source.label
            notes.append("%s %s; %s %s" % (label, what, whose, ", ".join(named)))
    for group in report.misspelt_groups:
        named = mentions(group.files, wanted)
        if named:
            notes.append("%s in %s %s sits in the misspelt group %s, so never loads; its "
                         "module names %s" % (", ".join(group.entry_points), group.distribution,
                                              group.version, group.group, ", ".join(named)))
    return notes


def _cmd_lookup(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.core.errors import ConnectionInfraError
    from mirvak.health import dotted_name
    from mirvak.manager import plugin_manager

    report = _discover_for(args, out)
    if args.explain:
        _explain(args, out, report)
        return
    try:
        cls = plugin_manager.get_plugin(**_lookup_arguments(args))
    except ConnectionInfraError as exc:
        explanation = _explained(args)
        if args.json:
            out.write(json.dumps({"error": str(exc), "refused": explanation.refused,
                                  "arguments": explanation.to_json()["arguments"]}) + "\n")
        out.flush()
        sys.stderr.write("error: %s\n" % exc)
        for note in _lookup_notes(report, explanation):
            sys.stderr.write("note: %s\n" % note)
        raise _Quiet() from exc
    explanation = _explained(args)
    notes = _lookup_notes(report, explanation)
    hidden = _hidden_by(report, [str(step.identifier) for step in explanation.steps
                                 if not step.followed]) if explanation.fell_back else []
    if args.strict and hidden:
        failure = ["the answer fell back past a broken plugin source: " + hidden[0]] + hidden[1:]
        if args.json:
            out.write(json.dumps({"error": failure[0], "errors": failure}) + "\n")
        raise _Failure(*failure)
    for note in notes:
        sys.stderr.write("note: %s\n" % note)
    try:
        path = inspect.getfile(cls)
    except TypeError:
        path = ""
    provenance = _provenance(report, explanation) if explanation.found else {
        "source": None, "replaced": []}
    if args.json:
        out.write(json.dumps({"cls": dotted_name(cls), "path": path, **provenance}) + "\n")
    else:
        out.write("%s\n%s\n" % (dotted_name(cls), path))
        out.write("\n".join(_provenance_lines(provenance)) + "\n")


class _Quiet(Exception):
    """A failure already explained on standard output: exit 1, nothing more."""


def _explain(args: argparse.Namespace, out: TextIO, report: Any) -> None:
    explanation = _explained(args)
    provenance = _provenance(report, explanation) if explanation.found else None
    if args.json:
        data = explanation.to_json()
        if provenance is not None:
            data.update(provenance)
        out.write(json.dumps(data, indent=2) + "\n")
    else:
        text = explanation.to_text()
        if provenance is not None:
            text += "\n" + "\n".join(_provenance_lines(provenance))
        out.write(text + "\n")
    if not explanation.found:
        raise _Quiet()


def _cmd_check(args: argparse.Namespace, out: TextIO) -> None:
    from mirvak.health.report import counted, source_lines

    streaming = not args.json and out.isatty()
    slow = _seconds("MIRVAK_SLOW_SECONDS", 1.0) if streaming else None
    answer = [out]

    def shown(event: str, source: Any) -> None:
        callback(event, source)
        if event == "done" and streaming:
            answer[-1].write("\n".join(source_lines(source, args.traceback, slow)) + "\n")
            answer[-1].flush()

    callback, watch = _watched(_Progress())
    if streaming:
        out.write("Plugins, in load order:\n")
        out.flush()
    with watch:
        report = _run_discovery(args, shown, answer.append)
    for line in report.plugin_warnings():
        sys.stderr.write("warning: %s\n" % line)
    empty = _registry_is_empty()
    problems: List[str] = []
    if report.failed:
        problems.append(counted(len(report.failed), "failed plugin"))
    if empty:
        problems.append("nothing registered")
    if args.strict and report.conflicts:
        problems.append(counted(len(report.conflicts), "conflict"))
    if args.strict and report.flagged:
        problems.append(counted(len(report.flagged), "flagged entry point"))
    if args.strict and report.misspelt_groups:
        problems.append(counted(len(report.misspelt_groups), "misspelt group"))
    if args.json:
        data = report.to_json()
        data["ok"] = not problems
        data["empty"] = empty
        out.write(json.dumps(data, indent=2) + "\n")
    else:
        lines = report.closing_lines() if streaming else [report.to_text(args.traceback)]
        if empty:
            lines.append(EMPTY[0].upper() + EMPTY[1:])
        if streaming:
            lines.append("discovery took %.1f s" % report.seconds)
        out.write("\n".join(lines) + "\n")
        out.write("check %s\n" % ("failed: " + ", ".join(problems) if problems else "passed"))
    if problems:
        raise _Quiet()


def _interrupted() -> int:
    current = _Progress.current
    try:
        sys.stdout.flush()
    except Exception:  # whatever standard output holds, one line on standard error
        pass
    sys.stderr.write("%sinterrupted%s\n" % ("\n" if sys.stderr.isatty() else "",
                                             " while importing " + current.label
                                             if current is not None else ""))
    return 130


def _pipe_closed() -> int:
    """Standard output's reader is gone (``mirvak tree | head -1``): stop quietly.  Later
    writes, and the flush at exit, go nowhere instead of raising again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
    return 141  # as a shell reports a command ended by SIGPIPE


def main(argv: Optional[Sequence[str]] = None, prog: str = DEFAULT_PROG) -> int:
    try:
        return _main(argv, prog)
    except KeyboardInterrupt:
        return _interrupted()
    except BrokenPipeError:
        return _pipe_closed()


def _main(argv: Optional[Sequence[str]], prog: str) -> int:
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
    sys.stdout.flush()  # a closed pipe is told here, not at exit
    return 0
