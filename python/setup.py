"""Build of the extension tilevista._native.

The extension is the module's Python host (host/python/ in the project's tree)
compiled with the module's own sources (the host driver every host shares, the
pursuit and the basis kernels), so Python runs the very checks and pursuit that Octave and
MATLAB run. Sources, include folders and flags are those of the project's
module.build, which every build of the module reads; the BLAS and the kernel
generator of the block scoring are found as the Octave build finds them
(scripts/module-build): OpenBLAS when the compiler finds it, else the reference
BLAS, and the generated kernels where the compiler finds libxsmm's generator.

The module's sources live in the project's tree, beside this folder. The sdist
carries them: the files of the tree that module.build names and this build
reads, at their paths in the tree, under project/ (see SdistWithModule); built
from an unpacked sdist, this file reads them there.
"""

import os
import re
import subprocess
from pathlib import Path

import pybind11
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

HERE = Path(__file__).resolve().parent
# The project's tree, or the part of it an sdist carries.
CARRIED = HERE / "project"
ROOT = CARRIED if (CARRIED / "module.build").is_file() else HERE.parent
if not (ROOT / "module.build").is_file():
    raise SystemExit(
        f"tilevista: the module's sources are neither in {CARRIED} nor beside {HERE}; "
        "build the package from the TILEVISTA project's tree (pip install ./python) or from "
        "its sdist (make wheel)")


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


PROBE = ROOT / "scripts" / "module-build"


def probe(what):
    """The lines scripts/module-build prints for `what` ("blas", "kernels") with
    this build's compiler; none where it cannot run."""
    compiler = os.environ.get("CXX", "c++")
    try:
        return subprocess.run(["bash", str(PROBE), what, compiler],
                              capture_output=True, text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return []


# One compiler command per source, all with every group's include folders
# (the CMake build keeps the core's apart from the hosts').
MODULE_INCLUDES = (module_files("public_include") + module_files("call_include")
                   + module_files("python_include") + module_files("core_includes")
                   + module_files("dictionary_include") + module_files("codec_include"))
MODULE_SOURCES = (module_files("python") + module_files("call_layer") + module_files("core")
                  + module_files("dictionary") + module_files("codec"))
EXPORTS = module_files("python_exports")[0]


def headers(folders):
    """The headers of the folders, their subfolders' too: what the sources
    include."""
    return [h for folder in folders for h in sorted(folder.rglob("*.h"))]


def carried_files():
    """What the build reads from the project's tree, so what an sdist carries:
    the extension's and the module's sources and headers, the extension's
    exports, module.build, its probe and the version."""
    return (MODULE_SOURCES + headers(MODULE_INCLUDES)
            + [EXPORTS, ROOT / "module.build", ROOT / "VERSION", PROBE])


class SdistWithModule(sdist):
    """An sdist that carries the module's sources (carried_files) under
    project/, at their paths in the project's tree, and the project's licence
    at its top, where setuptools takes it into a wheel's metadata."""

    def make_release_tree(self, base_dir, files):
        own = [f for f in files
               if (HERE / f).resolve().is_relative_to(HERE)
               and not (HERE / f).resolve().is_relative_to(CARRIED)]
        super().make_release_tree(base_dir, own)
        for source in carried_files():
            target = Path(base_dir) / "project" / source.relative_to(ROOT)
            self.mkpath(str(target.parent))
            self.copy_file(str(source), str(target))
        if (ROOT / "LICENSE").is_file():
            self.copy_file(str(ROOT / "LICENSE"), base_dir)


class BuildExtInTemp(build_ext):
    """build_ext with its temporary folder made first: every source lies
    beside this folder ("../host/..."), so every object goes to a path through
    the temporary folder ("TEMP/../host/..."), which must exist."""

    def build_extensions(self):
        os.makedirs(self.build_temp, exist_ok=True)
        super().build_extensions()


# The generated kernels: the definition, the archive, the option that hides
# its symbols in the extension.
KERNELS = probe("kernels")
BLAS = probe("blas") or ["-lblas"]

native = Extension(
    "tilevista._native",
    sources=[_relative(f) for f in MODULE_SOURCES],
    depends=[_relative(f) for f in headers(MODULE_INCLUDES)] + [_relative(ROOT / "module.build")],
    include_dirs=[pybind11.get_include()] + [str(folder) for folder in MODULE_INCLUDES],
    define_macros=[(word[2:], None) for word in KERNELS if word.startswith("-D")],
    libraries=[word[2:] for word in BLAS] + setting("codec_libraries"),
    extra_objects=[word for word in KERNELS if not word.startswith("-")],
    language="c++",
    extra_compile_args=setting("cxxflags") + setting("optimize") + ["-fvisibility=hidden", "-pthread"],
    extra_link_args=["-pthread", f"-Wl,--version-script={EXPORTS}"]
    + [word for word in KERNELS if word.startswith("-Wl,")],
)

# Compile on every processor: the pursuit's sources take most of the install.
# The version is the project's, kept in VERSION alone.
setup(packages=["tilevista", "tilevista.codec"], ext_modules=[native],
      version=(ROOT / "VERSION").read_text().strip(),
      cmdclass={"sdist": SdistWithModule, "build_ext": BuildExtInTemp},
      options={"build_ext": {"parallel": os.cpu_count() or 1}})
