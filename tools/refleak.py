"""Reference-leak hunter: runs each in-process test repeatedly under a debug interpreter.

Usage: python-dbg tools/refleak.py [--warmup N] [--rounds N] [pytest arguments...]

Every collected test first runs once the ordinary way, so that pytest reports its result as
usual; then it runs silently (setup, call, teardown) `warmup` times and `rounds` more times.
After each measured run the total reference count (sys.gettotalrefcount) and the number of
allocated memory blocks (sys.getallocatedblocks) are compared with those after the previous
run.  As in CPython's own leak hunter, a test leaks when it grows either figure in every
measured run.

Tests that start a subprocess (seen through the interpreter's audit events) are not hunted:
their work happens in another process.  Nor are tests that fail or skip, in the reported run
or in a silent one.
Exit status: pytest's own when a test fails or none ran; 3 when a leak (or an error of the
final teardown) was found; 4 when the extension was built without the debug interpreter's
reference accounting; 5 when every test was passed over; else 0.
"""
import argparse
import functools
import gc
import sys

import pytest
from _pytest.runner import runtestprotocol

_SUBPROCESS_EVENTS = {"subprocess.Popen", "os.system", "os.posix_spawn", "os.exec", "os.fork"}


class _Spawns:
    """Counts process creations; an audit hook cannot be removed, so it is installed once."""

    count = 0

    @classmethod
    def hook(cls, event, _args):
        if event in _SUBPROCESS_EVENTS:
            cls.count += 1


sys.addaudithook(_Spawns.hook)


def _cleanup(importer_cache):
    """Drops the interpreter's caches that fill on first use, as regrtest's cleanup does."""
    import linecache
    import re

    sys.path_importer_cache.clear()  # a finder per directory: each run's tmp_path adds one
    sys.path_importer_cache.update(importer_cache)
    linecache.clearcache()
    re.purge()
    try:
        import typing

        for clear in getattr(typing, "_cleanups", []):
            clear()
    except Exception:  # noqa: BLE001 - a cache we cannot clear only makes the figures noisier
        pass
    # 3.13 renamed the type cache's clearing (the old name warns from 3.14 on, and a kept
    # warning would itself read as growth).
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
    gc.collect()


def _figures(importer_cache):
    _cleanup(importer_cache)
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _wider_fixture_finalizers(item):
    """[(finalizer list, its length now)] of every fixture wider than a test.

    A test's fixture that uses a wider one (tmp_path uses the session's tmp_path_factory)
    leaves a finalizer on it for each run, kept until the wider fixture ends: pytest's own
    growth, which would otherwise count against every test that uses such a fixture."""
    info = getattr(item, "_fixtureinfo", None)
    found = []
    for definitions in getattr(info, "name2fixturedefs", {}).values():
        for definition in definitions:
            finalizers = getattr(definition, "_finalizers", None)
            if getattr(definition, "scope", "function") != "function" and finalizers is not None:
                found.append((finalizers, len(finalizers)))
    return found


def _drop_stale_finalizers(wider):
    """Drops the finalizers a run added for test fixtures that have already been torn down."""
    for finalizers, length in wider:
        kept = [
            finalizer
            for finalizer in finalizers[length:]
            if not (
                isinstance(finalizer, functools.partial)
                and getattr(finalizer.func, "__name__", "") == "finish"
                and getattr(getattr(finalizer.func, "__self__", None), "cached_result", 0) is None
            )
        ]
        finalizers[length:] = kept


def _reset_raised_parameters(item):
    """An exception object given as a test parameter is the same object in every run, and each
    raise of it prepends to its traceback: forget what the run attached to it."""
    callspec = getattr(item, "callspec", None)
    for value in getattr(callspec, "params", {}).values():
        if isinstance(value, BaseException):
            value.__traceback__ = value.__context__ = value.__cause__ = None


class LeakHunter:
    def __init__(self, warmup, rounds):
        self.warmup = warmup
        self.rounds = rounds
        self.leaks = []  # (nodeid, reference deltas, block deltas)
        self.hunted = 0
        self.passed_over = []  # (nodeid, reason)
        self.teardown_errors = []  # (nodeid, error) of the wider fixtures' final teardown

    def _run_silently(self, item):
        wider = _wider_fixture_finalizers(item)
        sections = len(item._report_sections)
        item._initrequest()
        # Tearing down towards the test's own module drops its function-scoped fixtures and
        # keeps the wider ones for the next run.
        reports = runtestprotocol(item, nextitem=item.parent, log=False)
        _drop_stale_finalizers(wider)
        _reset_raised_parameters(item)
        del item._report_sections[sections:]  # captured output and log records of this run
        return all(report.passed for report in reports)

    def _hunt(self, item):
        importer_cache = sys.path_importer_cache.copy()
        for _ in range(self.warmup):
            if not self._run_silently(item):
                return "fails or skips when repeated"
        # Filled in place: growing a list here would itself show up in the figures.
        references, blocks = [0] * self.rounds, [0] * self.rounds
        before = after = _figures(importer_cache)
        for i in range(self.rounds):
            if not self._run_silently(item):
                return "fails or skips when repeated"
            after = _figures(importer_cache)
            references[i], blocks[i] = after[0] - before[0], after[1] - before[1]
            before = after
        self.hunted += 1
        if all(delta >= 1 for delta in references) or all(delta >= 1 for delta in blocks):
            self.leaks.append((item.nodeid, references, blocks))
        return None

    def pytest_configure(self, config):
        _same_examples_every_run()

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        # The reported run comes first; its teardown stops short of the wider fixtures, which
        # the repeated runs share, and the final teardown towards the next test follows them.
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        spawned = _Spawns.count
        reports = runtestprotocol(item, nextitem=item.parent, log=True)
        if _Spawns.count != spawned:
            reason = "starts a subprocess"
        elif not all(report.passed for report in reports):
            reason = "fails or skips"
        else:
            reason = self._hunt(item)
        if reason is not None:
            self.passed_over.append((item.nodeid, reason))
        try:
            item.session._setupstate.teardown_exact(nextitem)
        except Exception as error:  # noqa: BLE001 - reported, and fails the run
            self.teardown_errors.append((item.nodeid, repr(error)))
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        terminalreporter.section("reference leaks")
        write(f"hunted {self.hunted} tests ({self.warmup} warm-up + {self.rounds} measured runs each)")
        for nodeid, reason in self.passed_over:
            write(f"not hunted: {nodeid}: {reason}")
        for nodeid, references, blocks in self.leaks:
            write(f"LEAK: {nodeid}: references {references}, memory blocks {blocks}")
        for nodeid, error in self.teardown_errors:
            write(f"TEARDOWN ERROR after {nodeid}: {error}")
        if not self.leaks:
            write("no leaks")


def _same_examples_every_run():
    """Property tests draw the same examples in every run (fresh ones would intern new strings
    and fill caches, which reads as growth); a test's own settings still apply."""
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("refleak", derandomize=True, database=None)
    settings.load_profile("refleak")


def _extension_counts_references():
    """False when the extension was compiled without the debug interpreter's reference
    accounting (its increments would go uncounted and every call would read as a release):
    a balanced call must leave the total where it was."""
    try:
        from mirvak.core.pluginmanager import PluginManager
    except ImportError:
        return True
    manager = PluginManager()
    calls = 1000
    for _ in range(10):
        manager.validate_model("linux", "p1", None)
    before = sys.gettotalrefcount()
    for _ in range(calls):
        manager.validate_model("linux", "p1", None)
    return abs(sys.gettotalrefcount() - before) < calls // 2


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    options, pytest_args = parser.parse_known_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        parser.error("needs a debug build of the interpreter (sys.gettotalrefcount)")
    if not _extension_counts_references():
        print("refleak: the extension was built without Py_DEBUG; its references are not counted",
              file=sys.stderr)
        return 4
    hunter = LeakHunter(options.warmup, options.rounds)
    status = pytest.main(["-p", "no:cacheprovider", *pytest_args], plugins=[hunter])
    if status != pytest.ExitCode.OK:
        return int(status)
    if not hunter.hunted:  # a run that measured nothing proves nothing
        print("refleak: no test was hunted", file=sys.stderr)
        return 5
    return 3 if hunter.leaks or hunter.teardown_errors else 0


if __name__ == "__main__":
    sys.exit(main())
