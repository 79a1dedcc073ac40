"""Compile the pure-Python reference registry with Cython.

The result is an extension module named ``pluginmanager_cy`` in a build
directory of its own per interpreter, under ``benchmarks/_build/``.  It is
plain ``cythonize`` of the reference source with default directives
(language_level=3), compiled by the system compiler for the running
interpreter.  Cython (and setuptools, which drives the compiler) are
installed into the running interpreter with pip when they are missing.

    python benchmarks/build_cython.py      # prints the build directory
"""
import importlib
import os
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "reference", "pluginmanager.py")
MODULE = "pluginmanager_cy"


def build_dir():
    return os.path.join(HERE, "_build", sys.implementation.cache_tag)


def _ensure(module, requirement):
    try:
        importlib.import_module(module)
    except ImportError:
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q",
                               requirement])
        importlib.invalidate_caches()


def build(force=False):
    """Build the Cython module if it is missing or older than the reference
    source; return the directory to put on sys.path."""
    out_dir = build_dir()
    ext_path = os.path.join(out_dir,
                            MODULE + sysconfig.get_config_var("EXT_SUFFIX"))
    if (not force and os.path.exists(ext_path)
            and os.path.getmtime(ext_path) >= os.path.getmtime(SOURCE)):
        return out_dir

    _ensure("Cython", "cython")
    _ensure("setuptools", "setuptools")
    from Cython.Build import cythonize
    from setuptools import Extension
    from setuptools.dist import Distribution

    src_dir = os.path.join(out_dir, "src")
    os.makedirs(src_dir, exist_ok=True)
    # The module name comes from the file name, so compile a copy (kept out
    # of the import directory, where it would shadow nothing but confuse).
    pyx = os.path.join(src_dir, MODULE + ".py")
    shutil.copyfile(SOURCE, pyx)
    extensions = cythonize(
        [Extension(MODULE, [pyx])],
        compiler_directives={"language_level": 3},
        quiet=True,
    )
    dist = Distribution({"name": MODULE, "ext_modules": extensions})
    cmd = dist.get_command_obj("build_ext")
    cmd.build_lib = out_dir
    cmd.build_temp = os.path.join(out_dir, "tmp")
    cmd.inplace = False
    cmd.ensure_finalized()
    cmd.run()
    built = cmd.get_ext_fullpath(MODULE)
    if os.path.abspath(built) != os.path.abspath(ext_path):
        shutil.copyfile(built, ext_path)
    return out_dir


if __name__ == "__main__":
    print(build(force="--force" in sys.argv))
