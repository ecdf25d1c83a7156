#!/usr/bin/python3
"""Peer: per-block orthogonal matching pursuit of scikit-learn on the same image,
dictionaries and target as the module.

Each B x B block is a vector of length N = B*B (column-major, as the module
sees it) and is approximated on its own over the Kronecker dictionary
D = kron(Dx, Dy) (N x K*K, unit-norm columns), with sklearn's
orthogonal_mp_gram given the Gram matrix D'D and the correlations D'Y computed
beforehand. Its tol is a bound on each block's own squared residual, whereas the
module's bounds the total over all blocks; the per-block bound is therefore
tuned by bisection to the largest value whose total squared error still meets
the target's total. Only the final call, with that bound, is timed.

Prints one JSON object per target PSNR.
"""

import argparse
import json
import sys
import time
import warnings

import numpy as np
from sklearn.linear_model import orthogonal_mp_gram


def read_pgm(path):
    """8-bit binary PGM (P5) as a (height, width) float64 array."""
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 2
    if data[:2] != b"P5":
        raise ValueError(f"{path}: not a binary PGM file")
    while len(fields) < 3:
        while data[pos : pos + 1].isspace() or data[pos : pos + 1] == b"#":
            if data[pos : pos + 1] == b"#":
                pos = data.index(b"\n", pos)
            pos += 1
        start = pos
        while data[pos : pos + 1].isdigit():
            pos += 1
        fields.append(int(data[start:pos]))
    width, height, maxval = fields
    if maxval > 255:
        raise ValueError(f"{path}: only 8-bit PGM is read")
    pos += 1  # the single separator after the maximum value
    pixels = np.frombuffer(data, dtype=np.uint8, count=width * height, offset=pos)
    return pixels.reshape(height, width).astype(np.float64)


def cosine_dictionary(n, K):
    """n x K, column k = cos(pi (r + 1/2) k / K), unit norm (the toolbox's construction)."""
    r = np.arange(n)[:, None] + 0.5
    D = np.cos(np.pi * r * np.arange(K)[None, :] / K)
    return D / np.sqrt((D**2).sum(axis=0))


def block_columns(image, B):
    """N x Q matrix: each block as a column-major vector, blocks down the block columns."""
    H, W = image.shape
    d, nc = H // B, W // B
    # blocks[i, r, j, c] = image[i*B + r, j*B + c]
    blocks = image[: d * B, : nc * B].reshape(d, B, nc, B)
    # vector position c*B + r, block position i + d*j
    return blocks.transpose(3, 1, 2, 0).reshape(B * B, nc * d)


class PerBlockOmp:
    def __init__(self, Y, Dy, Dx):
        self.Y = Y
        self.D = np.kron(Dx, Dy)
        t0 = time.perf_counter()
        self.gram = self.D.T @ self.D
        self.xy = self.D.T @ Y
        self.norms = (Y**2).sum(axis=0)
        self.precompute_seconds = time.perf_counter() - t0

    def run(self, tau):
        """OMP of every block to squared residual tau: (seconds, atoms, total squared error)."""
        with warnings.catch_warnings():
            # Blocks that reach a zero residual early make sklearn warn.
            warnings.simplefilter("ignore", RuntimeWarning)
            t0 = time.perf_counter()
            coef = orthogonal_mp_gram(self.gram, self.xy, tol=tau, norms_squared=self.norms)
            seconds = time.perf_counter() - t0
        atoms = int(np.count_nonzero(coef))
        sse = float(((self.Y - self.D @ coef) ** 2).sum())
        return seconds, atoms, sse


def tune(omp, target_sse, Q, rel=1e-3):
    """Largest per-block bound (to rel) whose total squared error is below target_sse."""
    lo = target_sse / Q  # every block below it: the total is below the target
    _, _, sse = omp.run(lo)
    steps = 1
    if not sse < target_sse:
        raise RuntimeError("per-block OMP does not meet the target even at tol/Q")
    hi = 2.0 * lo
    while omp.run(hi)[2] < target_sse:
        lo, hi = hi, 2.0 * hi
        steps += 1
    steps += 1
    while hi - lo > rel * hi:
        mid = 0.5 * (lo + hi)
        steps += 1
        if omp.run(mid)[2] < target_sse:
            lo = mid
        else:
            hi = mid
    return lo, steps


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--block", type=int, default=8)
    parser.add_argument("--atoms", type=int, default=16)
    parser.add_argument("--psnr", type=float, nargs="+", default=[45.0])
    parser.add_argument("--label", default=None)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    image = read_pgm(args.image)
    B = args.block
    if image.shape[0] % B or image.shape[1] % B:
        sys.exit("sklearn_omp: image size is not a multiple of the block size")
    Y = block_columns(image, B)
    Q = Y.shape[1]
    D1 = cosine_dictionary(B, args.atoms)
    omp = PerBlockOmp(Y, D1, D1)
    for target in args.psnr:
        target_sse = image.size * 255.0**2 / 10 ** (target / 10)
        tau, steps = tune(omp, target_sse, Q)
        runs = [omp.run(tau) for _ in range(max(args.repeat, 1))]
        seconds, atoms, sse = min(runs)
        median = sorted(r[0] for r in runs)[len(runs) // 2]
        print(
            json.dumps(
                {
                    "tool": "sklearn_omp",
                    "label": args.label or args.image,
                    "image": args.image,
                    "height": image.shape[0],
                    "width": image.shape[1],
                    "block": B,
                    "dictionary_atoms": args.atoms,
                    "blocks": Q,
                    "target_psnr": target,
                    "tol": target_sse,
                    "block_tol": tau,
                    "bisection_calls": steps,
                    "atoms": atoms,
                    "atoms_per_block": atoms / Q,
                    "sparsity_ratio": image.size / atoms,
                    "sse": sse,
                    "psnr": 10 * np.log10(255.0**2 * image.size / sse),
                    "repeat": len(runs),
                    "seconds": seconds,
                    "seconds_median": median,
                    "precompute_seconds": omp.precompute_seconds,
                    "us_per_atom": seconds / atoms * 1e6,
                }
            ),
            flush=True,
        )


if __name__ == "__main__":
    main()
