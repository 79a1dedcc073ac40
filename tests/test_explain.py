"""Lookup explanation: its verdict is get_plugin's on any tree, its steps and notes say why."""
import pytest
from hypothesis import given, settings, strategies as st

from helpers import A, B, C
from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import PluginManager
from mirvak.health import explain_lookup

IDENTIFIERS = dict(
    os=["linux", "freebsd", "Linux", "", None, "data"],
    platform=[None, "p1", "p2", "P1", "", "12"],
    model=[None, "m1", "M1", "", "7"],
    os_flavor=[None, "f1", "p1", "", "data"],
    chassis_type=["single_rp", "dual_rp", "stack", None, "bogus"],
)
arguments = st.fixed_dictionaries({k: st.sampled_from(v) for k, v in IDENTIFIERS.items()})
operations = st.lists(st.tuples(st.sampled_from(["register", "unregister"]),
                                st.sampled_from([A, B, C]), arguments), max_size=12)


def verdict(call):
    try:
        return "returns", call()
    except Exception as error:
        return type(error), error.args


@settings(max_examples=300, deadline=None)
@given(operations, st.lists(arguments, min_size=1, max_size=4))
def test_verdict_is_get_plugins_on_random_trees(ops, lookups):
    manager = PluginManager()
    for op, cls, kwargs in ops:
        try:
            if op == "register":
                manager.register_plugin(cls, **kwargs)
            else:
                manager.unregister_plugin(**kwargs)
        except ConnectionInfraError:
            pass
    for kwargs in lookups:
        explained = verdict(lambda: explain_lookup(**kwargs, manager=manager).outcome())
        assert explained == verdict(lambda: manager.get_plugin(**kwargs))


def test_validation_is_the_managers_own(overridden):
    asked = []
    manager = overridden(validate_arguments=lambda *args: asked.append(args))
    manager.register_plugin(A, os="Linux", platform="P1")  # nothing refuses upper case now
    assert explain_lookup("Linux", "P1", manager=manager).result is A
    assert asked[-1] == ("Linux", "P1", None, "single_rp")  # as get_plugin calls it
    manager = overridden(validate_arguments=lambda *args: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        explain_lookup("linux", manager=manager)


def build(*operations):
    manager = PluginManager()
    for operation in operations:
        if operation[0] == "-":
            manager.unregister_plugin(**operation[1])
        else:
            manager.register_plugin(operation[0], **operation[1])
    return manager


LINUX, P1 = dict(os="linux"), dict(os="linux", platform="p1")


@pytest.mark.parametrize("tree, lookup, steps, end, note", [
    # A fall-back: p7 has no node, the lookup answers from linux.
    ((A, LINUX), dict(os="linux", platform="p7"), [("linux", True, ()), ("p7", False, ())],
     ("linux",), None),
    # Case and near misses are suggested.
    ((A, LINUX), dict(os="Linux"), [("Linux", False, ("linux",))], (),
     "No identifier had a node"),
    ((A, P1), dict(os="linux", platform="p11"), [("linux", True, ()), ("p11", False, ("p1",))],
     ("linux",), "linux holds no registration of its own, only nodes below it"),
    # Removal leaves the node: the lookup stops there instead of falling back.
    ([(A, LINUX), (B, P1), ("-", P1)], P1, [("linux", True, ()), ("p1", True, ())],
     ("linux", "p1"), "linux/p1 holds no registration: its registrations were removed, and "
     "removal leaves the node itself in place. The lookup ends at the deepest node it reaches "
     "and never goes back up, so it fails here instead of falling back to linux, which holds a "
     "single_rp registration."),
    ([(A, LINUX), (B, P1), ("-", dict(P1, chassis_type="single_rp"))], P1, None, ("linux", "p1"),
     "linux/p1 holds an empty chassis mapping: its chassis types were removed one by one"),
    ([(A, LINUX), (B, dict(P1, model="m1"))], P1, None, ("linux", "p1"),
     "linux/p1 holds no registration of its own, only nodes below it"),
    ([(A, LINUX), (B, dict(P1, chassis_type="dual_rp"))], P1, None, ("linux", "p1"),
     "linux/p1 holds registrations for dual_rp but none for single_rp"),
])
def test_steps_and_notes(tree, lookup, steps, end, note):
    manager = build(*(tree if isinstance(tree, list) else [tree]))
    explained = explain_lookup(**lookup, manager=manager)
    assert verdict(explained.outcome) == verdict(lambda: manager.get_plugin(**lookup))
    if steps is not None:
        assert [(s.identifier, s.followed, s.suggestions) for s in explained.steps] == steps
    assert explained.end == end
    assert explained.fell_back == any(not s.followed for s in explained.steps)
    assert (explained.note is None) if note is None else explained.note.startswith(note)
    assert explained.to_json()["error"] == explained.error
    text = explained.to_text()
    assert ("note: " + note in text) if note else ("note:" not in text)


def test_refusal_carries_get_plugins_exception():
    manager = build((A, LINUX))
    for lookup in (dict(os="linux", platform="P1"), dict(os="linux", os_flavor="data"),
                   dict(os=None)):
        explained = explain_lookup(**lookup, manager=manager)
        assert explained.refused and explained.path is None and not explained.steps
        assert verdict(explained.outcome) == verdict(lambda: manager.get_plugin(**lookup))
        assert explained.to_text().endswith("refused: " + explained.error)
