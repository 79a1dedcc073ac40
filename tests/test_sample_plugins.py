"""The sample built-in plugins and the default manager, in a fresh interpreter (discovery
imports modules once per process)."""
import json
import textwrap

from conftest import run_python
from helpers import KEEP_RECORDS, SAMPLES

DISCOVER = KEEP_RECORDS + textwrap.dedent("""
    import json, sys
    import mirvak, mirvak.plugins, mirvak.core, mirvak.core.errors
    loaded_early = "mirvak.core.pluginmanager" in sys.modules
    from mirvak.core.pluginmanager import PluginManager
    from mirvak.manager import plugin_manager
    empty = plugin_manager.plugins == {}
    PluginManager.discover_builtin_plugins()

    def classes(node):
        for key, value in node.items():
            yield from (r["cls"] for r in value.values()) if key == "data" else classes(value)

    def name(cls):
        return cls.__module__ + "." + cls.__qualname__

    found = [[name(cls), cls("dut").connect()]
             for cls in (plugin_manager.get_plugin(**reg) for reg in REGISTRATIONS)]
    registered = sorted(name(c) for c in classes(plugin_manager.plugins))
    modules = sorted(m for m in sys.modules if m.startswith("mirvak.plugins."))
    replaced, refused = list(records), []
    for module in ("mirvak.plugins.generic.tests.test_connection", "mirvak.plugins.lab.unittests"):
        try:
            __import__(module)
        except RuntimeError as error:
            refused.append(str(error))
    print(json.dumps(dict(loaded_early=loaded_early, empty=empty, found=found, records=replaced,
                          refused=refused, classes=registered, modules=modules)))
""")


def test_builtin_discovery_fills_the_default_manager():
    code = DISCOVER.replace("REGISTRATIONS", repr([reg for _, _, reg in SAMPLES]))
    out = json.loads(run_python(code).stdout)
    assert not out["loaded_early"] and out["empty"]
    names = [f"mirvak.plugins.{module}.{qualname}" for module, qualname, _ in SAMPLES]
    # Every sample is registered, and nothing else (the test modules register a
    # hijacking class if they are ever imported).
    assert out["classes"] == sorted(names)
    assert [dotted for dotted, _ in out["found"]] == names
    for (_, text), (_, qualname, _) in zip(out["found"], SAMPLES):
        assert text.startswith(qualname + ": ") and "dut" in text
    # testsuite is a plugin module; tests packages' modules and unittests are not.
    assert "mirvak.plugins.lab.testsuite" in out["modules"]
    assert "mirvak.plugins.generic.tests.test_connection" not in out["modules"]
    assert "mirvak.plugins.lab.unittests" not in out["modules"]
    assert out["records"] == []  # no sample replaces another
    # Guards the checks above: importing a test module directly fails loudly.
    assert out["refused"] == [f"test module {m} was imported by plugin discovery" for m in (
        "mirvak.plugins.generic.tests.test_connection", "mirvak.plugins.lab.unittests")]
