"""Build of the extension tilevista._native.

The extension compiles the module's own sources (the checks, sizing and run
of a call that every host shares, the pursuit and the basis kernels) with its
own host of them, so Python runs the very checks and pursuit that Octave and
MATLAB run. It must be built from the project's tree: the sources live beside
this folder, not inside it. Sources, include
folders and flags are those of the project's module.build, which every build of
the module reads; the BLAS and the kernel generator of the block scoring are
found as the Octave build finds them (scripts/module-build): OpenBLAS when the
compiler finds it, else the reference BLAS, and the generated kernels where
the compiler finds libxsmm's generator.
"""

import os
import re
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


def setting(name):
    """The words of one setting of module.build."""
    text = (ROOT / "module.build").read_text()
    found = re.search(rf"^{name} *=(.*)$", text, re.MULTILINE)
    if found is None:
        raise SystemExit(f"tilevista: module.build has no setting '{name}'")
    return found.group(1).split()


def module_files(name):
    """The files or folders a setting of module.build names, patterns expanded."""
    files = []
    for pattern in setting(name):
        found = sorted(ROOT.glob(pattern))
        if not found:
            raise SystemExit(f"tilevista: module.build: '{pattern}' names no file")
        files.extend(found)
    return files


def probe(what):
    """The lines scripts/module-build prints for `what` ("blas", "kernels") with
    this build's compiler; none where it cannot run."""
    compiler = os.environ.get("CXX", "c++")
    try:
        return subprocess.run(["bash", str(ROOT / "scripts" / "module-build"), what, compiler],
                              capture_output=True, text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return []


EXTENSION_FOLDERS = [HERE / "src"]
INCLUDE_FOLDERS = EXTENSION_FOLDERS + module_files("includes")


def module_sources():
    """The extension's C++ sources: its own (every .cpp of its folder, so that
    new files are picked up), and the module's call layer and core."""
    files = [f for folder in EXTENSION_FOLDERS for f in sorted(folder.glob("*.cpp"))]
    files += module_files("call_layer") + module_files("core")
    return [_relative(f) for f in files]


def module_headers():
    """Headers the sources include, so that a change to one rebuilds the extension."""
    return [_relative(h) for folder in INCLUDE_FOLDERS for h in sorted(folder.glob("*.h"))]


# The generated kernels: the definition, the archive, the option that hides
# its symbols in the extension.
KERNELS = probe("kernels")
BLAS = probe("blas") or ["-lblas"]

native = Extension(
    "tilevista._native",
    sources=module_sources(),
    depends=module_headers() + [str(ROOT / "module.build")],
    include_dirs=[pybind11.get_include()] + [str(folder) for folder in INCLUDE_FOLDERS],
    define_macros=[(word[2:], None) for word in KERNELS if word.startswith("-D")],
    libraries=[word[2:] for word in BLAS],
    extra_objects=[word for word in KERNELS if not word.startswith("-")],
    language="c++",
    extra_compile_args=setting("cxxflags") + setting("optimize") + ["-fvisibility=hidden", "-pthread"],
    extra_link_args=["-pthread", f"-Wl,--version-script={HERE / 'src' / 'exports.map'}"]
    + [word for word in KERNELS if word.startswith("-Wl,")],
)

# Compile on every processor: the pursuit's sources take most of the install.
# The version is the project's, kept in VERSION alone.
setup(packages=["tilevista"], ext_modules=[native],
      version=(ROOT / "VERSION").read_text().strip(),
      options={"build_ext": {"parallel": os.cpu_count() or 1}})
