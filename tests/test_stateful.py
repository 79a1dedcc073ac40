"""Random sequences of registry operations checked step by step against a small model.

The model below is a plain-Python registry written from the documented rules: the level path,
the validators' order and messages, the creating / skipping / strict walks, the replacement
record, and the drawing.  After every step the manager's tree (keys in order, records), the
debug records written so far, and the drawing must match the model's, and every operation
must raise exactly the model's exception type with exactly its message.
"""
import inspect
import os

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import (
    Bundle, RuleBasedStateMachine, invariant, multiple, rule, run_state_machine_as_test)

import mirvak.core.pluginmanager as pm
from mirvak.core.errors import ConnectionInfraError
from helpers import load_reference
from mirvak.core.pluginmanager import PluginManager

# At least this many steps per run (lower it, e.g. for the repeated runs of the leak check).
STEPS = int(os.environ.get("MIRVAK_STATEFUL_STEPS", "10000"))
STEPS_PER_EXAMPLE = 50


class Alpha:
    pass


class Beta:
    pass


def gamma_plugin():
    pass


# int has no source file: getfile refuses it and the registration must leave no trace.
PLUGINS = [Alpha, Beta, gamma_plugin, int]


class Recorder:
    """Stands in for the library logger; keeps the texts given to debug()."""

    def __init__(self):
        self.records = []

    def debug(self, text, *args, **kwargs):
        assert not args and not kwargs
        self.records.append(text)


class Failure(Exception):
    """What the model expects an operation to raise."""

    def __init__(self, kind, text):
        super().__init__(kind, text)
        self.kind, self.text = kind, text


def infra(text):
    return Failure(ConnectionInfraError, text)


class Model:
    def __init__(self, supported_os, chassis_types):
        self.tree = {}
        self.records = []
        self.supported_os = supported_os
        self.chassis_types = chassis_types

    # -- validation ----------------------------------------------------------------------
    def validate(self, os, platform, model, chassis_type):
        if model:
            if not platform or not os:
                raise infra("OS and platform are required for Model: " + str(model))
            if not isinstance(model, str):
                raise infra("Model should be of type str")
            if not (model.islower() or model.isdigit()):
                raise infra(" Model (%s) has to be in lowecase" % (model,))
        if platform:
            if os is None:
                raise infra("OS information not provided for platform: " + str(platform))
            if not isinstance(platform, str):
                raise infra("platform should be of type str")
            if not (platform.islower() or platform.isdigit()):
                raise infra("platform (%s) has to be in lowercase" % (platform,))
        if not os:
            raise infra(
                "OS should be one of these " + str(self.supported_os) + " , but got " + str(os))
        if os not in self.supported_os:
            self.records.append("%s is not part of the built-in list of supported OSes." % (os,))
        if os == "linux":
            return
        if not (chassis_type and chassis_type in self.chassis_types):
            raise infra("chassis Type should be one of these " + str(self.chassis_types)
                        + ", but got " + str(chassis_type))

    @staticmethod
    def level_path(os, platform, model, os_flavor):
        if model is not None:
            path = [os, platform, model]
        elif platform is not None:
            path = [os, platform]
        else:
            path = [os]
        if os_flavor is not None:
            path.append(os_flavor)
        if any(isinstance(member, str) and member == "data" for member in path):
            raise infra("Plugin identifier 'data' is reserved")
        return path

    # -- operations ----------------------------------------------------------------------
    def register(self, cls, os, platform, model, os_flavor, chassis_type):
        self.validate(os, platform, model, chassis_type)
        path = self.level_path(os, platform, model, os_flavor)
        try:
            class_path = inspect.getfile(cls)
        except TypeError as error:
            raise Failure(TypeError, str(error))
        node = self.tree
        for member in path:
            node = node.setdefault(member, {})
        record = {"cls": cls, "path": class_path}
        if "data" not in node:
            node["data"] = {chassis_type: record}
            return
        data = node["data"]
        if chassis_type in data:
            self.records.append(
                " {} already registered for {}, {} from {} is overriding this class".format(
                    data[chassis_type]["cls"].__name__, path, cls.__name__, cls.__module__))
        data[chassis_type] = record

    def get(self, os, platform, model, os_flavor, chassis_type):
        self.validate(os, platform, model, chassis_type)
        path = self.level_path(os, platform, model, os_flavor)
        node = self.tree
        for member in path:
            node = node.get(member, node)
        if "data" not in node or chassis_type not in node["data"]:
            raise infra("Plugin data not found for (" + "/".join(str(m) for m in path)
                        + "), type: " + str(chassis_type) + " ")
        return node["data"][chassis_type]["cls"]

    def unregister(self, os, platform, model, os_flavor, chassis_type):
        self.validate(os, platform, model, "single_rp")
        path = self.level_path(os, platform, model, os_flavor)
        node = self.tree
        for member in path:
            if member not in node:
                raise infra("Plugin data not found")
            node = node[member]
        if "data" not in node:
            raise infra("Plugin data not found")
        if chassis_type is None:
            del node["data"]
            return
        if chassis_type not in node["data"]:
            raise infra("Plugin data not found for %s" % (chassis_type,))
        del node["data"][chassis_type]


# The drawing of the model's tree, by the plain-Python reference's printer.
draw = load_reference().PluginManager().print_tree


def shape(node):
    """The tree with its key order made visible: nested lists of (key, value) pairs."""
    if isinstance(node, dict):
        return [(key, shape(value)) for key, value in node.items()]
    return node


def outcome(call, *args):
    try:
        return ("result", call(*args))
    except Failure as failure:
        return (failure.kind, failure.text)
    except Exception as error:  # noqa: BLE001 - compared with the model's expectation
        assert len(error.args) == 1, error.args
        return (type(error), str(error))


text = st.text(alphabet="abxyz019-_.", max_size=4)
identifiers = st.one_of(
    st.none(), st.just(""), st.just("linux"), st.just("data"),
    st.sampled_from(["freebsd", "p1", "p2", "m1", "f1", "abc", "9300"]),
    text,
    st.text(alphabet="ABCx", min_size=1, max_size=3),  # upper case
    st.text(alphabet="0123456789", min_size=1, max_size=3),  # digits
    st.integers(min_value=-2, max_value=300),
    st.tuples(st.sampled_from(["a", "b"]), st.integers(min_value=0, max_value=2)),
)


def mostly(usual, odd, odds=5):
    """`usual` about odds-1 times in odds, else `odd`: most operations should get far enough
    to touch the tree."""
    return st.integers(1, odds).flatmap(lambda n: odd if n == 1 else usual)


systems = mostly(st.sampled_from(["linux", "linux", "freebsd", "plan9"]), identifiers)
platforms = mostly(st.sampled_from([None, None, "p1", "p2"]), identifiers)
models = mostly(st.sampled_from([None, None, None, "m1"]), identifiers)
flavors = mostly(st.sampled_from([None, None, "f1"]), identifiers)
chassis = mostly(
    st.sampled_from(["single_rp", "single_rp", "dual_rp", "stack"]),
    st.one_of(st.none(), st.just(""), st.just("bad"), st.integers(0, 2),
              st.tuples(st.just("x"), st.integers(0, 1))))


class RegistryMachine(RuleBasedStateMachine):
    steps = 0

    def __init__(self):
        super().__init__()
        self.saved_log = pm.log
        self.log = Recorder()
        pm.log = self.log
        self.manager = PluginManager()
        self.model = Model(self.manager.supported_os, self.manager.chassis_type_list)

    def teardown(self):
        pm.log = self.saved_log

    def compare(self, call, expected, *args):
        got = outcome(call, *args)
        assert got == outcome(expected, *args)
        RegistryMachine.steps += 1
        return got

    registered = Bundle("registered")  # identifiers of registrations that succeeded

    @rule(target=registered, cls=st.sampled_from(PLUGINS), os=systems, platform=platforms,
          model=models, os_flavor=flavors, chassis_type=chassis)
    def register(self, cls, os, platform, model, os_flavor, chassis_type):
        got = self.compare(self.manager.register_plugin, self.model.register,
                           cls, os, platform, model, os_flavor, chassis_type)
        if got[0] != "result":
            return multiple()
        return (os, platform, model, os_flavor, chassis_type)

    @rule(entry=registered, change=st.sampled_from(["same", "same", "deeper", "chassis"]),
          cls=st.sampled_from(PLUGINS))
    def revisit(self, entry, change, cls):
        # A place that was registered once: look it up again (or below it, where the lookup
        # falls back to it), replace it, or remove it.
        os, platform, model, os_flavor, chassis_type = entry
        if change == "deeper":
            platform, model = (platform, "m9") if platform else ("p9", model)
        elif change == "chassis":
            chassis_type = "dual_rp" if chassis_type == "single_rp" else "single_rp"
        self.get(os, platform, model, os_flavor, chassis_type)
        self.compare(self.manager.register_plugin, self.model.register,
                     cls, os, platform, model, os_flavor, chassis_type)
        self.get(os, platform, model, os_flavor, chassis_type)

    @rule(entry=registered, whole=st.booleans())
    def remove_registered(self, entry, whole):
        os, platform, model, os_flavor, chassis_type = entry
        self.unregister(os, platform, model, os_flavor, None if whole else chassis_type)
        self.get(os, platform, model, os_flavor, chassis_type)

    @rule(os=systems, platform=platforms, model=models, os_flavor=flavors, chassis_type=chassis)
    def get(self, os, platform, model, os_flavor, chassis_type):
        got = self.compare(self.manager.get_plugin, self.model.get,
                           os, platform, model, os_flavor, chassis_type)
        assert got[0] != "result" or got[1] in PLUGINS

    @rule(os=systems, platform=platforms, model=models, os_flavor=flavors,
          chassis_type=st.one_of(st.none(), chassis))
    def unregister(self, os, platform, model, os_flavor, chassis_type):
        self.compare(self.manager.unregister_plugin, self.model.unregister,
                     os, platform, model, os_flavor, chassis_type)

    @rule(label=st.sampled_from(["plugin", "", "top"]), depth=st.integers(0, 2))
    def print_tree(self, label, depth):
        # Some part of the tree: the whole, or the first child some levels down.
        mine, theirs = self.model.tree, self.manager.plugins
        for _ in range(depth):
            if not isinstance(mine, dict) or not mine:
                break
            key = next(iter(mine))
            mine, theirs = mine[key], theirs[key]
        self.compare(lambda: self.manager.print_tree(theirs, label), lambda: draw(mine, label))

    @rule()
    def representation(self):
        label = "plugins (" + str(PluginManager) + " at " + hex(id(self.manager)) + ") "
        assert repr(self.manager) == str(self.manager) == draw(self.model.tree, label)
        RegistryMachine.steps += 1

    @invariant()
    def same_tree_records_and_drawing(self):
        assert self.manager.plugins is self.manager._plugins
        assert shape(self.manager.plugins) == shape(self.model.tree)
        assert self.log.records == self.model.records
        assert self.manager.print_tree(self.manager.plugins) == draw(self.model.tree)


def test_random_operations_match_the_model():
    RegistryMachine.steps = 0
    examples = -(-STEPS // STEPS_PER_EXAMPLE) + STEPS // (STEPS_PER_EXAMPLE * 4)
    run_state_machine_as_test(RegistryMachine, settings=settings(
        max_examples=examples, stateful_step_count=STEPS_PER_EXAMPLE, derandomize=True,
        database=None, deadline=None, suppress_health_check=list(HealthCheck)))
    assert RegistryMachine.steps >= STEPS


@pytest.mark.parametrize("identifier", [None, "", "linux", "data", "ABC", "42", 7, ("a", 1)])
def test_model_agrees_on_single_identifiers(identifier):
    # Each kind of identifier in every position once, so that a short run still covers them.
    manager = PluginManager()
    model = Model(manager.supported_os, manager.chassis_type_list)
    saved, pm.log = pm.log, Recorder()
    try:
        for position in range(4):
            args = ["linux", None, None, None]
            args[position] = identifier
            for chassis_type in ("single_rp", "dual_rp", identifier):
                assert outcome(manager.register_plugin, Alpha, *args, chassis_type) == outcome(
                    model.register, Alpha, *args, chassis_type)
                assert outcome(manager.get_plugin, *args, chassis_type) == outcome(
                    model.get, *args, chassis_type)
                assert outcome(manager.unregister_plugin, *args, chassis_type) == outcome(
                    model.unregister, *args, chassis_type)
            assert shape(manager.plugins) == shape(model.tree)
            label = "plugins (" + str(PluginManager) + " at " + hex(id(manager)) + ") "
            assert repr(manager) == draw(model.tree, label)
        assert pm.log.records == model.records
    finally:
        pm.log = saved
