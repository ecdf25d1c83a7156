"""The install routes: pip building the package offline into a fresh virtual
environment that sees Debian's packages, and, with an interpreter that lacks
what the build needs, one message that says what is missing and how to get
it. (The sdist and the wheel of `make wheel`, installed outside the tree, run
this suite: scripts/test-wheel.)"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import tilevista

# The package's folder: python/ in the project's tree, the top of an unpacked
# sdist.
PACKAGE = Path(__file__).resolve().parents[1]


def offline_env():
    """The environment of a pip run with no package index: everything must
    come from the package's folder and the interpreter's own packages."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    return env


def test_pip_installs_into_a_fresh_virtual_environment_offline(tmp_path):
    if Path(tilevista.__file__).parent != PACKAGE / "tilevista":
        pytest.skip("the suite runs against an installed package: its install is the check")
    venv = tmp_path / ".venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=120)
    env = offline_env()
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-build-isolation", str(PACKAGE)],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=900)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    # From another folder, the installed package runs the worked call.
    check = subprocess.run(
        [str(venv / "bin" / "python"), "-c",
         "import numpy as np, tilevista; "
         "r = tilevista.approximate([np.array([[3.0], [4.0]])], np.eye(2), np.ones((1, 1))); "
         "print(tilevista.__file__, tilevista.__version__, r.total_atoms, r.y_indices[0].tolist())"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert check.returncode == 0, check.stderr
    where, version, atoms, indices = check.stdout.split(" ", 3)
    assert Path(where).is_relative_to(venv)
    assert version == tilevista.__version__
    assert (atoms, indices.strip()) == ("2", "[1, 0]")


def test_a_build_without_pybind11_says_what_is_missing_and_how_to_get_it(tmp_path):
    # A virtual environment that does not see Debian's packages has pip and
    # setuptools, not pybind11, wheel or NumPy: the situation of another
    # interpreter first on PATH (pyenv, conda).
    venv = tmp_path / "bare"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-build-isolation",
                          str(PACKAGE)],
                         cwd=tmp_path, env=offline_env(), capture_output=True, text=True,
                         timeout=300)
    out = pip.stdout + pip.stderr
    assert pip.returncode != 0
    assert "Traceback" not in out, out
    said = [line.strip() for line in out.splitlines() if "tilevista: cannot build" in line]
    assert len(said) == 1, out
    assert f"{venv}/bin/python" in said[0] and "pybind11" in said[0] and "numpy" in said[0], out
    for advice in ("python3-pybind11", "python3-numpy", "/usr/bin/python3 -m venv "
                   "--system-site-packages", "without --no-build-isolation"):
        assert advice in out, out
