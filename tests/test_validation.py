"""Validation of plugin identifiers: messages, order of checks, debug records, overrides."""
import logging

import pytest

import mirvak.core.pluginmanager as pm_module
from mirvak.core.errors import ConnectionInfraError
from mirvak.core.pluginmanager import PluginManager

OS_LIST = ["linux", "freebsd"]
CHASSIS_LIST = ["single_rp", "dual_rp", "stack"]
OS_PREFIX = "OS should be one of these ['linux', 'freebsd'] , but got "
CHASSIS_PREFIX = "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got "
NEEDS_OS_AND_PLATFORM = "OS and platform are required for Model: "
NEEDS_OS = "OS information not provided for platform: "


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def texts(self):
        return [(r.levelno, r.getMessage()) for r in self.records]


@pytest.fixture
def debug_log():
    logger = logging.getLogger("mirvak")
    handler, level = Records(), logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(level)


@pytest.fixture
def manager():
    """A manager whose lists are fixed here, so that the texts below are exact."""
    m = PluginManager()
    m.supported_os = list(OS_LIST)
    m.chassis_type_list = list(CHASSIS_LIST)
    return m


def outcome(call, *args, **kwargs):
    try:
        result = call(*args, **kwargs)
    except ConnectionInfraError as error:
        assert type(error) is ConnectionInfraError and len(error.args) == 1
        return error.args[0]
    assert result is None
    return None


@pytest.mark.parametrize(
    "os, platform, model, expected",
    [
        ("linux", "p1", "", None),
        (None, None, "", None),
        ("linux", "p1", None, None),
        (None, None, "m1", NEEDS_OS_AND_PLATFORM + "m1"),
        ("linux", None, "m1", NEEDS_OS_AND_PLATFORM + "m1"),
        ("linux", "", "m1", NEEDS_OS_AND_PLATFORM + "m1"),
        (None, "p1", "m1", NEEDS_OS_AND_PLATFORM + "m1"),
        ("", "p1", "m1", NEEDS_OS_AND_PLATFORM + "m1"),
        (None, None, 5, NEEDS_OS_AND_PLATFORM + "5"),
        ("linux", 0, ("a", "b"), NEEDS_OS_AND_PLATFORM + "('a', 'b')"),
        ("linux", "p1", 5, "Model should be of type str"),
        ("linux", "p1", ["m1"], "Model should be of type str"),
        ("linux", "p1", "abc123", None),
        ("linux", "p1", "9300-x", None),
        ("linux", "p1", "9300", None),
        ("x", "P1", "m1", None),  # the platform's form is not the model's business
        ("linux", "p1", "ABC", " Model (ABC) has to be in lowecase"),
        ("linux", "p1", "aBc", " Model (aBc) has to be in lowecase"),
        ("linux", "p1", "1.0", " Model (1.0) has to be in lowecase"),
        ("linux", "p1", "-", " Model (-) has to be in lowecase"),
        ("linux", "p1", " ", " Model ( ) has to be in lowecase"),
        ("linux", "p1", "m\u01c5", " Model (m\u01c5) has to be in lowecase"),  # titlecase
        ("linux", "p1", "\u0663\u0664", None),  # digits of another script
    ],
)
def test_validate_model(manager, os, platform, model, expected):
    assert outcome(manager.validate_model, os, platform, model) == expected
    assert outcome(manager.validate_model, model=model, platform=platform, os=os) == expected


@pytest.mark.parametrize(
    "os, platform, expected",
    [
        ("linux", "", None),
        (None, "", None),
        (None, 0, None),
        (None, None, None),
        ("", "p1", None),  # only None fails the OS test here
        (0, "p1", None),
        (None, "p1", NEEDS_OS + "p1"),
        (None, "P1", NEEDS_OS + "P1"),
        (None, 5, NEEDS_OS + "5"),
        ("linux", 5, "platform should be of type str"),
        ("", 5, "platform should be of type str"),
        ("linux", "p1", None),
        ("linux", "123", None),
        ("linux", "ab-1", None),
        ("linux", "P1", "platform (P1) has to be in lowercase"),
        ("linux", "1.0", "platform (1.0) has to be in lowercase"),
        ("linux", "_", "platform (_) has to be in lowercase"),
    ],
)
def test_validate_platform(manager, os, platform, expected):
    assert outcome(manager.validate_platform, os, platform) == expected
    assert outcome(manager.validate_platform, platform=platform, os=os) == expected


class Text(str):
    """A str subclass whose own islower/isdigit are consulted."""

    def islower(self):
        return self == "yes"

    def isdigit(self):
        return self == "digits"


@pytest.mark.parametrize(
    "value, accepted",
    [(Text("yes"), True), (Text("digits"), True), (Text("abc"), False)],
)
def test_str_subclass_methods_decide(manager, value, accepted):
    model = outcome(manager.validate_model, "linux", "p1", value)
    platform = outcome(manager.validate_platform, "linux", value)
    assert model == (None if accepted else " Model (abc) has to be in lowecase")
    assert platform == (None if accepted else "platform (abc) has to be in lowercase")


def test_isinstance_decides_text(manager):
    from unittest import mock

    text_like = mock.Mock(spec=str)  # claims str through __class__; its islower() is truthy
    assert manager.validate_model("linux", "p1", text_like) is None
    assert manager.validate_platform("linux", text_like) is None
    assert text_like.islower.call_count == 2
    assert outcome(manager.validate_model, "linux", "p1", mock.Mock()) == (
        "Model should be of type str")
    assert outcome(manager.validate_platform, "linux", mock.Mock()) == (
        "platform should be of type str")


@pytest.mark.parametrize(
    "os, expected, record",
    [
        ("linux", None, None),
        ("freebsd", None, None),
        ("plan9", None, "plan9 is not part of the built-in list of supported OSes."),
        ("LINUX", None, "LINUX is not part of the built-in list of supported OSes."),
        (5, None, "5 is not part of the built-in list of supported OSes."),
        # a tuple is one value, never the operand list of "%"
        (("a", "b"), None, "('a', 'b') is not part of the built-in list of supported OSes."),
        (("a",), None, "('a',) is not part of the built-in list of supported OSes."),
        (None, OS_PREFIX + "None", None),
        ("", OS_PREFIX, None),
        (0, OS_PREFIX + "0", None),
        ((), OS_PREFIX + "()", None),
    ],
)
def test_validate_os(manager, debug_log, os, expected, record):
    assert outcome(manager.validate_os, os) == expected
    assert debug_log.texts() == ([(logging.DEBUG, record)] if record else [])


@pytest.mark.parametrize(
    "chassis_type, expected",
    [
        ("single_rp", None),
        ("stack", None),
        ("", CHASSIS_PREFIX),
        (None, CHASSIS_PREFIX + "None"),
        ("quad_rp", CHASSIS_PREFIX + "quad_rp"),
        ("SINGLE_RP", CHASSIS_PREFIX + "SINGLE_RP"),
        (("single_rp",), CHASSIS_PREFIX + "('single_rp',)"),
    ],
)
def test_validate_chassis_type(manager, chassis_type, expected):
    assert outcome(manager.validate_chassis_type, chassis_type) == expected
    assert outcome(manager.validate_chassis_type, chassis_type=chassis_type) == expected


@pytest.mark.parametrize(
    "args, expected, records",
    [
        (("linux", None, None, None), None, 0),
        (("linux", None, None, "anything"), None, 0),
        (("freebsd", None, None, "dual_rp"), None, 0),
        (("freebsd", None, None, None), CHASSIS_PREFIX + "None", 0),
        (("LINUX", None, None, None), CHASSIS_PREFIX + "None", 1),
        (("linux ", None, None, "x"), CHASSIS_PREFIX + "x", 1),
        (("plan9", "p1", "m1", "single_rp"), None, 1),
        # model first, then platform, then OS, then chassis type
        ((None, "p1", "m1", "single_rp"), NEEDS_OS_AND_PLATFORM + "m1", 0),
        ((None, "p1", None, "single_rp"), NEEDS_OS + "p1", 0),
        (("", "p1", None, "single_rp"), OS_PREFIX, 0),
        (("", "p1", "m1", "single_rp"), NEEDS_OS_AND_PLATFORM + "m1", 0),
        ((None, None, None, "single_rp"), OS_PREFIX + "None", 0),
        ((None, None, None, "bad"), OS_PREFIX + "None", 0),
        (("linux", "P1", "M1", None), " Model (M1) has to be in lowecase", 0),
        (("linux", "P1", None, None), "platform (P1) has to be in lowercase", 0),
        (("plan9", None, None, "bad"), CHASSIS_PREFIX + "bad", 1),
    ],
)
def test_validate_arguments(manager, debug_log, args, expected, records):
    assert outcome(manager.validate_arguments, *args) == expected
    assert len(debug_log.records) == records
    keywords = dict(zip(("os", "platform", "model", "chassis_type"), args))
    assert outcome(manager.validate_arguments, **keywords) == expected


def test_linux_compared_with_eq(manager):
    class Linuxish:
        def __eq__(self, other):
            return other == "linux"

        __hash__ = object.__hash__

    manager.supported_os = [Linuxish()]
    # equal to "linux": the chassis type is not checked
    assert manager.validate_arguments(Linuxish(), None, None, "bad") is None


def test_instance_lists_are_read_at_each_call(manager):
    other = PluginManager()
    manager.chassis_type_list = ("x", "y")
    manager.supported_os = ["plan9"]
    assert manager.validate_chassis_type("x") is None
    assert outcome(manager.validate_chassis_type, "single_rp") == (
        "chassis Type should be one of these ('x', 'y'), but got single_rp")
    assert outcome(manager.validate_os, None) == (
        "OS should be one of these ['plan9'] , but got None")
    assert other.validate_chassis_type("single_rp") is None
    assert outcome(other.validate_chassis_type, "x").endswith(", but got x")
    manager.chassis_type_list = [1]  # no type check: whatever the list holds
    assert manager.validate_chassis_type(1) is None


def test_host_lists_by_default():
    from mirvak.plugins import supported_chassis, supported_os

    m = PluginManager()
    assert m.supported_os is supported_os and m.chassis_type_list is supported_chassis
    assert outcome(m.validate_os, "") == (
        "OS should be one of these " + str(supported_os) + " , but got ")


def test_wrong_arguments_are_type_errors(manager):
    with pytest.raises(TypeError):
        manager.validate_os()
    with pytest.raises(TypeError):
        manager.validate_model("linux", "p1")
    with pytest.raises(TypeError):
        manager.validate_platform(os="linux", platfrm="p1")
    with pytest.raises(TypeError):
        manager.validate_arguments("linux", None, None, None, None)


def test_host_errors_propagate(manager):
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError

    for call in (lambda: manager.validate_model(None, None, Falsy()),
                 lambda: manager.validate_os(Falsy()),
                 lambda: manager.validate_chassis_type(Falsy())):
        with pytest.raises(ZeroDivisionError):
            call()
    with pytest.raises(TypeError):  # membership of an unhashable value in a set
        manager.supported_os = {"linux"}
        manager.validate_os(["x"])


# Overrides: validate_arguments calls each validator through the instance, by keyword.
VALIDATORS = ["validate_model", "validate_platform", "validate_os", "validate_chassis_type"]
EXPECTED_CALLS = [
    ("validate_model", {"os": "freebsd", "platform": "p1", "model": "m1"}),
    ("validate_platform", {"platform": "p1", "os": "freebsd"}),
    ("validate_os", {"os": "freebsd"}),
    ("validate_chassis_type", {"chassis_type": "dual_rp"}),
]


def recorder(calls, name, bound):
    def record(*args, **kwargs):
        calls.append((name, args[1:] if bound else args, kwargs))

    return record


def assert_keyword_calls(calls, linux=False):
    expected = [(n, (), dict(k)) for n, k in EXPECTED_CALLS[: 3 if linux else 4]]
    if linux:
        for _, _, kwargs in expected:
            kwargs["os"] = "linux"
    assert calls == expected
    assert [list(kw) for _, _, kw in calls] == [list(kw) for _, _, kw in expected]


def test_validators_overridden_in_subclass():
    calls = []
    namespace = {name: recorder(calls, name, True) for name in VALIDATORS}
    Sub = type("Sub", (PluginManager,), namespace)
    assert Sub().validate_arguments("freebsd", "p1", "m1", "dual_rp") is None
    assert_keyword_calls(calls)
    calls.clear()
    Sub().validate_arguments("linux", "p1", "m1", "dual_rp")
    assert_keyword_calls(calls, linux=True)


def test_validators_overridden_on_instance(manager):
    calls = []
    for name in VALIDATORS:
        setattr(manager, name, recorder(calls, name, False))
    manager.validate_arguments("freebsd", "p1", "m1", "dual_rp")
    assert_keyword_calls(calls)
    assert PluginManager().validate_arguments("freebsd", None, None, "dual_rp") is None


@pytest.mark.parametrize("name", VALIDATORS)
def test_validator_overridden_on_class(monkeypatch, manager, name):
    calls = []
    monkeypatch.setattr(PluginManager, name, recorder(calls, name, True))
    manager.validate_arguments("freebsd", "p1", "m1", "dual_rp")
    assert calls == [(n, (), k) for n, k in EXPECTED_CALLS if n == name]


@pytest.mark.parametrize("failing", VALIDATORS)
def test_first_failure_stops_validation(manager, failing):
    calls = []

    def make(name):
        def check(**kwargs):
            calls.append(name)
            if name == failing:
                raise KeyError(name)
            return "ignored result"

        return check

    for name in VALIDATORS:
        setattr(manager, name, make(name))
    with pytest.raises(KeyError):
        manager.validate_arguments("freebsd", "p1", "m1", "dual_rp")
    assert calls == VALIDATORS[: VALIDATORS.index(failing) + 1]


def test_module_globals_are_looked_up_at_each_call(monkeypatch, manager, debug_log):
    class OtherError(Exception):
        pass

    seen = []

    class Logger:
        def debug(self, *args, **kwargs):
            seen.append((args, kwargs))

    monkeypatch.setattr(pm_module, "ConnectionInfraError", OtherError)
    monkeypatch.setattr(pm_module, "log", Logger())
    with pytest.raises(OtherError) as caught:
        manager.validate_os(None)
    assert caught.value.args == (OS_PREFIX + "None",)
    manager.validate_os("plan9")
    assert seen == [(("plan9 is not part of the built-in list of supported OSes.",), {})]
    assert debug_log.records == []
    monkeypatch.undo()
    with pytest.raises(ConnectionInfraError):
        manager.validate_os(None)
    manager.validate_os("plan9")
    assert len(debug_log.records) == 1


def test_missing_error_global_is_name_error(monkeypatch, manager):
    monkeypatch.delattr(pm_module, "ConnectionInfraError")
    with pytest.raises(NameError, match="ConnectionInfraError"):
        manager.validate_chassis_type("bad")
