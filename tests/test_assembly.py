"""The module's globals and the PluginManager class: namespace, docstrings, signatures, binding,
and the behaviour of its methods under the standard library's introspection and copying tools."""
import copy
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

import pytest

import mirvak
import mirvak.core.errors
import mirvak.plugins
from helpers import A
from mirvak.core.errors import ConnectionInfraError
from mirvak.core import pluginmanager as pm_module
from mirvak.core.pluginmanager import PluginManager

MODULE = "mirvak.core.pluginmanager"

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
NAMESPACE = [
    "__init__", "plugins", "validate_model", "validate_platform", "validate_os",
    "validate_chassis_type", "validate_arguments", "get_plugin", "unregister_plugin",
    "register_plugin", "discover_builtin_plugins", "discover_external_plugins", "print_tree",
    "__repr__",
]

REGISTER_LINES = [
    "This method registers all the implementation plugin(i.e connection class)",
    "to the mirvak plugin manager", "",
    "It takes OS, platform, MODEL information and based on that",
    "registers it", "", "cls refer to the connection class",
    "chassis_type indicates if the connection class is for single_rp or",
    "dual_rp or stack(default single_rp)", "",
]
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
    "register_plugin": "\n" + "\n".join(" " * 12 + line if line else ""
                                        for line in REGISTER_LINES) + "\n" + " " * 8,
    "discover_builtin_plugins": "loads all plugins",
    "discover_external_plugins": "\n        discover external plugins defined that users pip "
                                 "installed.\n        ",
    "__repr__": None,
}
PLUGINS_DOC = " Plugin list getter\n        "
CLASS_DOC = ("\n        Loads all plugin implementation,\n"
             "        provides API's for accessing plugins\n    ")


def function(name):
    value = vars(PluginManager)[name]
    return value.__func__ if isinstance(value, staticmethod) else value


def test_module_docstring_and_globals():
    text = [line for line in pm_module.__doc__.splitlines() if line.strip()]
    assert [line.strip() for line in text] == [
        "Module:", "mirvak.core.pluginmanager", "Description:", "This module provides",
        "1. Methods for identifying and loading plugin implementations",
        "2. Methods for validating and accessing platform implementation",
    ]
    assert {line for line in text if not line.startswith(" ")} == {"Module:", "Description:"}
    indents = {len(line) - len(line.lstrip()) for line in text if line.startswith(" ")}
    assert len(indents) == 1
    expected = {
        "os": os, "pkgutil": pkgutil, "importlib": importlib, "log": mirvak.log,
        "supported_chassis": mirvak.plugins.supported_chassis,
        "supported_os": mirvak.plugins.supported_os, "getfile": inspect.getfile,
        "ConnectionInfraError": mirvak.core.errors.ConnectionInfraError,
        "entry_points": importlib.metadata.entry_points,
    }
    names = [name for name in vars(pm_module) if not name.startswith("__")]
    assert names == [*expected, "ENTRYPOINT_GROUP", "PluginManager"]
    assert {name: getattr(pm_module, name) for name in expected} == expected
    assert all(getattr(pm_module, name) is value for name, value in expected.items())
    assert type(pm_module.ENTRYPOINT_GROUP) is str
    assert pm_module.ENTRYPOINT_GROUP == "mirvak.plugins"
    dunders = {name for name in vars(pm_module) if name.startswith("__")}
    assert dunders == {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert (pm_module.__package__, pm_module.__name__) == ("mirvak.core", MODULE)


def test_class_identity_namespace_and_property():
    assert type(PluginManager) is type and PluginManager.__bases__ == (object,)
    assert PluginManager.__module__ == MODULE
    assert PluginManager.__qualname__ == PluginManager.__name__ == "PluginManager"
    assert PluginManager.__doc__ == CLASS_DOC
    assert list(vars(PluginManager)) == ["__module__", "__doc__", *NAMESPACE, "__dict__",
                                         "__weakref__"]
    # names a class statement binds are interned, so attribute access meets the very key
    assert all(key is sys.intern(key) for key in vars(PluginManager))
    prop = vars(PluginManager)["plugins"]
    assert type(prop) is property and prop.fdel is None
    assert prop.__doc__ == prop.fget.__doc__ == prop.fset.__doc__ == PLUGINS_DOC
    for accessor, signature in ((prop.fget, "(self)"), (prop.fset, "(self, value)")):
        assert inspect.isfunction(accessor) and accessor.__module__ == MODULE
        assert accessor.__name__ == "plugins" and accessor.__qualname__ == "PluginManager.plugins"
        assert str(inspect.signature(accessor)) == signature
        if sys.version_info >= (3, 11):
            assert accessor.__code__.co_qualname == "PluginManager.plugins"


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_method_identity_docs_defaults_binding(name):
    static = name.startswith("discover_")
    assert type(vars(PluginManager)[name]) is (staticmethod if static else type(lambda: None))
    func = function(name)
    assert inspect.isfunction(func)
    assert func.__name__ == func.__code__.co_name == name
    assert func.__qualname__ == "PluginManager." + name and func.__module__ == MODULE
    if sys.version_info >= (3, 11):  # code objects carry a qualname from 3.11
        assert func.__code__.co_qualname == func.__qualname__
    assert func.__doc__ == DOCS.get(name, func.__doc__) and func.__kwdefaults__ is None
    # the signature's defaults are read from __defaults__
    assert str(inspect.signature(getattr(PluginManager, name))) == SIGNATURES[name]
    manager = PluginManager()
    bound = getattr(manager, name)
    assert str(inspect.signature(bound)) == SIGNATURES[name].replace("self, ", "").replace(
        "(self)", "()")
    if static:
        assert bound is func and getattr(PluginManager, name) is func
    else:
        assert inspect.ismethod(bound) and bound.__self__ is manager and bound.__func__ is func
        assert getattr(PluginManager, name) is func


def test_print_tree_doc_holds_a_drawing_in_the_printed_format():
    doc = PluginManager.print_tree.__doc__
    head = (" This Method print the plugin list in tree structure\n\n"
            "        Sample Tree Structure::\n")
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
    code = function(name).__code__
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert code.co_argcount == len(SIGNATURES[name].split(",")) - (SIGNATURES[name] == "()")


# A class statement with the same methods: the interpreter's own TypeError texts to compare with.
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

WRONG_CALLS = {
    "init extra": lambda cls: cls(1),
    "validate_os missing": lambda cls: cls().validate_os(),
    "validate_model too many": lambda cls: cls().validate_model(1, 2, 3, 4),
    "get_plugin unknown keyword": lambda cls: cls().get_plugin(bogus=1),
    "get_plugin twice": lambda cls: cls().get_plugin("linux", os="linux"),
    "print_tree unbound": lambda cls: cls.print_tree(),
    "static positional": lambda cls: cls.discover_builtin_plugins(1),
    "getter missing": lambda cls: vars(cls)["plugins"].fget(),
    "setter missing": lambda cls: vars(cls)["plugins"].fset(cls()),
    "delete property": lambda cls: delattr(cls(), "plugins"),
}


@pytest.mark.parametrize("call", list(WRONG_CALLS.values()), ids=list(WRONG_CALLS))
def test_wrong_arguments_match_a_pure_class(call):
    namespace = {"__name__": MODULE}
    exec(PURE_SOURCE, namespace)
    with pytest.raises(Exception) as expected:
        call(namespace["PluginManager"])
    with pytest.raises(Exception) as got:
        call(PluginManager)
    assert type(got.value) is type(expected.value)
    assert type(got.value) in (TypeError, AttributeError)
    assert str(got.value) == str(expected.value)


def attempt(call):
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the exception is the result looked at
        return error


def test_replaced_defaults_and_code_are_honoured(monkeypatch):
    # Calls bind their arguments natively where the interpreter allows; the function's
    # current __defaults__ and __code__ must still decide, as for any function.
    manager = PluginManager()
    manager.register_plugin(A, "linux", chassis_type="dual_rp")

    def lookups():  # one call site: the same keyword tuple on every call
        return [attempt(lambda: manager.get_plugin(os="linux")) for _ in range(3)]

    assert all(isinstance(result, ConnectionInfraError) for result in lookups())
    monkeypatch.setattr(PluginManager.get_plugin, "__defaults__",
                        (None, None, None, None, "dual_rp"))
    assert manager.get_plugin("linux") is A
    assert lookups() == [A, A, A]
    monkeypatch.setattr(PluginManager.get_plugin, "__defaults__", ("dual_rp",))
    assert all(isinstance(result, TypeError) for result in lookups())

    def replacement(self, os, platform, model, chassis_type):
        return ("replaced", os, chassis_type)

    monkeypatch.setattr(PluginManager.validate_arguments, "__code__", replacement.__code__)
    assert manager.validate_arguments("x", None, None, chassis_type="y") == ("replaced", "x", "y")


@pytest.mark.parametrize("duplicate", [
    lambda m: pickle.loads(pickle.dumps(m)),
    lambda m: pickle.loads(pickle.dumps(m, protocol=0)),
    copy.deepcopy,
])
def test_deep_copies_round_trip(duplicate):
    manager = PluginManager()
    manager.register_plugin(A, os="linux", platform="p1", chassis_type="dual_rp")
    manager.register_plugin(A, os="freebsd")
    manager.label = "lab"
    twin = duplicate(manager)
    assert type(twin) is PluginManager and list(vars(twin)) == list(vars(manager))
    assert twin.plugins == manager.plugins and twin.plugins is not manager.plugins
    assert twin.get_plugin(os="linux", platform="p1", chassis_type="dual_rp") is A
    assert twin.label == "lab"
    twin.unregister_plugin(os="freebsd")
    assert "data" in manager.plugins["freebsd"]


def test_pydoc_and_lifetime():
    text = pydoc.render_doc(PluginManager, renderer=pydoc.plaintext)
    assert "plugins\n |      Plugin list getter" in text and "Static methods defined here:" in text
    manager = PluginManager()
    manager.register_plugin(A, os="linux")
    ref = weakref.ref(manager)
    manager.extra = 1
    assert ref() is manager and vars(manager)["extra"] == 1
    del manager
    assert ref() is None
