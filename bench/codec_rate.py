#!/usr/bin/python3
"""Rate against PSNR of the codec, JPEG and JPEG 2000 on the sample images.

  PYTHONPATH=python bench/codec_rate.py [--images PNG...] [--out DIR] [--psnr DB...]
                      [--block B] [--dictionary D] [--colour] [--quick] [--docs]
                      [--timing-only]

The measurement is the package's comparison, tilevista.codec.compare (the
one place of its rules: how each coder is measured, the sweeps, the
Bjøntegaard delta rate), run in this process on one thread over the sample
images (bench/sample_images.py) at a dense set of targets. Then the times:
the bundled image (data/camera.png) encoded at 36 dB on one thread five
times (the pursuit call's time and the rest's, the least of each) and
decoded (the least of three), once as the process stands and once in a
process whose heap keeps what it frees (glibc's trim and mmap thresholds at
256 MB): where a page fault is dear, as in a VM, the pursuit call's time
depends on whether its storage comes back from the system, which the other
figure leaves out. --timing-only measures the times alone and writes nothing.

Results go to DIR/codec_rate.json and DIR/codec_rate.md, the comparison's
points.csv, summary.md and plots into DIR; --docs copies the JSON and the
plot of every image (rate.png, as docs/codec_rate.png) into docs/
(docs/codec.md quotes the table). A run starts afresh: DIR's points.csv is
removed first, so that the table is of one run.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

# One BLAS thread: set before NumPy and the module load OpenBLAS, which reads
# it once.
os.environ["OPENBLAS_NUM_THREADS"] = "1"

from sample_images import sample_images  # noqa: E402
from tilevista.codec import decode, encode_report  # noqa: E402
from tilevista.codec.compare import load_image, run_compare  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TARGETS = [29.0, 31.0, 33.0, 35.0, 36.0, 37.0, 39.0, 41.0]


def timing(png):
    """The bundled image at 36 dB on one thread: encode five times, decode."""
    img = load_image(png, "L")
    runs = [encode_report(img, psnr=36.0, threads=1) for _ in range(5)]
    decoding = []
    for _ in range(3):
        started = time.perf_counter()
        decode(runs[0].data)
        decoding.append(time.perf_counter() - started)
    pursuit = min(r.report.pursuit_seconds for r in runs)
    coding = min(r.report.coding_seconds for r in runs)
    return {"image": png, "psnr": runs[0].report.psnr, "bpp": runs[0].report.bpp,
            "pursuit_s": pursuit, "coding_s": coding, "coding_share": coding / pursuit,
            "decode_s": min(decoding)}


# glibc keeps freed storage below these thresholds instead of handing it back.
KEPT_HEAP = "glibc.malloc.trim_threshold=268435456:glibc.malloc.mmap_threshold=268435456"


def kept_heap_timing():
    """timing() in a child process whose heap keeps what it frees."""
    env = dict(os.environ, GLIBC_TUNABLES=KEPT_HEAP)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--timing-only", "--json"],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def timing_line(t, heap="the heap as it stands"):
    """The times of timing() in a sentence."""
    return (f"Bundled image at 36 dB ({t['psnr']:.2f} dB, {t['bpp']:.3f} bpp), one thread, "
            f"{heap}: pursuit call {t['pursuit_s']:.3f} s, the rest of the encoding "
            f"{t['coding_s']:.3f} s ({100 * t['coding_share']:.0f} % of the pursuit), "
            f"decoding {t['decode_s']:.4f} s.\n")


def timing_lines(t, kept):
    """Both timings in sentences."""
    return timing_line(t) + timing_line(kept, "a heap that keeps what it frees")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", nargs="+", default=[str(p) for p in sample_images()])
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench", "codec"))
    parser.add_argument("--psnr", nargs="+", type=float, default=DEFAULT_TARGETS)
    parser.add_argument("--block", type=int, default=8)
    parser.add_argument("--dictionary", default=None)
    parser.add_argument("--colour", action="store_true")
    parser.add_argument("--quick", action="store_true", help="two images only")
    parser.add_argument("--docs", action="store_true", help="copy the results into docs/")
    parser.add_argument("--timing-only", action="store_true",
                        help="measure the times on the bundled image alone")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    camera = os.path.join(ROOT, "data", "camera.png")
    if args.timing_only:
        t = timing(camera)
        print(json.dumps(t) if args.json else timing_lines(t, kept_heap_timing()), end="")
        return
    os.makedirs(args.out, exist_ok=True)
    if os.path.exists(os.path.join(args.out, "points.csv")):
        os.remove(os.path.join(args.out, "points.csv"))
    images = args.images[:2] if args.quick else args.images
    result = run_compare(images, psnr=args.psnr, out=args.out, block=args.block,
                         dictionary=args.dictionary, colour=args.colour, workers=0, threads=1,
                         messages=print)
    results = {"settings": {"block": args.block, "dictionary": args.dictionary or "default",
                            "targets": args.psnr, "colour": args.colour},
               "images": {name: {"bd_jpeg": result.bd_jpeg[name],
                                 "bd_jpeg2000": result.bd_jpeg2000[name]}
                          for name in result.bd_jpeg},
               "mean_bd_jpeg": result.mean("JPEG"), "mean_bd_jpeg2000": result.mean("JPEG 2000"),
               "timing": timing(camera), "timing_kept_heap": kept_heap_timing()}
    summary = (result.summary.read_text() + "\n" +
               timing_lines(results["timing"], results["timing_kept_heap"]))
    print(summary, end="")
    with open(os.path.join(args.out, "codec_rate.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(args.out, "codec_rate.md"), "w") as f:
        f.write(summary)
    if args.docs:
        shutil.copy(os.path.join(args.out, "codec_rate.json"), os.path.join(ROOT, "docs"))
        if os.path.exists(os.path.join(args.out, "rate.png")):
            shutil.copy(os.path.join(args.out, "rate.png"),
                        os.path.join(ROOT, "docs", "codec_rate.png"))


if __name__ == "__main__":
    main()
