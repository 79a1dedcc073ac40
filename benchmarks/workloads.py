"""The workloads that the benchmarks measure, and how a worker process gets
an implementation and the registry to run them on.

Shared by run.py (timings) and instructions.py (callgrind), and kept light
to import, since every measured process imports it.
"""
from __future__ import annotations

import math
import os
import sys
from types import ModuleType
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

# Module of each implementation ("baseline" is the native module of another
# revision, imported from a directory of its own).
IMPLS = {
    "native": "mirvak.core.pluginmanager",
    "python": "pluginmanager",
    "python-unmended": "pluginmanager_unmended",
    "cython": "pluginmanager_cy",
    "baseline": "mirvak.core.pluginmanager",
}
# What a run compares when --impl is not given.
DEFAULT_IMPLS = ["native", "python", "cython"]

# Operating systems the built-in list does not know, next to those it does.
EXTRA_OS = ["haiku", "plan9", "minix"]

# name, what it shows, statement timed (names: pm, CIE, cls, pm_<size>).
WORKLOADS = [
    ("get_platform_hit", "get_plugin, hit at platform level",
     "pm.get_plugin(os='freebsd', platform='p3')"),
    ("get_fallback", "get_plugin, falls back past unknown platform+model",
     "pm.get_plugin(os='freebsd', platform='zz9', model='qq1')"),
    ("get_deep4", "get_plugin, 4 levels, chassis dual_rp",
     "pm.get_plugin(os='freebsd', platform='p3', model='m4', os_flavor='f1',"
     " chassis_type='dual_rp')"),
    ("get_not_found", "get_plugin raising ConnectionInfraError",
     "try:\n"
     "    pm.get_plugin(os='freebsd', platform='p3', chassis_type='stack')\n"
     "except CIE:\n"
     "    pass"),
    ("validate_arguments", "validate_arguments alone",
     "pm.validate_arguments('freebsd', 'p3', 'm4', 'single_rp')"),
    ("register_replace", "register_plugin replacing a record",
     "pm.register_plugin(cls, os='freebsd', platform='p3', model='m4')"),
    ("register_unregister", "register + unregister on a new node",
     "pm.register_plugin(cls, os='freebsd', platform='p3', model='fresh')\n"
     "pm.unregister_plugin(os='freebsd', platform='p3', model='fresh')"),
    ("repr_1k", "repr() of the 1,000-record manager", "repr(pm)"),
]


def import_impl(impl: str, site: str | None = None) -> ModuleType:
    """Import the implementation by module name (the worker's only
    implementation-specific step).  `site`, when given, is a directory that
    holds a whole installed ``mirvak`` package (a build of another revision);
    it goes first on sys.path, so that package is the one imported."""
    sys.path.insert(0, HERE)
    if site is not None:
        sys.path.insert(0, site)
    try:
        import mirvak  # noqa: F401
    except ImportError:
        sys.path.insert(0, os.path.join(REPO, "src"))
    if impl in ("python", "python-unmended"):
        sys.path.insert(0, os.path.join(HERE, "reference"))
    elif impl == "cython":
        import build_cython
        sys.path.insert(0, build_cython.build_dir())
    import importlib
    return importlib.import_module(IMPLS[impl])


def registry_records(n: int) -> list[tuple[type, str, str | None, str | None]]:
    """n registrations (cls, os, platform, model) spread over several
    operating systems, each with platforms and models below it."""
    import bench_classes
    from mirvak.plugins import supported_os
    oses = list(supported_os) + EXTRA_OS
    per_os = int(math.ceil(n / float(len(oses))))
    n_platforms = int(math.ceil(math.sqrt(per_os)))
    n_models = int(math.ceil(per_os / float(n_platforms))) - 1
    classes = bench_classes.CLASSES
    records: list[tuple[type, str, str | None, str | None]] = []
    for os_name in oses:
        records.append((classes[len(records) % len(classes)], os_name,
                        None, None))
        for p in range(n_platforms):
            platform = "p%d" % p
            records.append((classes[len(records) % len(classes)], os_name,
                            platform, None))
            for m in range(n_models):
                records.append((classes[len(records) % len(classes)],
                                os_name, platform, "m%d" % m))
    return records[:n]


def build_manager(mod: ModuleType,
                  records: list[tuple[type, str, str | None, str | None]]
                  ) -> Any:
    """A manager of implementation `mod` holding `records`."""
    pm = mod.PluginManager()
    for cls, os_name, platform, model in records:
        pm.register_plugin(cls, os=os_name, platform=platform, model=model)
    return pm


def check_results(ns: dict[str, Any]) -> None:
    """Make sure every workload does what its name says before timing it."""
    import bench_classes as bc
    pm, CIE = ns["pm"], ns["CIE"]
    hit = pm.get_plugin(os='freebsd', platform='p3')
    assert hit is pm.plugins["freebsd"]["p3"]["data"]["single_rp"]["cls"]
    fallback = pm.get_plugin(os='freebsd', platform='zz9', model='qq1')
    assert fallback is pm.plugins["freebsd"]["data"]["single_rp"]["cls"]
    deep = pm.get_plugin(os='freebsd', platform='p3', model='m4',
                         os_flavor='f1', chassis_type='dual_rp')
    assert deep is bc.FlavourConnection
    try:
        pm.get_plugin(os='freebsd', platform='p3', chassis_type='stack')
    except CIE as exc:
        assert str(exc) == "Plugin data not found for (freebsd/p3), type: stack "
    else:
        raise AssertionError("lookup for 'stack' did not fail")


def workload_namespace(mod: ModuleType,
                       errors: dict[str, str]) -> dict[str, Any]:
    """The names the workload statements use: the 1,000-record manager `pm`
    (with a four-level record under three operating systems), the error
    class `CIE` and a connection class `cls`.  `pm` is missing when the
    implementation cannot build the registry; problems land in `errors`."""
    from mirvak.core.errors import ConnectionInfraError
    import bench_classes as bc

    ns: dict[str, Any] = {"CIE": ConnectionInfraError, "cls": bc.DualConnection}
    try:
        pm = build_manager(mod, registry_records(1000))
        for os_name in ["freebsd", "linux", "haiku"]:
            pm.register_plugin(bc.FlavourConnection, os=os_name, platform="p3",
                               model="m4", os_flavor="f1",
                               chassis_type="dual_rp")
        ns["pm"] = pm
    except NotImplementedError:
        errors["setup"] = "raised NotImplementedError"
    else:
        try:
            check_results(ns)
        except Exception as exc:  # measured anyway, but flagged in the report
            errors["checks"] = "wrong result: %s: %s" % (
                type(exc).__name__, exc)
    return ns


