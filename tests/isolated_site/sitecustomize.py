"""Started through PYTHONPATH in a subprocess that imports a temporary host package.

An editable install serves mirvak from the source tree ahead of sys.path (an import finder
at the front of sys.meta_path, and the source tree's src/ added to sys.path by its .pth
file), so the host package would lose to the source tree.  With a regular install the host
package wins, being ahead of site-packages; this undoes what the editable install added, so
both installs give the subprocess the same mirvak.  Then it gets out of the way: its own
folder leaves sys.path, and a sitecustomize that it hides (Debian ships one) still runs.
"""
import importlib.machinery
import importlib.util
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCE = os.path.join(os.path.dirname(os.path.dirname(_HERE)), "src")


def _in_source(location):
    return location is not None and os.path.abspath(location).startswith(_SOURCE + os.sep)


def _serves_source(finder):
    """Whether a finder other than the interpreter's own answers mirvak from the source tree."""
    if finder in (importlib.machinery.BuiltinImporter, importlib.machinery.FrozenImporter,
                  importlib.machinery.PathFinder):
        return False
    try:
        spec = finder.find_spec("mirvak", None)
    except Exception:
        return False
    return spec is not None and (
        _in_source(spec.origin)
        or any(_in_source(entry) for entry in spec.submodule_search_locations or ()))


sys.meta_path[:] = [finder for finder in sys.meta_path if not _serves_source(finder)]
sys.path[:] = [entry for entry in sys.path
               if os.path.abspath(entry or os.curdir) not in (_SOURCE, _HERE)]
importlib.invalidate_caches()

_hidden = importlib.machinery.PathFinder.find_spec("sitecustomize", sys.path)
if _hidden is not None and _hidden.loader is not None:
    _module = importlib.util.module_from_spec(_hidden)
    sys.modules[__name__] = _module
    _hidden.loader.exec_module(_module)
