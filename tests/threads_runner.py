"""A stress of the registry by threads running at once, for free-threaded CPython:

    python threads_runner.py native|reference disjoint|contended [SEED [STEPS]]

Exits 0 when every answer was right; prints what went wrong and exits 1 otherwise.

Workers register, look up and remove their own classes on one shared manager and on a manager of
their own.  Each checks every answer against its own model of what it did: the pure-Python class,
driven by that worker alone, with the same calls.  No other thread's calls can change an answer at
a worker's places, so any difference is a fault: a registration lost, a removed one resurrected,
a wrong or foreign class, a wrong error.

disjoint   each worker has a subtree of its own under the root (operating system "w<N>").
contended  round after round, all workers at once create the same new nodes: they meet at a
           barrier, then each registers under the round's new operating system "r<R>"/"p" at a
           model of its own, and under "linux"/"r<R>" at a chassis type of its own.

Calls come in every shape: some arguments positional, the rest by keyword in any order, defaults
given or left out.  Workers now and then replace their own manager's tree, operating-system list
or chassis list (and their model's alike), and look up on the other workers' own managers, where
any class found must be that worker's.  Beside them, one thread draws the managers (KeyError is
allowed there: a key can go between listing a node and reading it, as in the Python class), and
one switches overrides on a subclass and on the shared instance and swaps a method's code on the
class, checking that each switch is honoured by its own next call.  After the threads end, the shared tree must be exactly the union
of the workers' models, and each worker's own tree exactly its model's.

The pure-Python class passes the disjoint layout.  In the contended one it can lose a
registration: two threads that both find a node missing both create it, and the later one's
node replaces the earlier one's, with what that one had registered below it.  The compiled class
publishes a new branch with one insert-if-absent, and must lose nothing."""
import copy
import faulthandler
import importlib.util
import os
import random
import sys
import sysconfig
import threading
import traceback
import warnings

IMPL, LAYOUT = sys.argv[1], sys.argv[2]
SEED = int(sys.argv[3]) if len(sys.argv) > 3 else 0
WORKERS = 6           # with a drawer and a switcher: 8 threads, oversubscribing 2 cores
STEPS = int(sys.argv[4]) if len(sys.argv) > 4 else 16000  # per worker
ROUND = 200           # steps per round of the contended layout
CHASSIS = ["single_rp", "dual_rp", "stack"]
PROBE = "probe-os"    # only the switcher asks for it (and for the model below)
PROBE_MODEL = "probe-model"

faulthandler.enable()
# A hang (a doubly freed block can loop the allocator) shows where every thread stands before
# the test that runs this kills it.
faulthandler.dump_traceback_later(float(os.environ.get("STRESS_HANG_AFTER", "100")), exit=True)


def load_reference():
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "benchmarks", "reference", "pluginmanager.py")
    spec = importlib.util.spec_from_file_location("reference_pluginmanager", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    if IMPL == "native":
        from mirvak.core.pluginmanager import PluginManager as Base
    else:
        Base = load_reference().PluginManager
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing the registry turned the GIL on"
    assert not [w for w in caught if issubclass(w.category, RuntimeWarning)], \
        [str(w.message) for w in caught]

from mirvak.core.errors import ConnectionInfraError  # noqa: E402
from mirvak.plugins import supported_chassis, supported_os  # noqa: E402

Model = load_reference().PluginManager


class Sub(Base):
    pass


class Probe(Exception):
    pass


class Failed(Exception):
    pass


def outcome(call, args, kwargs):
    """What a call gave: ("value", result) or ("error", text of its ConnectionInfraError)."""
    try:
        return ("value", call(*args, **kwargs))
    except ConnectionInfraError as error:
        return ("error", str(error))


# Parameters and defaults of the methods called, for calls of every shape.
IDENTIFIERS = ["os", "platform", "model", "os_flavor", "chassis_type"]
SIGNATURES = {
    "get_plugin": (IDENTIFIERS, {"chassis_type": "single_rp"}),
    "unregister_plugin": (IDENTIFIERS, {"chassis_type": None}),
    "register_plugin": (["cls"] + IDENTIFIERS, {"chassis_type": "single_rp"}),
    "validate_arguments": (["os", "platform", "model", "chassis_type"], None),
}


def shaped(rng, name, values):
    """The arguments of a call of `name` with these values, in a shape of rng's choosing: some
    positional, the rest by keyword in any order, defaults sometimes left out."""
    names, defaults = SIGNATURES[name]
    values = {key: values.get(key, (defaults or {}).get(key)) for key in names}
    cut = rng.randrange(len(names) + 1)
    args = [values[key] for key in names[:cut]]
    keywords = [key for key in names[cut:]
                if defaults is None or values[key] != defaults.get(key) or rng.random() < 0.5]
    rng.shuffle(keywords)
    return args, {key: values[key] for key in keywords}


def verdict(got, want, mine):
    """How an answer differs from the model's (None when it does not); `mine` holds the classes
    of the worker that asked."""
    if got == want:
        return None
    if want[0] == "value" and got[0] == "error":
        return "lost"
    if got[0] == "value" and got[1] in mine:
        return "resurrected" if want[0] == "error" else "stale"
    if got[0] == "value" and any(got[1] in theirs for theirs in CLASSES):
        return "foreign"
    return "wrong"


# Each worker's classes: no other thread registers them, so seeing one at another's place, or
# after it was removed, is a fault of the registry.
CLASSES = [[type("W%dC%d" % (w, k), (), {}) for k in range(6)] for w in range(WORKERS)]
COUNTS = {"drawings": 0, "switches": 0}


class Worker:
    def __init__(self, index, shared, barrier):
        self.index = index
        self.random = random.Random(SEED * 1000 + index)
        self.managers = {"shared": (shared, Model()), "own": (Sub(), Model())}
        self.barrier = barrier
        self.faults = []

    # -- the places this worker owns ---------------------------------------------------------
    def places(self, round_):
        """Keyword sets of the places of a round (every round, in the disjoint layout), the
        last item telling whether the node is this worker's alone."""
        w = self.index
        if LAYOUT == "disjoint":
            for platform, model in [(None, None), ("p0", None), ("p0", "m0"), ("p0", "m1"),
                                    ("p1", None), ("p1", "m0"), ("p9", "m9")]:
                for flavor in (None, "f"):
                    for chassis in CHASSIS:
                        yield dict(os="w%d" % w, platform=platform, model=model,
                                   os_flavor=flavor, chassis_type=chassis), True
        else:
            for chassis in CHASSIS:
                yield dict(os="r%d" % round_, platform="p", model="m%d" % w,
                           chassis_type=chassis), True
            yield dict(os="linux", platform="r%d" % round_, chassis_type="c%d" % w), False

    # -- one checked call --------------------------------------------------------------------
    def check(self, which, step, name, kwargs, exact):
        manager, model = self.managers[which]
        args, keywords = shaped(self.random, name, kwargs)
        got = outcome(getattr(manager, name), args, keywords)
        want = outcome(getattr(model, name), args, keywords)
        if not exact:  # the text of a failed removal depends on nodes other threads made
            got, want = (got[0], got[1] if got[0] == "value" else ""), \
                        (want[0], want[1] if want[0] == "value" else "")
        fault = verdict(got, want, CLASSES[self.index])
        if fault:
            self.faults.append("%s: worker %d, %s manager, step %d: %s(%s) gave %r, its model %r"
                               % (fault, self.index, which, step, name, kwargs, got, want))
            if len(self.faults) >= 5:
                raise Failed()

    def register(self, which, step, place):
        cls = self.random.choice(CLASSES[self.index])
        manager, model = self.managers[which]
        args, keywords = shaped(self.random, "register_plugin", dict(place, cls=cls))
        got = outcome(manager.register_plugin, args, keywords)
        want = outcome(model.register_plugin, args, keywords)
        if got[0] != want[0]:
            self.faults.append("wrong: worker %d, %s manager, step %d: register_plugin(*%s, **%s)"
                               " gave %r, its model %r"
                               % (self.index, which, step, args, keywords, got, want))

    def unregister(self, which, step, place, alone):
        kwargs = dict(place)
        if alone and self.random.random() < 0.3:
            kwargs["chassis_type"] = None  # every chassis type of the node
        self.check(which, step, "unregister_plugin", kwargs, exact=False)

    def replace_own(self):
        """Replaces what the own manager reads, on the model alike."""
        manager, model = self.managers["own"]
        what = self.random.randrange(4)
        if what == 0:
            manager._plugins, model._plugins = {}, {}
        elif what == 1:
            manager._plugins = copy.deepcopy(manager._plugins)
            model._plugins = copy.deepcopy(model._plugins)
        elif what == 2:
            chosen = self.random.choice([supported_os, list(supported_os) + ["w%d" % self.index],
                                         tuple(supported_os)])
            manager.supported_os, model.supported_os = chosen, chosen
        else:
            chosen = self.random.choice([supported_chassis, ["single_rp", "dual_rp"],
                                         tuple(CHASSIS)])
            manager.chassis_type_list, model.chassis_type_list = chosen, chosen

    def peek(self, step, other, round_):
        """A lookup on another worker's own manager, which that worker changes and replaces
        meanwhile: the answer can only be one of that worker's classes, or not found."""
        manager = other.managers["own"][0]
        place, _ = self.random.choice(list(other.places(round_)))
        try:
            got = outcome(manager.get_plugin, *shaped(self.random, "get_plugin", place))
        except KeyError:
            return  # a record removed between its test and its reading, as in the Python class
        if got[0] == "value" and got[1] not in CLASSES[other.index]:
            self.faults.append("foreign: worker %d, step %d: get_plugin(%s) on worker %d's own "
                               "manager gave %r" % (self.index, step, place, other.index, got))

    def sweep(self, step, first, last):
        for which in self.managers:
            for round_ in range(first, last + 1):
                for place, _ in self.places(round_):
                    self.check(which, step, "get_plugin", place, exact=True)

    # -- the run -----------------------------------------------------------------------------
    def run(self):
        round_ = 0
        self.barrier.wait(timeout=60)  # the first calls of all workers at once
        for step in range(STEPS):
            if LAYOUT == "contended" and step % ROUND == 0:
                round_ = step // ROUND
                self.barrier.wait(timeout=60)
                # All at once, every worker creates the round's new nodes.
                for place, _ in self.places(round_):
                    self.register("shared", step, place)
            which = "shared" if self.random.random() < 0.65 else "own"
            place, alone = self.random.choice(list(self.places(round_)))
            choice = self.random.random()
            if choice < 0.1:
                self.peek(step, self.random.choice(self.others), round_)
            elif choice < 0.2:
                # A platform no one registers: the lookup skips it (and falls back, or not).
                self.check(which, step, "get_plugin", dict(place, platform="q"), exact=True)
            elif choice < 0.5:
                self.check(which, step, "get_plugin", place, exact=True)
            elif choice < 0.55:
                self.check(which, step, "validate_arguments", place, exact=True)
            elif choice < 0.75:
                self.register(which, step, place)
            elif choice < 0.95 or which == "shared":
                self.unregister(which, step, place, alone)
            else:
                self.replace_own()
            if step % 400 == 399:
                self.sweep(step, max(0, round_ - 1), round_)
        self.sweep(STEPS, 0, round_)


# What drawing may raise while other threads change the tree: a key listed, then gone.  The
# Python class can also find a node empty after testing that it was not, and index its empty
# list of keys; the compiled class reads each node once.
DRAWING_RACES = (KeyError,) if IMPL == "native" else (KeyError, IndexError)


def drawer(managers, done):
    while not done.is_set():
        manager = random.choice(managers[:1] * len(managers) + managers)  # the shared one often
        try:
            text = repr(manager) if random.random() < 0.5 else manager.print_tree(manager.plugins)
        except DRAWING_RACES:
            continue
        if not isinstance(text, str):
            raise Failed("drawing gave %r" % (text,))
        COUNTS["drawings"] += 1


def probing_validate_model(self, os, platform, model):
    """The code swapped into the class's validate_model: it runs with that function's globals,
    so it reaches this module through sys."""
    main = __import__("sys").modules["__main__"]
    if model == main.PROBE_MODEL:
        raise main.Probe("code")
    return main.Model.validate_model(self, os, platform, model)


def switcher(shared, done):
    """Overrides on the subclass and on the shared instance, and a method's code swapped on the
    class itself, each answering the probe alone (every other call goes on as the class's own
    method would)."""
    def validate_arguments(self, os, platform, model, chassis_type):
        if os == PROBE:
            raise Probe("class")
        return Base.validate_arguments(self, os, platform, model, chassis_type)

    def validate_os(os):
        if os == PROBE:
            raise Probe("instance")
        return Base.validate_os(shared, os)

    faults = []

    def expect(which, model=None):
        try:
            shared.get_plugin(os=PROBE, platform=model and "p", model=model)
        except Probe as probe:
            got = str(probe)
        except ConnectionInfraError:
            got = None
        if got != which:
            faults.append("an override switch was not honoured: the probe answered %r, not %r"
                          % (got, which))
            if len(faults) >= 5:
                raise Failed("\n".join(faults))

    while not done.is_set():
        Sub.validate_arguments = validate_arguments
        expect("class")
        shared.validate_os = validate_os
        expect("class")   # the class's override validates first
        del Sub.validate_arguments
        expect("instance")
        del shared.validate_os
        expect(None)
        original, Base.validate_model.__code__ = \
            Base.validate_model.__code__, probing_validate_model.__code__
        expect("code", PROBE_MODEL)
        Base.validate_model.__code__ = original
        expect(None, PROBE_MODEL)
        COUNTS["switches"] += 1
    if faults:
        raise Failed("\n".join(faults))


def merged(trees):
    """The union of trees whose leaves never collide."""
    union = {}
    for tree in trees:
        stack = [(union, tree)]
        while stack:
            into, source = stack.pop()
            for key, value in source.items():
                if isinstance(value, dict) and isinstance(into.get(key), dict):
                    stack.append((into[key], value))
                else:
                    into[key] = copy.deepcopy(value)
    return union


def main():
    shared = Sub()
    barrier = threading.Barrier(WORKERS)
    workers = [Worker(w, shared, barrier) for w in range(WORKERS)]
    for worker in workers:
        worker.others = [other for other in workers if other is not worker]
    done, failing = threading.Event(), threading.Event()
    errors = []

    def guarded(name, body, *args):
        try:
            body(*args)
        except threading.BrokenBarrierError:
            if not failing.is_set():  # else the failing thread says why
                errors.append("%s: no one failed, yet a barrier broke (waited too long)" % name)
        except Failed as failed:
            if failed.args:
                errors.append("%s: %s" % (name, failed.args[0]))
            failing.set()
            barrier.abort()
        except BaseException:
            errors.append("%s raised:\n%s" % (name, traceback.format_exc()))
            failing.set()
            barrier.abort()

    managers = [shared] + [w.managers["own"][0] for w in workers]
    threads = [threading.Thread(target=guarded, args=("worker %d" % w.index, w.run))
               for w in workers]
    helpers = [threading.Thread(target=guarded, args=("drawer", drawer, managers, done)),
               threading.Thread(target=guarded, args=("switcher", switcher, shared, done))]
    for thread in threads + helpers:
        thread.start()
    for thread in threads:
        thread.join()
    done.set()
    for thread in helpers:
        thread.join()

    faults = [fault for w in workers for fault in w.faults]
    if not errors and not faults:
        # What is left: the shared tree is every worker's share and nothing else.
        if shared.plugins != merged(w.managers["shared"][1].plugins for w in workers):
            errors.append("the shared tree is not the union of the workers' models")
        for w in workers:
            manager, model = w.managers["own"]
            if manager.plugins != model.plugins:
                errors.append("worker %d: its own tree differs from its model" % w.index)
    for line in faults + errors:
        print(line)
    print("%s, %s layout: %d workers x %d steps, %d drawings, %d override switches"
          % (IMPL, LAYOUT, WORKERS, STEPS, COUNTS["drawings"], COUNTS["switches"]))
    sys.exit(1 if faults or errors else 0)


if __name__ == "__main__":
    main()
