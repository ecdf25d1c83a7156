"""The package's build back end: setuptools', once the build finds what it needs.

Where the interpreter cannot import it (another Python than Debian's first on
PATH, a virtual environment without Debian's packages, pip's
--no-build-isolation without them), the build stops with one message that
names what is missing and how to get it, rather than a traceback from inside
setuptools or the compiler. With build isolation, pip has installed what
pyproject.toml requires before these hooks run, and they pass straight on.
"""

import importlib.util
import sys
import sysconfig
from pathlib import Path

# The modules the build imports: setuptools and pybind11 (setup.py) for every
# build, wheel for a wheel. NumPy is not among them: the extension reaches
# NumPy's arrays through pybind11 at run time, without NumPy's C headers.
SDIST_MODULES = ["setuptools", "pybind11"]
WHEEL_MODULES = ["setuptools", "wheel", "pybind11"]
# Everything the build and the package take from Debian, where the interpreter
# is Debian's.
DEBIAN_PACKAGES = ("python3-dev python3-numpy python3-pybind11 python3-setuptools "
                   "python3-wheel python3-venv python3-pip")


def missing(modules: list[str], compiles: bool) -> list[str]:
    """What a build cannot find with this interpreter.

    Parameters
    ----------
    modules : list of str
        The modules the build imports.
    compiles : bool
        Whether it compiles the extension, which needs the interpreter's C
        headers.

    Returns
    -------
    list of str
        The missing modules and headers, in that order; empty when none is.
    """
    lacking = [name for name in modules if importlib.util.find_spec(name) is None]
    if compiles and not (Path(sysconfig.get_paths()["include"]) / "Python.h").is_file():
        lacking.append("the Python headers (Python.h)")
    return lacking


def require(modules: list[str], compiles: bool) -> None:
    """Stops the build with one message when something it needs is missing.

    Parameters
    ----------
    modules, compiles
        As for `missing`.

    Raises
    ------
    SystemExit
        With the message: what is missing, the Debian packages and interpreter
        that have it, and pip's own route with the network.
    """
    lacking = missing(modules, compiles)
    if not lacking:
        return
    runs = "" if importlib.util.find_spec("numpy") else " (and numpy, which tilevista runs with)"
    raise SystemExit(
        f"tilevista: cannot build: {sys.executable} lacks {', '.join(lacking)}, "
        f"which the build needs{runs}.\n"
        "Build it with Debian's interpreter, in a virtual environment that sees Debian's packages:\n"
        f"    sudo apt-get install {DEBIAN_PACKAGES}\n"
        "    /usr/bin/python3 -m venv --system-site-packages .venv\n"
        "    .venv/bin/pip install --no-build-isolation <the same sdist, wheel or folder>\n"
        "or, with the network, install without --no-build-isolation: pip then fetches "
        "what the build needs.")


def _hook(name: str, modules: list[str], compiles: bool):
    """The PEP 517 hook `name`: setuptools' own, after `require`."""
    def hook(*args, **kwargs):
        require(modules, compiles)
        from setuptools import build_meta
        return getattr(build_meta, name)(*args, **kwargs)
    hook.__name__ = hook.__qualname__ = name
    hook.__doc__ = f"setuptools' {name}, once the build finds what it needs."
    return hook


build_sdist = _hook("build_sdist", SDIST_MODULES, False)
get_requires_for_build_sdist = _hook("get_requires_for_build_sdist", SDIST_MODULES, False)
build_wheel = _hook("build_wheel", WHEEL_MODULES, True)
get_requires_for_build_wheel = _hook("get_requires_for_build_wheel", WHEEL_MODULES, True)
prepare_metadata_for_build_wheel = _hook("prepare_metadata_for_build_wheel", WHEEL_MODULES, True)
build_editable = _hook("build_editable", WHEEL_MODULES, True)
get_requires_for_build_editable = _hook("get_requires_for_build_editable", WHEEL_MODULES, True)
prepare_metadata_for_build_editable = _hook("prepare_metadata_for_build_editable",
                                             WHEEL_MODULES, True)
