"""How deep a cycle of registry methods or a drawing goes: as deep as the same class written in
Python, by sys.setrecursionlimit, and never deeper than the C stack allows."""
import json
import sys
import sysconfig

import pytest

from conftest import run_python
from helpers import REPO
from mirvak.health import _walk

SCRIPT = """
import json, sys
sys.setrecursionlimit({limit})
{load}
PluginManager = module.PluginManager

def outcome(action):
    try:
        action()
        return "returned"
    except RecursionError:
        return "RecursionError"

levels = 0
class Deep(PluginManager):
    def validate_os(self, os):
        global levels
        levels += 1
        return self.get_plugin(os)          # re-enters the registry

def swap():
    m = PluginManager()
    m.validate_arguments = m.get_plugin     # a cycle without a Python method of its own
    m.get_plugin("linux")

def draw(depth):
    tree = node = {{}}
    for _ in range(depth):
        node["k"] = node = {{}}
    node["k"] = "leaf"
    return PluginManager().print_tree(tree)

looped = {{}}
looped["self"] = looped
result = {{"cycle": outcome(lambda: Deep().get_plugin("linux")), "levels": levels,
          "looped": outcome(lambda: PluginManager().print_tree(looped))}}
if {swap}:
    result["swap"] = outcome(swap)
for depth in {depths}:
    result["draw %d" % depth] = outcome(lambda: draw(depth))
if {deepest_from} is not None:
    result["deepest drawing"] = None
    for depth in range({deepest_from}, {limit} + 5):
        if outcome(lambda: draw(depth)) == "RecursionError":
            break
        result["deepest drawing"] = depth
print(json.dumps(result))
"""


NATIVE = "import mirvak.core.pluginmanager as module"
PYTHON = f"""import importlib.util
spec = importlib.util.spec_from_file_location("reference", {REPO!r} + "/benchmarks/reference/pluginmanager.py")
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)"""


def measure(load, limit, depths=(), deepest_from=None):
    # The swap cycle runs for the native class only: CPython 3.13.0's own Python class never
    # reaches its recursion limit on that route (its memory grows until it is stopped).
    code = SCRIPT.format(load=load, limit=limit, depths=list(depths), swap=load == NATIVE,
                         deepest_from=deepest_from)
    return json.loads(run_python(code).stdout)


# Where the compiled class's cycle stops against the Python class's, as docs/internals.md states
# it per CPython and build: levels fewer, and a cap where the interpreter's own budget for calls
# into it from C runs out first (each level calls the override from C; the Python class calls it
# from Python, which costs no such budget).
FEWER = {((3, 11), True): 2, ((3, 11), False): 2}
CAPS = {((3, 12), True): 749, ((3, 12), False): 374, ((3, 13), False): 2499}
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    CAPS = {((3, 13), False): 2499}


def build():
    return sys.version_info[:2], _walk.companion().fast_paths


def counts_c_calls():
    """The public build before 3.11, where the interpreter also counts the C calls into the
    methods' Python frames: four counted calls a level of the cycle, two a level of a drawing."""
    return sys.version_info < (3, 11) and not build()[1]


def counts_apart():
    """The public build from 3.12, where a level run without a Python frame counts against the
    interpreter's budget for calls from C, not the limit: one counted call a level of the cycle
    (the override's), none a level of a drawing."""
    return sys.version_info >= (3, 12) and not build()[1]


def expected_levels(limit, python_levels):
    if counts_c_calls():
        return (limit - 4) // 4
    if counts_apart():
        python_levels = limit - 3
    levels = python_levels - FEWER.get(build(), 0)
    return min(levels, CAPS.get(build(), levels))


@pytest.mark.parametrize("limit", [400, 1600])
def test_depth_follows_the_recursion_limit(limit):
    depths = (50, limit + 100)  # a chain within the limit is cheap to draw only when short
    # The deepest chain drawn, looked for at the lower limit only: the Python class draws a chain
    # in time quadratic in its depth.
    start = None if limit > 400 else limit // 2 - 20 if counts_c_calls() else limit - 20
    native = measure(NATIVE, limit, depths, start)
    python = measure(PYTHON, limit, depths, start and limit - 20)
    assert native.pop("levels") == expected_levels(limit, python.pop("levels"))
    if start:
        deepest = python.pop("deepest drawing")
        assert native.pop("deepest drawing") == (
            deepest - 1 if counts_c_calls() else limit + 4 if counts_apart() else deepest)
    assert native.pop("swap") == "RecursionError"
    if counts_apart():  # drawn deeper than the limit, unless 3.12's budget of 1,500 ends it
        deep = "RecursionError" if build() == ((3, 12), False) and depths[1] > 1500 else "returned"
        assert native.pop("draw %d" % depths[1]) == deep
        python.pop("draw %d" % depths[1])
    assert native == python
    assert native["cycle"] == native.get("draw %d" % depths[1], "RecursionError") == "RecursionError"
    assert native["draw %d" % depths[0]] == "returned"


@pytest.mark.skipif(sys.version_info < (3, 11), reason="Python calls use the C stack before 3.11")
def test_a_raised_limit_ends_in_recursion_error_not_a_crash():
    native = measure(NATIVE, 1_000_000)
    assert native["cycle"] == native["swap"] == native["looped"] == "RecursionError"
    # Deeper than the default limit allows (about 330 levels), where the C stack ends it, unless
    # the interpreter's budget of calls from C does first.
    assert native["levels"] == CAPS[build()] if build() in CAPS else native["levels"] > 500

STACK_SCRIPT = """
import ctypes, resource, sys
import mirvak.core.pluginmanager as module

sys.setrecursionlimit(1_000_000)
module.PluginManager().print_tree({"a": {"b": 1}})  # the C stack's bounds are known from here
hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
change = %r
if change != "unlimited":
    resource.setrlimit(resource.RLIMIT_STACK, (change, hard))
else:
    # Unlimited, with a mapping not far below the stack: the kernel keeps its guard gap free.
    if hard != resource.RLIM_INFINITY:
        sys.exit("skip: the hard stack limit is not unlimited")
    resource.setrlimit(resource.RLIMIT_STACK, (hard, hard))
    low = next(int(line.split("-")[0], 16) for line in open("/proc/self/maps")
               if line.rstrip().endswith("[stack]"))
    mmap = ctypes.CDLL(None).mmap
    mmap.restype = ctypes.c_void_p
    mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t] + [ctypes.c_int] * 3 + [ctypes.c_long]
    wanted = low - (4 << 20)
    if mmap(wanted, 4096, 0, 0x22 | 0x100000, -1, 0) != wanted:  # MAP_FIXED_NOREPLACE
        sys.exit("skip: no mapping at the place asked for")
m = module.PluginManager()
m.validate_arguments = m.get_plugin
try:
    m.get_plugin("linux")
except RecursionError:
    print("RecursionError")
"""


# Lowered to 2 MiB, lowered below the depth in use, unlimited.
@pytest.mark.parametrize("change", [2 << 20, 8 << 10, "unlimited"])
def test_stack_limit_changed_at_run_time_ends_in_recursion_error(change):
    result = run_python(STACK_SCRIPT % change, check=False)
    if result.stderr.startswith("skip:"):
        pytest.skip(result.stderr.strip())
    assert (result.returncode, result.stdout) == (0, "RecursionError\n"), result.stderr
