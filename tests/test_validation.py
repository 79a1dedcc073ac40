"""Validation of plugin identifiers: messages, order of checks, debug records, overrides."""
import logging
from unittest import mock

import pytest

from helpers import outcome
from mirvak.core.pluginmanager import PluginManager

OS_PREFIX = "OS should be one of these ['linux', 'freebsd'] , but got "
CHASSIS_PREFIX = "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got "
NEEDS = "OS and platform are required for Model: "
NEEDS_OS = "OS information not provided for platform: "
MODEL_STR, PLATFORM_STR = "Model should be of type str", "platform should be of type str"


def lower_model(model):
    return f" Model ({model}) has to be in lowecase"


def lower_platform(platform):
    return f"platform ({platform}) has to be in lowercase"


def unsupported(os):
    return f"{os} is not part of the built-in list of supported OSes."


@pytest.fixture
def manager():
    """A manager whose lists are fixed here, so that the texts below are exact."""
    m = PluginManager()
    m.supported_os, m.chassis_type_list = ["linux", "freebsd"], ["single_rp", "dual_rp", "stack"]
    return m


@pytest.mark.parametrize("os, platform, model, expected", [
    (None, None, "", None), ("linux", "p1", None, None),
    ("linux", "", "m1", NEEDS + "m1"), ("", "p1", "m1", NEEDS + "m1"),
    (None, None, 5, NEEDS + "5"), ("linux", 0, ("a", "b"), NEEDS + "('a', 'b')"),
    ("linux", "p1", 5, MODEL_STR),
    ("linux", "p1", "abc123", None), ("linux", "p1", "9300", None),
    ("x", "P1", "m1", None),  # the platform's form is not the model's business
    ("linux", "p1", "\u0663\u0664", None),  # digits of another script
    ("linux", "p1", "aBc", lower_model("aBc")), ("linux", "p1", "1.0", lower_model("1.0")),
    ("linux", "p1", "m\u01c5", lower_model("m\u01c5")),  # a titlecase letter
])
def test_validate_model(manager, os, platform, model, expected):
    assert outcome(manager.validate_model, os, platform, model) == expected
    assert outcome(manager.validate_model, model=model, platform=platform, os=os) == expected


@pytest.mark.parametrize("os, platform, expected", [
    ("linux", "", None), (None, 0, None),
    ("", "p1", None),  # only None fails the OS test here
    (None, "P1", NEEDS_OS + "P1"), (None, 5, NEEDS_OS + "5"),
    ("linux", 5, PLATFORM_STR), ("", 5, PLATFORM_STR),
    ("linux", "123", None), ("linux", "ab-1", None),
    ("linux", "P1", lower_platform("P1")), ("linux", "1.0", lower_platform("1.0")),
])
def test_validate_platform(manager, os, platform, expected):
    assert outcome(manager.validate_platform, os, platform) == expected
    assert outcome(manager.validate_platform, platform=platform, os=os) == expected


class Text(str):
    """A str subclass whose own islower/isdigit are consulted."""

    def islower(self):
        return self == "yes"

    def isdigit(self):
        return self == "digits"


def test_text_is_decided_by_isinstance_and_the_value_own_methods(manager):
    for value, accepted in ((Text("yes"), True), (Text("digits"), True), (Text("abc"), False)):
        assert outcome(manager.validate_model, "linux", "p1", value) == (
            None if accepted else lower_model("abc"))
        assert outcome(manager.validate_platform, "linux", value) == (
            None if accepted else lower_platform("abc"))
    text_like = mock.Mock(spec=str)  # claims str through __class__; its islower() is truthy
    assert manager.validate_model("linux", "p1", text_like) is None
    assert manager.validate_platform("linux", text_like) is None
    assert text_like.islower.call_count == 2
    assert outcome(manager.validate_model, "linux", "p1", mock.Mock()) == MODEL_STR
    assert outcome(manager.validate_platform, "linux", mock.Mock()) == PLATFORM_STR


@pytest.mark.parametrize("os, expected, record", [
    ("linux", None, None), ("plan9", None, unsupported("plan9")),
    (5, None, unsupported(5)),
    (("a", "b"), None, unsupported(("a", "b"))),  # a tuple is one value, not "%"'s operands
    (("a",), None, unsupported(("a",))),
    (None, OS_PREFIX + "None", None), ("", OS_PREFIX, None), (0, OS_PREFIX + "0", None),
    ((), OS_PREFIX + "()", None),
])
def test_validate_os(manager, debug_log, os, expected, record):
    assert outcome(manager.validate_os, os) == expected
    assert [(r.levelno, r.getMessage()) for r in debug_log] == (
        [(logging.DEBUG, record)] if record else [])


@pytest.mark.parametrize("chassis_type, expected", [
    ("single_rp", None), ("stack", None), ("", CHASSIS_PREFIX), (None, CHASSIS_PREFIX + "None"),
    ("SINGLE_RP", CHASSIS_PREFIX + "SINGLE_RP"),
    (("single_rp",), CHASSIS_PREFIX + "('single_rp',)"),
])
def test_validate_chassis_type(manager, chassis_type, expected):
    assert outcome(manager.validate_chassis_type, chassis_type) == expected
    assert outcome(manager.validate_chassis_type, chassis_type=chassis_type) == expected


@pytest.mark.parametrize("args, expected, records", [
    (("linux", None, None, "anything"), None, 0),
    (("freebsd", None, None, "dual_rp"), None, 0),
    (("freebsd", None, None, None), CHASSIS_PREFIX + "None", 0),
    (("linux ", None, None, "x"), CHASSIS_PREFIX + "x", 1),
    (("plan9", "p1", "m1", "single_rp"), None, 1),
    # model first, then platform, then OS, then chassis type
    ((None, "p1", "m1", "single_rp"), NEEDS + "m1", 0),
    ((None, "p1", None, "single_rp"), NEEDS_OS + "p1", 0),
    (("", "p1", None, "single_rp"), OS_PREFIX, 0),
    (("", "p1", "m1", "single_rp"), NEEDS + "m1", 0),
    ((None, None, None, "bad"), OS_PREFIX + "None", 0),
    (("linux", "P1", "M1", None), lower_model("M1"), 0),
    (("linux", "P1", None, None), lower_platform("P1"), 0),
    (("plan9", None, None, "bad"), CHASSIS_PREFIX + "bad", 1),
])
def test_validate_arguments(manager, debug_log, args, expected, records):
    assert outcome(manager.validate_arguments, *args) == expected
    assert len(debug_log) == records
    keywords = dict(zip(("os", "platform", "model", "chassis_type"), args))
    assert outcome(manager.validate_arguments, **keywords) == expected


def test_lists_linux_and_errors_are_the_instance_and_host_own(manager):
    from mirvak.plugins import supported_chassis, supported_os

    default = PluginManager()
    assert outcome(default.validate_os, "") == (
        f"OS should be one of these {supported_os} , but got ")
    assert default.validate_chassis_type(supported_chassis[0]) is None
    manager.chassis_type_list, manager.supported_os = ("x", "y"), ["plan9"]
    assert manager.validate_chassis_type("x") is None
    assert outcome(manager.validate_chassis_type, "single_rp") == (
        "chassis Type should be one of these ('x', 'y'), but got single_rp")
    assert outcome(manager.validate_os, None) == (
        "OS should be one of these ['plan9'] , but got None")
    manager.chassis_type_list = [1]  # no type check: whatever the list holds
    assert manager.validate_chassis_type(1) is None

    class Linuxish:  # equal to "linux": the chassis type is not checked
        __hash__ = object.__hash__

        def __eq__(self, other):
            return other == "linux"

    manager.supported_os = [Linuxish()]
    assert manager.validate_arguments(Linuxish(), None, None, "bad") is None

    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError

    for call in (lambda: manager.validate_model(None, None, Falsy()),
                 lambda: manager.validate_os(Falsy()),
                 lambda: manager.validate_chassis_type(Falsy())):
        with pytest.raises(ZeroDivisionError):
            call()
    manager.supported_os = {"linux"}
    with pytest.raises(TypeError):  # membership of an unhashable value in a set
        manager.validate_os(["x"])


VALIDATORS = ["validate_model", "validate_platform", "validate_os", "validate_chassis_type"]
KEYWORDS = [{"os": "freebsd", "platform": "p1", "model": "m1"}, {"platform": "p1", "os": "freebsd"},
            {"os": "freebsd"}, {"chassis_type": "dual_rp"}]


@pytest.mark.parametrize("failing", [None, *VALIDATORS])
def test_validate_arguments_calls_each_validator_through_the_instance_by_keyword(
        overridden, failing):
    calls = []

    def recorder(name):
        def check(*args, **kwargs):
            calls.append((name, args, kwargs))
            if name == failing:
                raise KeyError(name)
            return "ignored result"

        return check

    manager = overridden(**{name: recorder(name) for name in VALIDATORS})
    if failing:
        with pytest.raises(KeyError):
            manager.validate_arguments("freebsd", "p1", "m1", "dual_rp")
        assert [name for name, _, _ in calls] == VALIDATORS[:VALIDATORS.index(failing) + 1]
        return
    assert manager.validate_arguments("freebsd", "p1", "m1", "dual_rp") is None
    expected = [(name, (), kwargs) for name, kwargs in zip(VALIDATORS, KEYWORDS)]
    assert calls == expected
    assert [list(kw) for _, _, kw in calls] == [list(kw) for _, _, kw in expected]
    calls.clear()
    manager.validate_arguments("linux", "p1", "m1", "dual_rp")
    assert calls == [(n, (), {**k, "os": "linux"}) for n, _, k in expected[:3]]
