"""The module's globals and the PluginManager class: namespace, docstrings, signatures, binding,
and the behaviour of its methods under the standard library's introspection and copying tools."""
import copy
import functools
import importlib
import importlib.metadata
import inspect
import os
import pickle
import pkgutil
import pydoc
import sys
import textwrap
import weakref
from unittest import mock

import pytest

import mirvak
import mirvak.core.errors
import mirvak.plugins
from mirvak.core import pluginmanager as pm_module
from mirvak.core.pluginmanager import PluginManager

MODULE = "mirvak.core.pluginmanager"

NAMESPACE = [
    "__init__", "plugins", "validate_model", "validate_platform", "validate_os",
    "validate_chassis_type", "validate_arguments", "get_plugin", "unregister_plugin",
    "register_plugin", "discover_builtin_plugins", "discover_external_plugins", "print_tree",
    "__repr__",
]

SIGNATURES = {
    "__init__": "(self)",
    "validate_model": "(self, os, platform, model)",
    "validate_platform": "(self, os, platform)",
    "validate_os": "(self, os)",
    "validate_chassis_type": "(self, chassis_type)",
    "validate_arguments": "(self, os, platform, model, chassis_type)",
    "get_plugin": "(self, os=None, platform=None, model=None, os_flavor=None, "
                  "chassis_type='single_rp')",
    "unregister_plugin": "(self, os=None, platform=None, model=None, os_flavor=None, "
                         "chassis_type=None)",
    "register_plugin": "(self, cls, os=None, platform=None, model=None, os_flavor=None, "
                       "chassis_type='single_rp')",
    "discover_builtin_plugins": "()",
    "discover_external_plugins": "()",
    "print_tree": "(self, data, output='plugin')",
    "__repr__": "(self)",
}

DEFAULTS = {
    "get_plugin": (None, None, None, None, "single_rp"),
    "register_plugin": (None, None, None, None, "single_rp"),
    "unregister_plugin": (None, None, None, None, None),
    "print_tree": ("plugin",),
}

REGISTER_DOC = "\n" + "\n".join(
    " " * 12 + line if line else ""
    for line in [
        "This method registers all the implementation plugin(i.e connection class)",
        "to the mirvak plugin manager",
        "",
        "It takes OS, platform, MODEL information and based on that",
        "registers it",
        "",
        "cls refer to the connection class",
        "chassis_type indicates if the connection class is for single_rp or",
        "dual_rp or stack(default single_rp)",
        "",
    ]
) + "\n" + " " * 8

DOCS = {
    "__init__": "\n            Initialize\n        ",
    "validate_model": "\n         Validates Model\n        ",
    "validate_platform": "\n         Validates platform\n        ",
    "validate_os": "\n         Validates OS\n        ",
    "validate_chassis_type": "\n         Validate chassis\n        ",
    "validate_arguments": " Validates the input arguments provided\n        ",
    "get_plugin": "\n            This method returns the connection class based on the\n"
                  "            input details provided\n        ",
    "unregister_plugin": "\n            This method unregister a particular implementations from\n"
                         "            the internal database\n        ",
    "register_plugin": REGISTER_DOC,
    "discover_builtin_plugins": "loads all plugins",
    "discover_external_plugins": "\n        discover external plugins defined that users pip "
                                 "installed.\n        ",
    "__repr__": None,
}

PLUGINS_DOC = " Plugin list getter\n        "
CLASS_DOC = "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n    "


def plain_functions():
    """(name, function) of every method, static ones unwrapped."""
    for name in SIGNATURES:
        value = vars(PluginManager)[name]
        yield name, value.__func__ if isinstance(value, staticmethod) else value


# A class statement with the same methods: the interpreter's own behaviour to compare with.
PURE_SOURCE = "class PluginManager(object):\n" + "".join(
    f"    {'@staticmethod' if sig == '()' else ''}\n    def {name}{sig}:\n        return None\n"
    for name, sig in SIGNATURES.items()
) + textwrap.indent(textwrap.dedent("""
    @property
    def plugins(self):
        return None

    @plugins.setter
    def plugins(self, value):
        raise Exception(" Protected Member, cannot modify Plugins")
"""), "    ")


@pytest.fixture(scope="module")
def pure():
    namespace = {"__name__": MODULE}
    exec(PURE_SOURCE, namespace)
    return namespace["PluginManager"]


class Conn:
    """A connection class that pickle can find by name."""


# ---------------------------------------------------------------------------------------------
# Module globals


def test_module_docstring_layout():
    lines = pm_module.__doc__.splitlines()
    text = [line for line in lines if line.strip()]
    assert [line.strip() for line in text] == [
        "Module:", "mirvak.core.pluginmanager", "Description:", "This module provides",
        "1. Methods for identifying and loading plugin implementations",
        "2. Methods for validating and accessing platform implementation",
    ]
    headings = {line for line in text if not line.startswith(" ")}
    assert headings == {"Module:", "Description:"}
    indents = {len(line) - len(line.lstrip()) for line in text if line.startswith(" ")}
    assert len(indents) == 1 and indents != {0}


def test_globals_are_the_imported_objects_in_binding_order():
    names = [name for name in vars(pm_module) if not name.startswith("__")]
    assert names == [
        "os", "pkgutil", "importlib", "log", "supported_chassis", "supported_os", "getfile",
        "ConnectionInfraError", "entry_points", "ENTRYPOINT_GROUP", "PluginManager",
    ]
    expected = {
        "os": os, "pkgutil": pkgutil, "importlib": importlib, "log": mirvak.log,
        "supported_chassis": mirvak.plugins.supported_chassis,
        "supported_os": mirvak.plugins.supported_os, "getfile": inspect.getfile,
        "ConnectionInfraError": mirvak.core.errors.ConnectionInfraError,
        "entry_points": importlib.metadata.entry_points,
    }
    for name, value in expected.items():
        assert getattr(pm_module, name) is value, name
    assert pm_module.ENTRYPOINT_GROUP == "mirvak.plugins"
    assert type(pm_module.ENTRYPOINT_GROUP) is str
    dunders = {name for name in vars(pm_module) if name.startswith("__")}
    assert dunders == {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert pm_module.__package__ == "mirvak.core"
    assert pm_module.__name__ == MODULE


# ---------------------------------------------------------------------------------------------
# The class


def test_class_identity_and_namespace_order():
    assert type(PluginManager) is type
    assert PluginManager.__bases__ == (object,)
    assert PluginManager.__module__ == MODULE
    assert PluginManager.__qualname__ == PluginManager.__name__ == "PluginManager"
    assert PluginManager.__doc__ == CLASS_DOC
    assert "__orig_bases__" not in vars(PluginManager)
    names = list(vars(PluginManager))
    assert names == ["__module__", "__doc__", *NAMESPACE, "__dict__", "__weakref__"]


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_method_identity_docs_defaults(name):
    value = vars(PluginManager)[name]
    static = name.startswith("discover_")
    assert type(value) is (staticmethod if static else type(lambda: None))
    function = value.__func__ if static else value
    assert inspect.isfunction(function)
    assert function.__name__ == function.__code__.co_name == name
    assert function.__qualname__ == "PluginManager." + name
    assert function.__module__ == MODULE
    assert function.__doc__ == DOCS.get(name, function.__doc__)
    assert function.__defaults__ == DEFAULTS.get(name)
    assert function.__kwdefaults__ is None
    assert str(inspect.signature(getattr(PluginManager, name))) == SIGNATURES[name]
    bound = SIGNATURES[name].replace("(self, ", "(").replace("(self)", "()")
    assert str(inspect.signature(getattr(PluginManager(), name))) == bound


@pytest.mark.skipif(sys.version_info < (3, 11), reason="code objects carry a qualname from 3.11")
def test_code_qualname_matches_a_class_body():
    prop = vars(PluginManager)["plugins"]
    functions = [*plain_functions(), ("plugins", prop.fget), ("plugins", prop.fset)]
    wrong = {name: f.__code__.co_qualname for name, f in functions
             if f.__code__.co_qualname != "PluginManager." + name}
    assert wrong == {}


def test_print_tree_doc_holds_a_drawing_in_the_printed_format():
    doc = PluginManager.print_tree.__doc__
    head = " This Method print the plugin list in tree structure\n\n        Sample Tree Structure::\n"
    assert doc.startswith(head) and doc.endswith("\n\n        ")
    drawing = textwrap.dedent(doc[len(head):-len("\n\n        ")])
    record = {"cls": "<class 'mirvak.plugins.generic.GenericConnection'>",
              "path": "/opt/mirvak/plugins/generic/__init__.py"}
    dual = dict(record, cls="<class 'mirvak.plugins.generic.GenericDualConnection'>")
    tree = {"linux": {"data": {"single_rp": record, "dual_rp": dual}}}
    assert PluginManager().print_tree(tree) == drawing


@pytest.mark.parametrize("name, varnames", [
    ("print_tree", ("self", "data", "output", "sorted_keys", "last_key", "key", "temp_output",
                    "separator", "current_line", "line")),
    ("discover_builtin_plugins", ("plugins_path", "mirvak_name", "mirvak_init", "_finder",
                                  "name", "_ispkg")),
    ("discover_external_plugins", ("eps", "plugin")),
])
def test_code_local_names(name, varnames):
    code = dict(plain_functions())[name].__code__
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_argcount == len(SIGNATURES[name].split(",")) - (SIGNATURES[name] == "()")


def test_plugins_property_accessors():
    prop = vars(PluginManager)["plugins"]
    assert type(prop) is property
    assert prop.__doc__ == prop.fget.__doc__ == prop.fset.__doc__ == PLUGINS_DOC
    assert prop.fdel is None
    for accessor, signature in ((prop.fget, "(self)"), (prop.fset, "(self, value)")):
        assert inspect.isfunction(accessor)
        assert accessor.__name__ == "plugins"
        assert accessor.__qualname__ == "PluginManager.plugins"
        assert accessor.__module__ == MODULE
        assert str(inspect.signature(accessor)) == signature


def test_methods_bind_like_class_body_functions():
    manager = PluginManager()
    for name in SIGNATURES:
        attribute = getattr(manager, name)
        if name.startswith("discover_"):
            assert attribute is vars(PluginManager)[name].__func__
            assert getattr(PluginManager, name) is attribute
        else:
            assert inspect.ismethod(attribute)
            assert attribute.__self__ is manager
            assert attribute.__func__ is vars(PluginManager)[name]
            assert getattr(PluginManager, name) is vars(PluginManager)[name]


@pytest.mark.parametrize("global_name, method, expected_call", [
    ("pkgutil", "discover_builtin_plugins", "walk_packages"),
    ("entry_points", "discover_external_plugins", "entry_points"),
])
@pytest.mark.parametrize("through", ["class", "instance"])
def test_static_methods_called_from_class_and_instance(monkeypatch, global_name, method,
                                                       expected_call, through):
    calls = []

    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return []

    fake = mock.Mock(walk_packages=record) if global_name == "pkgutil" else record
    monkeypatch.setattr(pm_module, global_name, fake)
    owner = PluginManager if through == "class" else PluginManager()
    assert getattr(owner, method)() is None
    assert len(calls) == 1
    with pytest.raises(TypeError):
        getattr(owner, method)(1)
    with pytest.raises(TypeError):
        getattr(owner, method)(group="x")
    assert len(calls) == 1


# ---------------------------------------------------------------------------------------------
# Wrong arguments: the interpreter's own TypeError texts


WRONG_CALLS = {
    "init extra": lambda cls: cls(1),
    "validate_os missing": lambda cls: cls().validate_os(),
    "validate_model too many": lambda cls: cls().validate_model(1, 2, 3, 4),
    "validate_arguments missing two": lambda cls: cls().validate_arguments("linux", "p1"),
    "get_plugin unknown keyword": lambda cls: cls().get_plugin(bogus=1),
    "get_plugin twice": lambda cls: cls().get_plugin("linux", os="linux"),
    "get_plugin too many": lambda cls: cls().get_plugin(1, 2, 3, 4, 5, 6),
    "register missing cls": lambda cls: cls().register_plugin(os="linux"),
    "print_tree missing": lambda cls: cls().print_tree(),
    "print_tree unbound": lambda cls: cls.print_tree(),
    "repr extra": lambda cls: cls().__repr__(1),
    "static positional": lambda cls: cls.discover_builtin_plugins(1),
    "getter missing": lambda cls: vars(cls)["plugins"].fget(),
    "setter missing": lambda cls: vars(cls)["plugins"].fset(cls()),
    "descriptor set": lambda cls: vars(cls)["plugins"].__set__(cls()),
    "delete property": lambda cls: delattr(cls(), "plugins"),
}


@pytest.mark.parametrize("call", list(WRONG_CALLS.values()), ids=list(WRONG_CALLS))
def test_wrong_arguments_match_a_pure_class(pure, call):
    with pytest.raises(Exception) as expected:
        call(pure)
    with pytest.raises(Exception) as got:
        call(PluginManager)
    assert type(got.value) is type(expected.value)
    assert type(got.value) in (TypeError, AttributeError)
    assert str(got.value) == str(expected.value)


# ---------------------------------------------------------------------------------------------
# Standard tools on the class and its instances


def test_pydoc_renders_the_class():
    text = pydoc.render_doc(PluginManager, renderer=pydoc.plaintext)
    assert "class PluginManager(builtins.object)" in text
    assert "Loads all plugin implementation," in text
    for name, signature in SIGNATURES.items():
        assert name + signature in text or name + signature.replace("(self)", "()") in text
    assert "plugins\n |      Plugin list getter" in text
    assert "Static methods defined here:" in text


@pytest.fixture
def registered():
    manager = PluginManager()
    manager.register_plugin(Conn, os="linux", platform="p1", chassis_type="dual_rp")
    manager.register_plugin(Conn, os="freebsd")
    manager.label = "lab"
    return manager


@pytest.mark.parametrize("duplicate", [
    lambda m: pickle.loads(pickle.dumps(m)),
    lambda m: pickle.loads(pickle.dumps(m, protocol=0)),
    copy.deepcopy,
])
def test_deep_copies_round_trip(registered, duplicate):
    twin = duplicate(registered)
    assert type(twin) is PluginManager
    assert twin.plugins == registered.plugins
    assert twin.plugins is not registered.plugins
    assert twin.get_plugin(os="linux", platform="p1", chassis_type="dual_rp") is Conn
    assert twin.label == "lab"
    assert list(vars(twin)) == list(vars(registered))
    twin.unregister_plugin(os="freebsd")
    assert "data" in registered.plugins["freebsd"]


def test_autospec_checks_arguments():
    spec = mock.create_autospec(PluginManager, instance=True)
    with pytest.raises(TypeError):
        spec.get_plugin("linux", "p1", "m1", "f1", "single_rp", "extra")
    with pytest.raises(TypeError):
        spec.register_plugin(Conn, bogus=1)
    with pytest.raises(TypeError):
        spec.register_plugin()
    with pytest.raises(TypeError):
        spec.print_tree(data={}, out="x")
    spec.get_plugin(os="linux", platform="p1")
    spec.register_plugin(Conn, "linux", chassis_type="stack")
    spec.print_tree({})
    spec.get_plugin.assert_called_once_with(os="linux", platform="p1")
    spec.register_plugin.assert_called_once_with(Conn, "linux", chassis_type="stack")
    assert spec.get_plugin.call_count == 1


def test_functools_wraps_a_method():
    @functools.wraps(PluginManager.get_plugin)
    def wrapper(*args, **kwargs):
        return PluginManager.get_plugin(*args, **kwargs)

    assert wrapper.__name__ == "get_plugin"
    assert wrapper.__qualname__ == "PluginManager.get_plugin"
    assert wrapper.__doc__ == DOCS["get_plugin"]
    assert wrapper.__wrapped__ is PluginManager.get_plugin
    assert str(inspect.signature(wrapper)) == SIGNATURES["get_plugin"]
    manager = PluginManager()
    manager.register_plugin(Conn, os="linux")
    assert wrapper(manager, os="linux") is Conn


def test_subclass_weakref_and_new_attributes():
    class Custom(PluginManager):
        def validate_os(self, os):
            self.seen = os

    custom = Custom()
    assert isinstance(custom, PluginManager) and custom.plugins == {}
    custom.register_plugin(Conn, os="anything")
    assert custom.seen == "anything"
    assert custom.get_plugin(os="anything") is Conn
    assert str(inspect.signature(Custom.get_plugin)) == SIGNATURES["get_plugin"]

    manager = PluginManager()
    ref = weakref.ref(manager)
    assert ref() is manager
    manager.extra = 1
    assert vars(manager)["extra"] == 1
    del manager
    assert ref() is None
