"""Nothing the registry reads outlives Python code run in the middle of an operation: an instance
dictionary read before a property getter ran, an "our own function" verdict taken before the
call's arguments were evaluated, the length of a list that a comparison shrinks, a name looked up
more than once.  Each case runs in a fresh interpreter per implementation (a stale reading may
crash it) and its outcome is compared with the pure-Python reference's."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
RUNNER = os.path.join(HERE, "readings_runner.py")


def python(*args, timeout=300):
    # The environment is passed on whole: the sanitizer check preloads its runtimes through it.
    # One hash seed: with some seeds 3.13 itself looks an instance attribute up twice when a
    # key of the instance dictionary is a str subclass, and the reference's outcome changes.
    return subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"), cwd=HERE, timeout=timeout)


def crash(process):
    return {"crash": process.returncode, "stderr": process.stderr[-2000:]}


# -- the reproducers ---------------------------------------------------------------------------

PRELUDE = """\
import gc, json, sys
if sys.argv[1] == "native":
    from mirvak.core.pluginmanager import PluginManager as PM
else:
    from helpers import load_reference
    PM = load_reference().PluginManager
from helpers import A, B, load_reference
# A second, unused copy of the class: its code has not run yet, so the interpreter's specializer
# adds no lookups of its own (3.12+ specializes at an instruction's second run).
UNUSED = load_reference().PluginManager if sys.argv[1] == "reference" else PM
calls = []
def outcome(run):
    try:
        result = run()
        result = result.__name__ if isinstance(result, type) else result
        print(json.dumps({"result": result, "calls": calls}))
    except Exception as error:
        print(json.dumps({"error": [type(error).__name__, str(error)], "calls": calls}))
"""

# A property's getter sets an instance override and frees the list the operation read.
PROPERTY = """\
class Sub(PM): pass
m = Sub()
m.chassis_type_list = ["single_rp", "dual_rp", "stack"]
m.register_plugin(A, "freebsd")
def supported_os(self):
    self.validate_chassis_type = lambda chassis_type: calls.append("override")
    FREE
    self._plugins = {"freebsd": {"data": {"single_rp": {"cls": B, "path": "x"}}}}
    return ["freebsd"]
Sub.supported_os = property(supported_os)
outcome(lambda: m.get_plugin("freebsd"))
"""

# A comparison of the drawing's keys shrinks the list of sorted keys being walked.
SHRINK = """\
class Shrink(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        for ref in gc.get_referrers(self):
            if type(ref) is list and self in ref:
                SHRINK
        return str.__eq__(self, other)
outcome(lambda: PM().print_tree({Shrink("k1"): "a", "k2": "b", "k3": "c"}))
"""

# Python code run while the call's arguments are evaluated replaces print_tree's code.
REPLACED = """\
def replaced(self, data, output="plugin"):
    return "replaced " + str(output)
armed = []
def replace():
    if armed:
        calls.append("replace")
        PM.print_tree.__code__ = replaced.__code__
"""
REPR_REPLACED = REPLACED + """\
class Sub(PM):
    @property
    def _plugins(self):
        replace()
        return {"linux": {"data": 1}}
    @_plugins.setter
    def _plugins(self, value):
        pass
m = Sub()
armed.append(1)
outcome(lambda: repr(m).split(" at ")[0])
"""
DRAWING_REPLACED = REPLACED + """\
class Key(str):
    def __hash__(self):
        replace()
        return str.__hash__(self)
tree = {Key("k1"): {"k2": 1}, "k3": 2}
armed.append(1)
outcome(lambda: PM().print_tree(tree))
"""

# A key of the instance dictionary whose == answers right, then wrong, then right ...
FLIP = """\
class FlipKey(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        n = self.__dict__.get("n", 0); self.n = n + 1
        calls.append(n)
        r = str.__eq__(self, other)
        return r if n % 2 == 0 else not r
m = PM()
m.__dict__[FlipKey("supported_os")] = m.__dict__.pop("supported_os")
outcome(lambda: m.validate_os(None))
outcome(lambda: UNUSED.validate_os(m, "illumos"))
"""
NEVER = """\
class Never(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        calls.append("eq")
        return False
m = PM()
m.__dict__[Never("supported_os")] = m.__dict__.pop("supported_os")
outcome(lambda: m.validate_os("illumos"))
"""

# Reading the entry points' distributions hands discovery strs; the code that reads them walks
# back from every str handed out so far and grows each list found on the way.
DISCOVERY = """\
handed = []
def hand(text):
    text = "".join(text)  # a new object each time
    handed.append(text)
    return text
def meddle():
    found = gc.get_referrers(*handed)
    holders = gc.get_referrers(*found)
    for holder in [h for h in found + holders if type(h) is list]:
        if not any(holder is mine for mine in (handed, calls, found, holders)):
            holder.append(("", "", "", 1 << 40, True))
class Dist:
    def __init__(self, text):
        self.text = text
    @property
    def name(self):
        meddle()
        return hand(self.text)
    _normalized_name = name
class Point:
    def __init__(self, text):
        self.name, self.value, self.module = hand(text), hand(text), "m"
        self.dist = Dist(text)
    def load(self):
        calls.append(self.name)
glob = getattr(sys.modules.get(PM.__module__), "__dict__", None)
glob = glob or PM.discover_external_plugins.__globals__
glob["entry_points"] = lambda **kwargs: [Point(text) for text in ("a", "b", "c")]
outcome(PM.discover_external_plugins)
"""

REPRODUCERS = {
    "property getter frees the list read": PROPERTY.replace(
        "FREE", 'self.chassis_type_list = ["single_rp"]'),
    "property getter sets an override": PROPERTY.replace("FREE", "pass"),
    "comparison clears the walked keys": SHRINK.replace("SHRINK", "ref.clear()"),
    "comparison shrinks the walked keys": SHRINK.replace("SHRINK", "del ref[1:]"),
    "comparison grows the walked keys": SHRINK.replace(
        "SHRINK", 'ref.append("k2") if len(ref) == 3 else None'),
    "repr's tree read replaces print_tree": REPR_REPLACED,
    "a child's key replaces print_tree": DRAWING_REPLACED,
    "instance key answers by turns": FLIP,
    "instance key never equal": NEVER,
    "distribution names reach discovery's keys": DISCOVERY,
}


def reproduce(implementation, code):
    process = python("-c", PRELUDE + textwrap.dedent(code), implementation, timeout=120)
    if process.returncode != 0:
        return crash(process)
    return [json.loads(line) for line in process.stdout.splitlines()]


@pytest.mark.parametrize("code", list(REPRODUCERS.values()), ids=list(REPRODUCERS))
def test_reproducer_ends_as_in_python(code):
    assert reproduce("native", code) == reproduce("reference", code)


# -- the tripwire ------------------------------------------------------------------------------

# Where the reference runs user code (readings_runner.POINTS): an identifier's and a tree key's
# __eq__, __hash__, __str__, __lt__ (and islower/isdigit), a key of the instance dictionary,
# properties on a subclass (all three attributes, or supported_os alone), __getattribute__, __getattr__, the log handler, overrides on a
# subclass and on the instance, a __del__ of a record the operation drops, a collection.
POINTS = ["id.eq", "id.hash", "id.str", "id.case", "key.eq", "key.hash", "key.str", "key.lt",
          "dict_key.eq", "property", "property.os", "getattribute", "getattr", "log", "override_sub",
          "override_inst", "del", "gc"]


def tripwire(implementation, point, cases=()):
    """{case: outcome} of the runner; a case that kills the interpreter is noted and the run
    goes on with the next one."""
    outcomes, pending = {}, [json.dumps(case) for case in cases]
    while True:
        process = python(RUNNER, implementation, point, *pending)
        lines = [json.loads(line) for line in process.stdout.splitlines()]
        ran = [line for line in lines if "case" in line]
        outcomes.update((json.dumps(line.pop("case")), line) for line in ran)
        if process.returncode == 0:
            return outcomes
        if not pending or len(ran) >= len(pending):
            raise AssertionError(f"{implementation} {point}: {crash(process)}")
        outcomes[pending[len(ran)]] = crash(process)
        pending = pending[len(ran) + 1:]
        if not pending:
            return outcomes


def difference(expected, actual):
    fields = sorted(field for field in set(expected) | set(actual)
                    if expected.get(field) != actual.get(field))
    return {field: {"reference": expected.get(field), "native": actual.get(field)}
            for field in fields}


@pytest.mark.parametrize("point", POINTS)
def test_tripwire(point):
    expected = tripwire("reference", point)
    actual = tripwire("native", point, [json.loads(case) for case in expected])
    # the instance dictionary's keys are only compared on the journal (see the runner)
    assert point == "dict_key.eq" or any(outcome["fired"] for outcome in expected.values())
    differing = {case: difference(expected[case], actual.get(case, {})) for case in expected
                 if actual.get(case) != expected[case]}
    report = "\n".join(f"{case}: {json.dumps(diff)[:600]}"
                       for case, diff in list(differing.items())[:15])
    assert not differing, f"{len(differing)} of {len(expected)} cases differ:\n{report}"
