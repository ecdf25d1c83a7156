#!/usr/bin/env python3
"""Draws the atoms of a few dictionary families for atoms of length 8 and 16
into docs/dictionaries_atoms.png, from the dictionary layer's own numbers as
the program dictionary_matrix prints them (built by CMake beside the tests).

  /usr/bin/python3 tools/draw_dictionary_atoms.py [--program PATH] [--out PNG]

Each panel holds one term's atoms, the first at the top, each drawn as steps
over its samples around a baseline of its own.
"""

import argparse
import os
import subprocess

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TERMS = ["cosine:16", "sine:16", "legendre:8", "chebyshev:8", "haar", "daubechies:2",
         "daubechies:4", "cdf97", "random:8:1"]
LENGTHS = [8, 16]


def atoms(program, description, n):
    """The kept atoms of a description for length n, as lists of values."""
    out = subprocess.run([program, description, str(n)], check=True, capture_output=True,
                         text=True).stdout
    rows = [line.split() for line in out.splitlines()
            if not line.startswith("#") and not line.startswith("dropped")]
    return [[float(v) for v in row[3:]] for row in rows]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default=os.path.join(ROOT, "build", "standalone",
                                                          "dictionary_matrix"))
    parser.add_argument("--out", default=os.path.join(ROOT, "docs", "dictionaries_atoms.png"))
    args = parser.parse_args()
    figure, axes = plt.subplots(len(TERMS), len(LENGTHS), figsize=(9, 2.6 * len(TERMS)),
                                squeeze=False)
    for row, term in enumerate(TERMS):
        for col, n in enumerate(LENGTHS):
            ax = axes[row][col]
            columns = atoms(args.program, term, n)
            for k, atom in enumerate(columns):
                base = -k
                peak = max(1e-12, max(abs(v) for v in atom))
                ax.axhline(base, color="0.8", linewidth=0.6)
                ax.stairs([base + 0.45 * v / peak for v in atom], range(n + 1), baseline=None,
                          color=f"C{k % 10}", linewidth=1.4)
            ax.set_xlim(0, n)
            ax.set_ylim(-len(columns) + 0.4, 0.6)
            ax.set_yticks([])
            ax.set_xticks(range(0, n + 1, n // 4))
            ax.set_title(f"{term}, n = {n}: {len(columns)} atoms", fontsize=9)
    figure.tight_layout()
    figure.savefig(args.out, dpi=80)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
