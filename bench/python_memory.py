"""Memory of one call of tilevista.approximate on a whole image, as the
operating system sees it: the resident set before the call, its peak during
the call, after it, after the result is deleted, and after
tilevista.release_memory().

    PYTHONPATH=python /usr/bin/python3 bench/python_memory.py [SIDE ...] [--psnr DB] [--lean]
                                                              [--colour] [--json]
    PYTHONPATH=python /usr/bin/python3 bench/python_memory.py --loop CALLS [--psnr DB]

--loop: CALLS calls in a row on the bundled image itself (512 x 512), each
result dropped before the next call (a call while the last one's outputs are
still alive takes new memory for its own; the call after it finds theirs),
with the minor page faults and the seconds of each call and the bytes of its
outputs; one JSON line.

Each size runs in a fresh process (the peak is the process's own, reset before
the call through /proc/self/clear_refs). The image is the bundled camera
picture tiled to SIDE x SIDE pixels (grey, uint8; with --colour three channels,
the picture, and it flipped up-down and left-right, as bench/octave_memory.m
makes them), cut into 8 x 8 blocks, with
redundant cosine dictionaries of 16 atoms, at the target PSNR (default 40 dB),
all outputs requested (--lean: without the dual vectors and bases). Prints one
line per size, in MB (2^20 bytes), and the seconds of the call.
"""

import argparse
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def _rss_mb(field):
    """VmRSS or VmHWM of this process, in MB."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure(side, psnr_db, lean, colour=False):
    """One call on a side x side image; the resident set at each stage."""
    import numpy as np
    import tilevista
    from tilevista.pictures import read_image

    camera = read_image(ROOT / "data" / "camera.png")
    reps = -(-side // camera.shape[0])
    planes = [camera, camera[::-1, :], camera[:, ::-1]] if colour else [camera]
    img = np.dstack([np.tile(p, (reps, reps))[:side, :side] for p in planes])
    if not colour:
        img = img[:, :, 0]
    blocks, _ = tilevista.image_blocks(img, 8, 8)
    D = tilevista.cosine_dictionary(8, 16)
    tol = tilevista.tol_for_psnr(img, psnr_db, 255)
    gc.collect()
    before = _rss_mb("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak (VmHWM)
    started = time.perf_counter()
    lean_outputs = {"duals": False, "bases": False} if lean else {}
    r = tilevista.approximate(blocks, D, D, tol, **lean_outputs)
    seconds = time.perf_counter() - started
    peak, after = _rss_mb("VmHWM"), _rss_mb("VmRSS")
    atoms = r.total_atoms
    del r
    gc.collect()
    after_del = _rss_mb("VmRSS")
    tilevista.release_memory()
    return {"side": side, "atoms": atoms, "seconds": seconds, "before": before, "peak": peak,
            "after_call": after, "after_del": after_del, "after_release": _rss_mb("VmRSS")}


def loop(calls, psnr_db):
    """CALLS calls in a row on the bundled image: faults and seconds of each."""
    import resource
    import tilevista
    from tilevista.pictures import read_image

    img = read_image(ROOT / "data" / "camera.png")
    blocks, _ = tilevista.image_blocks(img, 8, 8)
    D = tilevista.cosine_dictionary(8, 16)
    tol = tilevista.tol_for_psnr(img, psnr_db, 255)
    fields = ("approximations", "y_indices", "x_indices", "duals", "coefficients", "orthonormal")
    rows, r = [], None
    for _ in range(calls):
        r = None
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        started = time.perf_counter()
        r = tilevista.approximate(blocks, D, D, tol)
        seconds = time.perf_counter() - started
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
        rows.append({"seconds": seconds, "faults": faults, "threads": r.threads,
                     "atoms": r.total_atoms,
                     "output_bytes": sum(a.nbytes for f in fields for a in getattr(r, f))})
    return {"host": "python", "psnr": psnr_db, "calls": rows}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sides", nargs="*", type=int, default=[1024, 2048])
    parser.add_argument("--psnr", type=float, default=40.0)
    parser.add_argument("--lean", action="store_true", help="decline the duals and bases")
    parser.add_argument("--colour", action="store_true", help="three channels")
    parser.add_argument("--json", action="store_true", help="one JSON line per size")
    parser.add_argument("--loop", type=int, metavar="CALLS", help="calls in a row")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.loop:
        print(json.dumps(loop(args.loop, args.psnr)))
        return
    if args.child:
        print(json.dumps(measure(args.sides[0], args.psnr, args.lean, args.colour)))
        return
    for side in args.sides:
        done = subprocess.run([sys.executable, __file__, str(side), "--psnr", str(args.psnr),
                               "--child"] + (["--lean"] if args.lean else [])
                              + (["--colour"] if args.colour else []),
                              check=True, capture_output=True, text=True)
        m = json.loads(done.stdout)
        if args.json:
            print(json.dumps(dict(m, host="python", psnr=args.psnr)))
            continue
        kind = "colour" if args.colour else "grey"
        print(f"{side} x {side} {kind}, {args.psnr:g} dB, {m['atoms']} atoms, "
              f"{m['seconds']:.2f} s: before {m['before']:.0f} MB, peak {m['peak']:.0f} MB, "
              f"after the call {m['after_call']:.0f} MB, after del r {m['after_del']:.0f} MB, "
              f"after release_memory() {m['after_release']:.0f} MB")


if __name__ == "__main__":
    main()
