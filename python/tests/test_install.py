"""The README's install route: a virtual environment that sees Debian's
packages, and pip building the package from the project's tree, offline."""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_pip_installs_into_a_fresh_virtual_environment_offline(tmp_path):
    venv = tmp_path / ".venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=120)
    # No package index: everything must come from the tree and Debian.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PIP_NO_INDEX"] = "1"
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-build-isolation", "./python"],
                         cwd=ROOT, env=env, capture_output=True, text=True, timeout=900)
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
    assert version == (ROOT / "VERSION").read_text().strip()
    assert (atoms, indices.strip()) == ("2", "[1, 0]")
