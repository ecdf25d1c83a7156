"""What the rate-distortion curve of a call costs: one call of
tilevista.approximate on an image with and without curve=True, best of
several, in one process.

    PYTHONPATH=python /usr/bin/python3 bench/python_curve.py IMAGE.pgm [--psnr DB] [--repeat R]

8 x 8 blocks, redundant cosine dictionaries of 16 atoms, tol for the target
PSNR (default 45 dB, peak 255). Prints one JSON line: the seconds of the best
call without and with the curve, the atoms, and the curve's length.
"""

import argparse
import json
import time

import numpy as np

import tilevista


def read_pgm(path):
    """An 8-bit binary PGM (P5) as a uint8 array."""
    with open(path, "rb") as f:
        data = f.read()
    fields = data.split(maxsplit=4)
    width, height = int(fields[1]), int(fields[2])
    return np.frombuffer(fields[4][: width * height], np.uint8).reshape(height, width)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--psnr", type=float, default=45.0)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    img = read_pgm(args.image)
    blocks, _ = tilevista.image_blocks(img, 8, 8)
    D = tilevista.cosine_dictionary(8, 16)
    tol = tilevista.tol_for_psnr(img, args.psnr, 255)
    best = {False: float("inf"), True: float("inf")}
    atoms = length = 0
    tilevista.approximate(blocks, D, D, tol)  # warm-up
    for _ in range(args.repeat):
        for curve in (False, True):
            started = time.perf_counter()
            r = tilevista.approximate(blocks, D, D, tol, curve=curve)
            best[curve] = min(best[curve], time.perf_counter() - started)
            atoms = r.total_atoms
            if curve:
                length = len(r.curve.energy)
            del r
    print(json.dumps({"tool": "curve_cost", "psnr": args.psnr, "atoms": atoms,
                      "curve_atoms": length, "seconds": best[False],
                      "seconds_curve": best[True]}))


if __name__ == "__main__":
    main()
