"""The sample built-in plugins and the default manager, each case in a fresh
interpreter (discovery imports modules once per process)."""
import json
import subprocess
import sys
import textwrap

import pytest

# (registration, dotted name of the class that get_plugin must return)
REGISTERED = [
    (dict(os="linux"), "generic.connection.GenericConnection"),
    (dict(os="linux", platform="p1"), "generic.connection.GenericP1Connection"),
    (dict(os="linux", platform="p1", model="m1"), "generic.connection.GenericM1Connection"),
    (dict(os="linux", os_flavor="edge"), "generic.connection.GenericEdgeConnection"),
    (dict(os="freebsd"), "bsd.freebsd.FreebsdConnection"),
    (dict(os="freebsd", chassis_type="dual_rp"), "bsd.freebsd.FreebsdDualConnection"),
    (dict(os="openbsd", platform="p2"), "bsd.openbsd.OpenbsdP2Connection"),
    (dict(os="illumos", chassis_type="stack"), "lab.stack.LabStackConnection"),
    (dict(os="netbsd", platform="p3", model="m7"), "lab.testsuite.LabBenchConnection"),
]


def run_python(code):
    res = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


def test_importing_the_package_does_not_load_the_registry():
    out = run_python("""
        import json, sys
        import mirvak, mirvak.plugins, mirvak.core.errors
        before = "mirvak.core.pluginmanager" in sys.modules
        import mirvak.manager
        print(json.dumps([before, "mirvak.core.pluginmanager" in sys.modules,
                          type(mirvak.manager.plugin_manager).__name__]))
    """)
    assert out == [False, True, "PluginManager"]


def test_builtin_discovery_fills_the_default_manager():
    out = run_python("""
        import json, sys, logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record.getMessage())
        logging.getLogger("mirvak").addHandler(Keep())
        logging.getLogger("mirvak").setLevel(logging.DEBUG)
        from mirvak.core.pluginmanager import PluginManager
        from mirvak.manager import plugin_manager
        empty = plugin_manager.plugins == {}
        PluginManager.discover_builtin_plugins()

        def records_of(node):
            for key, value in node.items():
                if key == "data":
                    for rec in value.values():
                        yield rec["cls"]
                else:
                    yield from records_of(value)

        classes = sorted(c.__module__ + "." + c.__qualname__
                         for c in records_of(plugin_manager.plugins))
        found = {}
        for reg in %s:
            cls = plugin_manager.get_plugin(**reg)
            found[json.dumps(reg, sort_keys=True)] = [
                cls.__module__ + "." + cls.__qualname__, cls("dut").connect()]
        plugin_modules = sorted(m for m in sys.modules if m.startswith("mirvak.plugins."))
        print(json.dumps(dict(empty=empty, classes=classes, found=found,
                              modules=plugin_modules, records=records)))
    """ % [reg for reg, _ in REGISTERED])
    assert out["empty"]
    expected = sorted("mirvak.plugins." + name for _, name in REGISTERED)
    # Every sample is registered, and nothing else (the test modules register a
    # hijacking class if they are ever imported).
    assert out["classes"] == expected
    for reg, name in REGISTERED:
        dotted, text = out["found"][json.dumps(reg, sort_keys=True)]
        assert dotted == "mirvak.plugins." + name
        assert text.startswith(name.rsplit(".", 1)[1] + ": ") and "dut" in text
    # testsuite is a plugin module; tests packages' modules and unittests are not.
    assert "mirvak.plugins.lab.testsuite" in out["modules"]
    assert "mirvak.plugins.generic.tests.test_connection" not in out["modules"]
    assert "mirvak.plugins.lab.unittests" not in out["modules"]
    # No sample replaces another.
    assert out["records"] == []


@pytest.mark.parametrize("module", [
    "mirvak.plugins.generic.tests.test_connection", "mirvak.plugins.lab.unittests",
])
def test_sample_test_modules_would_be_noticed(module):
    # Guards the test above: importing a test module directly must fail loudly.
    res = subprocess.run([sys.executable, "-c", "import " + module],
                         capture_output=True, text=True, timeout=120)
    assert res.returncode != 0
    assert "was imported by plugin discovery" in res.stderr
