"""Build of the extension tilevista._native.

The extension compiles the module's own sources (the checks, sizing and run
of a call that every host shares, the pursuit and the basis kernels) with its
own host of them, so Python runs the very checks and pursuit that Octave and
MATLAB run. It must be built from the project's
tree: the sources live beside this folder, not inside it. The BLAS is linked as
the Octave build links it: OpenBLAS when the compiler finds it, else the
reference BLAS.
"""

import os
import subprocess
from pathlib import Path

import pybind11
from setuptools import Extension, setup

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
if not (ROOT / "host" / "TILEVISTA_Mex.cpp").is_file():
    raise SystemExit(
        f"tilevista: the module's sources are not beside {HERE}; "
        "build the package from the TILEVISTA project's tree (pip install ./python)"
    )


def _relative(path):
    """A source path as setuptools wants it: relative to this folder, with /."""
    return Path(os.path.relpath(path, HERE)).as_posix()


def module_sources():
    """The extension's C++ sources: its own, the calls' checks, sizing and run,
    the pursuit and the basis kernels (every .cpp of those folders, so that new
    files are picked up)."""
    folders = [HERE / "src", ROOT / "host" / "call", ROOT / "pursuit", ROOT / "basis"]
    files = []
    for folder in folders:
        files.extend(sorted(folder.glob("*.cpp")))
    return [_relative(f) for f in files]


def module_headers():
    """Headers the sources include, so that a change to one rebuilds the extension."""
    folders = [HERE / "src", ROOT / "host" / "call", ROOT / "pursuit", ROOT / "basis",
               ROOT / "blas"]
    return [_relative(h) for folder in folders for h in sorted(folder.glob("*.h"))]


def blas_library():
    """openblas when the C++ compiler can link it, otherwise blas."""
    compiler = os.environ.get("CXX", "c++").split()
    try:
        found = subprocess.run(compiler + ["-print-file-name=libopenblas.so"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        found = ""
    return "openblas" if os.path.isabs(found) else "blas"


native = Extension(
    "tilevista._native",
    sources=module_sources(),
    depends=module_headers(),
    include_dirs=[pybind11.get_include(), str(HERE / "src"), str(ROOT / "host" / "call"),
                  str(ROOT / "blas"), str(ROOT / "pursuit"), str(ROOT / "basis")],
    libraries=[blas_library()],
    language="c++",
    # The Octave build's optimisation level, so that both vectorise alike.
    extra_compile_args=["-std=c++17", "-O3", "-Wall", "-Wextra", "-fvisibility=hidden", "-pthread"],
    extra_link_args=["-pthread", f"-Wl,--version-script={HERE / 'src' / 'exports.map'}"],
)

# Compile on every processor: the pursuit's sources take most of the install.
# The version is the project's, kept in VERSION alone.
setup(packages=["tilevista"], ext_modules=[native],
      version=(ROOT / "VERSION").read_text().strip(),
      options={"build_ext": {"parallel": os.cpu_count() or 1}})
