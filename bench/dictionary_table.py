"""How sparse the sample images become under each dictionary family and mix:
pixels per atom at 35 and 40 dB, and the time of the calls.

    PYTHONPATH=python /usr/bin/python3 bench/dictionary_table.py [IMAGES ...]
        [--out MD] [--json FILE] [--docs] [--repeat R] [--quick]

Every image (default: the sample images, bench/sample_images.py),
read as grey (8 bits, peak 255), is cut into 8 x 8 blocks and approximated by
tilevista.approximate_image with the same description for the rows and the
columns, once at each target PSNR. A row gives, per image and target, the
image's pixels over the atoms the call took, then the gain of that count over
cosine:16 on camera.png at 40 dB, the seconds of the 40 dB calls of all
images together and their time per atom (the seconds over the atoms). The
calls are deterministic: the 40 dB call is made --repeat times (default 3)
and its shortest time kept, as the machine may be shared.

Writes the markdown table to --out (default build/bench/dictionary_table.md)
and the numbers to --json; with --docs also into docs/dictionaries.md, between
its table markers. run_benchmarks runs it; --quick takes two dictionaries and
the targets only on the first image, to check the harness.
"""

import argparse
import json
import re
import time
from pathlib import Path

import numpy as np

import tilevista
from sample_images import sample_images
from tilevista.image import ImageOptions, run_image

ROOT = Path(__file__).resolve().parents[1]
BLOCK = 8
TARGETS = (35.0, 40.0)
BASELINE = "cosine:16"
REFERENCE_IMAGE = "camera"
# Each family alone (random with seed 1), then the mixes.
FAMILIES = ["cosine:16", "cosine:32", "sine:16", "legendre:8", "chebyshev:8", "haar",
            "daubechies:2", "daubechies:4", "cdf97", "delta", "random:16:1"]
MIXES = [
    "cosine:16+delta",
    "cosine:16+haar",
    "cosine:16+daubechies:2+cdf97",
    "cosine:32+delta",
    "cosine:16+legendre:8+haar+delta",
    "cosine:32+sine:16+legendre:8+haar+daubechies:2+delta",
    "cosine:48+sine:24+legendre:8+haar+daubechies:2+delta",
    "cosine:32+sine:32+legendre:8+haar+daubechies:2+daubechies:3+cdf97+delta",
    "cosine:64+sine:32+legendre:8+haar+daubechies:2+delta",
    "cosine:64+sine:32+legendre:8+chebyshev:8+haar+daubechies:2+daubechies:3+daubechies:4"
    "+cdf97+delta",
    "cosine:128+sine:64+legendre:8+haar+daubechies:2+daubechies:3+daubechies:4+cdf97+delta",
]
START = "<!-- dictionary table: bench/dictionary_table.py --docs writes what follows -->"
END = "<!-- end of the dictionary table -->"


def grey(path):
    """An image file as 8-bit grey values."""
    from PIL import Image
    with Image.open(path) as picture:
        return np.asarray(picture.convert("L"))


def measure(images, descriptions, targets, repeat):
    """Rows: description, atoms per direction, and per image and target the
    atoms, pixels and seconds of a call (the shortest of ``repeat`` at the
    highest target)."""
    rows = []
    for description in descriptions:
        row = {"dictionary": description,
               "atoms": tilevista.dictionary(description, BLOCK).matrix.shape[1], "cells": {}}
        for name, img in images.items():
            for target in targets:
                options = ImageOptions(block=BLOCK, dictionary=description, psnr_db=target)
                seconds = float("inf")
                for _ in range(repeat if target == max(targets) else 1):
                    began = time.perf_counter()
                    run = run_image(img, options)
                    seconds = min(seconds, time.perf_counter() - began)
                row["cells"][f"{name} {target:g}"] = {
                    "atoms": int(run.result.total_atoms), "pixels": int(img.size),
                    "psnr": run.approximation.psnr, "seconds": seconds}
            print(f"dictionary_table: {description} on {name} done", flush=True)
        rows.append(row)
    return rows


def table(rows, names, targets):
    """The markdown table of the rows."""
    top = max(targets)
    cell = lambda row, name, t: row["cells"][f"{name} {t:g}"]
    ppa = lambda c: c["pixels"] / c["atoms"] if c["atoms"] else float("inf")
    base = next((r for r in rows if r["dictionary"] == BASELINE), None)
    reference = REFERENCE_IMAGE if REFERENCE_IMAGE in names else names[0]
    heads = [f"{n} {t:g}" for n in names for t in targets]
    lines = ["| dictionary | atoms | " + " | ".join(heads) +
             f" | × {BASELINE} ({reference}, {top:g} dB) | s ({top:g} dB, all) | µs/atom |",
             "|---|---|" + "---|" * (len(heads) + 3)]
    for row in rows:
        values = [f"{ppa(cell(row, n, t)):.2f}" for n in names for t in targets]
        gain = (f"{ppa(cell(row, reference, top)) / ppa(cell(base, reference, top)):.2f}"
                if base else "")
        seconds = sum(cell(row, n, top)["seconds"] for n in names)
        atoms = sum(cell(row, n, top)["atoms"] for n in names)
        lines.append(f"| `{row['dictionary']}` | {row['atoms']} | " + " | ".join(values) +
                     f" | {gain} | {seconds:.2f} | {1e6 * seconds / max(atoms, 1):.2f} |")
    return "\n".join(lines) + "\n"


def into_docs(text):
    """Replace the table between the markers of docs/dictionaries.md."""
    docs = ROOT / "docs" / "dictionaries.md"
    page = docs.read_text()
    pattern = re.compile(re.escape(START) + ".*?" + re.escape(END), re.S)
    if not pattern.search(page):
        raise SystemExit(f"dictionary_table: {docs} has no table markers")
    docs.write_text(pattern.sub(lambda _: f"{START}\n{text}{END}", page))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("images", nargs="*")
    parser.add_argument("--out", default=str(ROOT / "build" / "bench" / "dictionary_table.md"))
    parser.add_argument("--json")
    parser.add_argument("--docs", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if not args.images:
        args.images = [str(p) for p in sample_images()]
    paths = args.images[:1] if args.quick else args.images
    images = {Path(p).stem: grey(p) for p in paths}
    descriptions = [BASELINE, "haar"] if args.quick else FAMILIES + MIXES
    rows = measure(images, descriptions, TARGETS, 1 if args.quick else max(args.repeat, 1))
    text = table(rows, list(images), TARGETS)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1))
    if args.docs:
        into_docs(text)
    print(text)


if __name__ == "__main__":
    main()
