"""Runs tripwire cases against one implementation of the registry and prints one JSON line per
case: python readings_runner.py native|reference POINT [CASE ...]; no CASE: a dry run of every
operation first, then every case the dry run calls for.

A case is (point, operation, change, n): the operation runs with user code at the point (an
identifier's or a tree key's __eq__, a property getter, a log handler, ...); the n-th time that
code runs, it makes the change once (frees what the operation read so far, replaces code and
lists), then the operation goes on.  Each line holds the result or exception, the journal of
every hit and every call of code the change installed, the debug records and the tree after."""
import gc
import importlib.util
import json
import logging
import os
import sys

if sys.argv[1] == "native":
    from mirvak.core.pluginmanager import PluginManager as PM
else:
    # as helpers.load_reference does, without importing pytest into every run
    _path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                         "benchmarks", "reference", "pluginmanager.py")
    _spec = importlib.util.spec_from_file_location("reference_pluginmanager", _path)
    _module = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(_module)
    PM = _module.PluginManager

VALIDATORS = {"validate_model": "os, platform, model", "validate_platform": "os, platform",
              "validate_os": "os", "validate_chassis_type": "chassis_type",
              "validate_arguments": "os, platform, model, chassis_type"}
METHODS = dict(VALIDATORS, print_tree="data, output='plugin'")
ORIGINAL = {name: getattr(PM, name) for name in METHODS}


class Trip:
    """Counts the hits of the case's point; the n-th one makes the change."""

    def __init__(self):
        self.reset(None, 0, None)

    def reset(self, point, n, change):
        self.point, self.n, self.change = point, n, change
        self.count, self.fired, self.armed, self.journal = 0, False, False, []

    def hit(self, point, *detail):
        if not self.armed:
            return
        entry = (point, *map(text_of, detail))
        if point == "dict_key.eq" and self.journal and self.journal[-1] == entry:
            # The interpreter's specializer looks an attribute up once more, right before
            # the lookup itself, when it rewrites the instruction (3.11+): one lookup.
            return
        self.journal.append(entry)
        if point != self.point:
            return
        self.count += 1
        if self.count == self.n and not self.fired:
            self.fired, self.armed = True, False
            try:
                self.change()
            finally:
                self.armed = True

    def call(self, name):
        if self.armed:
            self.journal.append(("call", name))


TRIP = Trip()
RECORD = TRIP.call  # reached by replaced code objects through sys.modules["__main__"]


def text_of(value):
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, type):
        return value.__name__
    return type(value).__name__


class Key(str):
    """A text whose __eq__, __hash__, __str__, __lt__, islower and isdigit hit `point`."""

    def __new__(cls, text, point):
        key = super().__new__(cls, text)
        key.point = point
        return key

    def __eq__(self, other):
        TRIP.hit(self.point + ".eq", self, other)
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        TRIP.hit(self.point + ".hash", self)
        return str.__hash__(self)

    def __str__(self):
        TRIP.hit(self.point + ".str", self)
        return str.__str__(self)

    def __lt__(self, other):
        TRIP.hit(self.point + ".lt", self, other)
        return str.__lt__(self, other)

    def islower(self):
        TRIP.hit(self.point + ".case", self)
        return str.islower(self)

    def isdigit(self):
        TRIP.hit(self.point + ".case", self)
        return str.isdigit(self)


class Odd:
    """A tree key that is not text: drawn through str(), sorted by text among strs."""

    def __init__(self, number):
        self.number = number

    def __eq__(self, other):
        TRIP.hit("key.eq", "odd", other)
        return isinstance(other, Odd) and other.number == self.number

    def __hash__(self):
        TRIP.hit("key.hash", "odd")
        return hash(self.number)

    def __str__(self):
        TRIP.hit("key.str", "odd")
        return "odd%d" % self.number

    def __repr__(self):
        return "Odd(%d)" % self.number

    def __lt__(self, other):
        TRIP.hit("key.lt", "odd", other)
        return NotImplemented

    __gt__ = __lt__


class Collide(str):
    """A key of the instance dictionary with the hash of a name read there, never equal."""

    def __new__(cls, name):
        key = super().__new__(cls, "~" + name)
        key.name = name
        return key

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        TRIP.hit("dict_key.eq", self, other)
        return str.__eq__(self, other)


class Guard:
    """A value whose end is a hit."""

    def __init__(self, label):
        self.label = label

    def __del__(self):
        TRIP.hit("del", self.label)

    def __repr__(self):
        return "guard"


class Handler(logging.Handler):
    def emit(self, record):
        LOG.append(record.getMessage())
        TRIP.hit("log", record.getMessage())


LOG = []
logging.getLogger("mirvak").setLevel(logging.DEBUG)
logging.getLogger("mirvak").addHandler(Handler())


class A:
    pass


class B:
    pass


class C:
    pass


class D:
    pass


class E:
    pass


def fresh(text):
    """A str object of its own (never interned), so that only the drawing's lists hold it."""
    return text[:1] + text[1:]


def record(cls, guard=None):
    made = {"cls": cls, "path": "/" + cls.__name__.lower()}
    if guard:
        made["guard"] = Guard(guard)
    return made


def registry_tree(k, classes=(A, B, C), guards=False):
    a, b, c = classes
    return {
        k("linux"): {k("data"): {k("single_rp"): record(a)},
                     k("p1"): {k("data"): {k("single_rp"): record(b)},
                               k("m1"): {k("data"): {k("single_rp"): record(c)}}}},
        k("freebsd"): {k("data"): {k("single_rp"): record(a),
                                   k("dual_rp"): record(b, guards and "dual_rp")},
                       k("p1"): {k("data"): {k("single_rp"): record(c, guards and "p1")}}},
    }


def drawing_tree(k, classes=(A, B, C)):
    tree = registry_tree(k, classes)
    tree[k("mixed")] = {Odd(1): "one", k("two"): {k("deep"): "2"}}
    tree[k("zz")] = "leaf"
    return tree


def nodes(tree, found=None):
    found = [] if found is None else found
    if isinstance(tree, dict):
        found.append(tree)
        for value in list(tree.values()):
            nodes(value, found)
    return found


DECOYS = []


def reuse_freed_memory():
    DECOYS[:] = [({"data": {"single_rp": {"cls": "decoy", "path": "decoy"}}, "p1": {}},
                  ["decoy", "single_rp", "freebsd"]) for _ in range(50)]


# -- where user code runs --------------------------------------------------------------------

def subclass(namespace):
    return type("Sub", (PM,), namespace)


def property_class(names=("_plugins", "supported_os", "chassis_type_list")):
    def make(name):
        backing = "_b" + name

        def get(self):
            TRIP.hit("property", name)
            try:
                return self.__dict__[backing]
            except KeyError:
                raise AttributeError(name) from None

        def put(self, value):
            self.__dict__[backing] = value

        return property(get, put)

    return subclass({name: make(name) for name in names})


def getattribute_class():
    def __getattribute__(self, name):
        TRIP.hit("getattribute", name)
        return object.__getattribute__(self, name)

    return subclass({"__getattribute__": __getattribute__})


def getattr_class():
    def __getattr__(self, name):
        TRIP.hit("getattr", name)
        side = object.__getattribute__(self, "__dict__").get("~side", {})
        if name in side:
            return side[name]
        raise AttributeError(name)

    return subclass({"__getattr__": __getattr__})


def overriding(name, target=None):
    """A function of method `name`'s parameters that hits, then calls PM's method."""
    params = METHODS[name]
    arguments = ", ".join(p.split("=")[0] for p in params.split(", "))
    head = "self, " if target is None else ""
    self_name = "self" if target is None else "TARGET"
    source = (f"def {name}({head}{params}):\n"
              f"    HIT({name!r})\n"
              f"    return PM.{name}({self_name}, {arguments})\n")
    namespace = {"HIT": lambda n: TRIP.hit("override", n), "PM": PM, "TARGET": target}
    exec(source, namespace)
    return namespace[name]


def recorder(name):
    """What a change installs in place of a method: notes the call; a drawing gives a text."""
    params = METHODS[name]
    result = "'replaced ' + str(output)" if name == "print_tree" else "None"
    source = (f"def {name}(self, {params}):\n"
              f"    __import__('sys').modules['__main__'].RECORD({name!r})\n"
              f"    return {result}\n")
    namespace = {}
    exec(source, namespace)
    return namespace[name]


# -- what a change does ----------------------------------------------------------------------

class Case:
    def __init__(self, point, operation):
        self.point, self.operation = point, operation
        ident = point in ("id", "gc")
        keyed = point in ("key", "gc")
        self.ident = (lambda s: Key(s, "gc" if point == "gc" else "id")) if ident else str
        self.k = (lambda s: Key(s, "gc" if point == "gc" else "key")) if keyed else fresh
        cls = {"property": property_class, "getattribute": getattribute_class,
               "property.os": lambda: property_class(("supported_os",)),
               "getattr": getattr_class,
               "override_sub": lambda: subclass({n: overriding(n) for n in METHODS})}.get(point)
        self.m = (cls or (lambda: PM))()()
        m = self.m
        m.supported_os = ["linux", "freebsd"]
        m.chassis_type_list = ["single_rp", "dual_rp", "stack"]
        # repr draws the registry's own tree
        setattr(m, "_plugins", drawing_tree(self.k) if operation == "repr"
                else registry_tree(self.k, guards=point == "del"))
        self.draw = drawing_tree(self.k)
        if point == "override_inst":
            for name in METHODS:
                setattr(m, name, overriding(name, m))
        if point == "getattr":
            side = {name: m.__dict__.pop(name)
                    for name in ("_plugins", "supported_os", "chassis_type_list")}
            m.__dict__["~side"] = side
        if point == "dict_key":
            d = m.__dict__
            for name in ("_plugins", "supported_os", "chassis_type_list"):
                d[Key(name, "dict_key")] = d.pop(name)
            for name in METHODS:
                d[Collide(name)] = None
        self.restore = []

    def tree_now(self):
        try:
            return getattr(self.m, "_plugins")
        except Exception:  # noqa: BLE001 - whatever the change left
            return None

    # the changes: each frees what it replaces, then fills the freed memory
    def instance(self):
        m = self.m
        m.chassis_type_list = ["single_rp"]
        m.supported_os = ["freebsd"]
        old = self.tree_now()
        m._plugins = registry_tree(fresh, (D, E, D))
        self.clear_nodes(old)
        for name in METHODS:
            setattr(m, name, overriding_recorder(name, m))

    def dict_swap(self):
        self.clear_nodes(self.tree_now())
        self.m.__dict__ = {"_plugins": registry_tree(fresh, (D, E, D)),
                           "supported_os": ["freebsd", "plan9"],
                           "chassis_type_list": ["dual_rp"]}

    def dict_clear(self):
        self.m.__dict__.clear()

    def code(self):
        for name in METHODS:
            function = ORIGINAL[name]
            self.restore.append(lambda f=function, c=function.__code__: setattr(f, "__code__", c))
            function.__code__ = recorder(name).__code__

    def klass(self):
        cls = type(self.m)
        for name in METHODS:
            before = cls.__dict__.get(name)
            self.restore.append(lambda n=name, b=before: setattr(cls, n, b) if b is not None
                                else delattr(cls, n))
            setattr(cls, name, recorder(name))

    def tree(self):
        old = self.tree_now()
        self.m._plugins = registry_tree(fresh, (D, E, D))
        self.clear_nodes(old)
        self.clear_nodes(self.draw)
        self.draw.update(drawing_tree(fresh, (E, D, E)))

    def tree_grow(self):
        for node in nodes(self.tree_now()) + nodes(self.draw):
            node[fresh("p1")] = {"data": {"single_rp": record(E), "stack": record(D)}}
            node[fresh("extra")] = "x"

    def walked_lists(self):
        keys = tuple(key for node in nodes(self.draw) + nodes(self.tree_now()) for key in node)
        seen, lists = set(), []
        for key in keys:
            for ref in gc.get_referrers(key):
                if type(ref) is list and id(ref) not in seen and ref is not DECOYS:
                    seen.add(id(ref))
                    lists.append(ref)
        return lists

    def list_shrink(self):
        for walked in self.walked_lists():
            del walked[1:]

    def list_clear(self):
        for walked in self.walked_lists():
            walked.clear()

    def list_grow(self):
        for walked in self.walked_lists():
            if walked:
                walked.append(walked[-1])

    def clear_nodes(self, tree):
        for node in nodes(tree):
            node.clear()

    def run_operation(self):
        i, m = self.ident, self.m
        operation = self.operation
        if operation == "get":
            return m.get_plugin(i("freebsd"), i("p1"), i("m9"), chassis_type=i("single_rp"))
        if operation == "get_dual":
            return m.get_plugin(i("freebsd"), chassis_type=i("dual_rp"))
        if operation == "register":
            return m.register_plugin(D, i("freebsd"), i("p1"), chassis_type=i("single_rp"))
        if operation == "unregister":
            return m.unregister_plugin(i("freebsd"), chassis_type=i("dual_rp"))
        if operation == "validate_arguments":
            return m.validate_arguments(i("illumos"), i("p1"), i("m1"), i("stack"))
        if operation == "validate_os":
            return m.validate_os(i("illumos"))
        if operation == "validate_chassis_type":
            return m.validate_chassis_type(i("stack"))
        if operation == "validate_model":
            return m.validate_model(i("freebsd"), i("p1"), i("M1"))
        if operation == "validate_platform":
            return m.validate_platform(i("freebsd"), i("p1"))
        if operation == "print_tree":
            return m.print_tree(self.draw)
        if operation == "repr":
            return repr(m).replace(hex(id(m)), "<id>")
        raise ValueError(operation)


def overriding_recorder(name, target):
    """An instance attribute that notes the call, then calls PM's method."""
    inner = overriding(name, target)

    def method(*args, **kwargs):
        RECORD("instance " + name)
        return inner(*args, **kwargs)

    return method


CHANGES = {"instance": Case.instance, "dict_swap": Case.dict_swap, "dict_clear": Case.dict_clear,
           "code": Case.code, "class": Case.klass, "tree": Case.tree, "tree_grow": Case.tree_grow,
           "list_shrink": Case.list_shrink, "list_clear": Case.list_clear,
           "list_grow": Case.list_grow}
DRAWING = ("print_tree", "repr")
OPERATIONS = ["get", "get_dual", "register", "unregister", "validate_arguments", "validate_os",
              "validate_chassis_type", "validate_model", "validate_platform"] + list(DRAWING)
# point -> the hits it counts (a Key's point covers all of its methods)
POINTS = {"id.eq": "id", "id.hash": "id", "id.str": "id", "id.case": "id",
          "key.eq": "key", "key.hash": "key", "key.str": "key", "key.lt": "key",
          "dict_key.eq": "dict_key", "property": "property", "property.os": "property.os",
          "getattribute": "getattribute",
          "getattr": "getattr", "log": None, "override_sub": "override_sub",
          "override_inst": "override_inst", "del": "del", "gc": "gc"}


def shape(value, depth=0):
    if depth > 20:
        return "..."
    if isinstance(value, dict):
        return [[text_of(k), shape(v, depth + 1)] for k, v in list(value.items())]
    if isinstance(value, list):
        return [text_of(v) for v in value]
    if value is None or isinstance(value, (int, float)):
        return value
    return text_of(value)


def on_gc(phase, info):
    if phase == "start":
        TRIP.hit("gc", phase)


def run(point, operation, change, n):
    setup_point = POINTS[point] or "plain"
    LOG.clear()
    case = Case(setup_point, operation)
    if point == "gc":
        gc.callbacks.append(on_gc)
    counted = ("override" if point.startswith("override") else
               "property" if point.startswith("property") else point)
    TRIP.reset(counted, n, (lambda: (CHANGES[change](case), reuse_freed_memory()))
               if change else None)
    outcome = {}
    TRIP.armed = True
    try:
        outcome["result"] = text_of(case.run_operation())
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        outcome["error"] = [type(error).__name__, str(error)]
    TRIP.armed = False
    if point == "gc":
        gc.callbacks.remove(on_gc)
    outcome.update(fired=TRIP.fired, hits=TRIP.count, journal=TRIP.journal, log=list(LOG),
                   tree=shape(case.tree_now()))
    for undo in reversed(case.restore):
        undo()
    DECOYS.clear()
    del case
    gc.collect()
    return outcome


def picks(hits):
    """The n for which a change is tried: early, middle and late hits."""
    return sorted({n for n in (1, 2, 3, hits // 2, hits - 1, hits) if 1 <= n <= hits})


def main():
    point = sys.argv[2]
    gc.disable()  # collections only where a case asks for one, over what the cases made
    gc.freeze()
    if point == "gc":
        # the collections run where identifiers and keys run code, in both implementations
        for method in ("__eq__", "__hash__"):
            plain = getattr(Key, method)
            setattr(Key, method, (lambda f: lambda self, *a: (
                gc.collect() if self.point == "gc" and TRIP.armed else None, f(self, *a))[1])(
                    plain))
    cases = [json.loads(c) for c in sys.argv[3:]]
    if not cases:
        for operation in OPERATIONS:
            dry = run(point, operation, None, 0)
            print(json.dumps({"case": [point, operation, None, 0], **dry}), flush=True)
            for change in CHANGES:
                if point == "dict_key.eq":
                    # Where the lookups fall is the interpreter's choice (its specializer
                    # looks names up too): only which names are looked up, and in which order,
                    # is compared.
                    break
                if change.startswith("list") and operation not in DRAWING:
                    continue
                cases += [[point, operation, change, n] for n in picks(dry["hits"])]
        print(json.dumps({"cases": len(cases)}), flush=True)
    for case in cases:
        print(json.dumps({"case": case, **run(*case)}), flush=True)


if __name__ == "__main__":
    main()
