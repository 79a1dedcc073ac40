"""The build's switch between the interpreter shortcuts and the public C API: a CPython newer than
the newest verified one gets the public API by itself, unless the shortcuts are asked for."""
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from helpers import REPO

cmake = shutil.which("cmake")


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(cmake is None, reason="cmake is not installed")
@pytest.mark.parametrize("newest, newest_free_threaded, given, expected, says_so", [
    ("3.99", "3.99", None, "ON", False),  # a verified version
    ("3.8", "3.8", None, "OFF", True),    # a newer one than verified
    ("3.8", "3.8", "ON", "ON", False),    # forced
    # verified with the GIL only: a free-threaded build of it is newer than verified
    ("3.99", "3.8", None, "OFF" if FREE_THREADED else "ON", FREE_THREADED),
])
def test_fast_paths_default_by_version(tmp_path, newest, newest_free_threaded, given, expected,
                                       says_so):
    args = [cmake, "-S", REPO, "-B", str(tmp_path), f"-DPython_EXECUTABLE={sys.executable}",
            f"-DMIRVAK_NEWEST_VERIFIED={newest}",
            f"-DMIRVAK_NEWEST_VERIFIED_FREE_THREADED={newest_free_threaded}"]
    if given is not None:
        args.append(f"-DMIRVAK_FAST_PATHS={given}")
    done = subprocess.run(args, capture_output=True, text=True, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    cache = (tmp_path / "CMakeCache.txt").read_text()
    assert re.search(rf"^MIRVAK_FAST_PATHS:BOOL={expected}$", cache, re.M)
    lines = [line for line in done.stdout.splitlines() if "newest verified" in line]
    assert len(lines) == (1 if says_so else 0), done.stdout


# What the interpreter shortcuts reach for; the public headers' own macros never name these.
INTERNALS = re.compile(r"_PyType_Lookup(Ref)?|_PyObject_GetDictPtr|_Py(ThreadState|Eval|Err|Dict|"
                       r"Function|Frame|Interpreter|Runtime)_?\w*")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_the_build_links_internals_only_with_the_shortcuts():
    from conftest import EXTENSION
    from mirvak.health import _walk

    listing = subprocess.run(["nm", "-D", "--undefined-only", EXTENSION], capture_output=True,
                             text=True, check=True).stdout
    internals = sorted(name for name in (line.split()[-1] for line in listing.splitlines())
                       if INTERNALS.fullmatch(name.split("@")[0]))
    if _walk.companion().fast_paths:
        # the listing is read as it should be (the free-threaded lookup holds what it finds)
        assert {"_PyType_Lookup", "_PyType_LookupRef"} & set(internals)
    else:
        assert internals == []
