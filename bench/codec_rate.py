#!/usr/bin/python3
"""Rate against PSNR of the codec, JPEG and JPEG 2000 on the sample images.

  bench/codec_rate.py [--tool PATH] [--images PNG...] [--out DIR] [--psnr DB...]
                      [--block B] [--dictionary D] [--colour] [--quick] [--docs]

Every image is converted to grey as Pillow's "L" mode does (ITU-R 601 luma,
rounded), or kept in colour with --colour, and written as PGM/PPM for
codec_tool. For each image:

  - the codec: codec_tool sweep at the PSNR targets (decoded and checked: the
    PSNR of the decoder's image must equal the one the encoder reported, and
    the decoding time is the best of three);
  - JPEG through Pillow (libjpeg, optimize=True, 4:4:4 for colour), a quality
    sweep;
  - JPEG 2000 through Pillow (OpenJPEG, irreversible 9/7), a sweep of
    compression ratios.

All are measured alike: the size of the file in bits over the image's pixels,
and the PSNR (peak 255) of the decoded image on the image's own samples. The
Bjontegaard delta rate of the codec against each (cubic fit of log10 rate
against PSNR, integrated over the curves' common PSNR range clipped to
30-40 dB; negative: the codec needs fewer bits) is printed per image and
averaged. The times: the bundled image (data/camera.png) encoded at 36 dB on
one thread five times (the pursuit call's time and the rest's, the least of
each), and decoded (the least of three).

Results go to DIR/codec_rate.json and DIR/codec_rate.md, and, with
matplotlib, the curves of all images to DIR/codec_rate.png; --docs copies the
JSON and the plot into docs/ (docs/codec.md quotes the table).
"""

import argparse
import io
import json
import math
import os
import shutil
import subprocess
import sys

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def sample_folder():
    """The sample images: $TILEVISTA_SAMPLE_IMAGES, else shared/data/images in
    the nearest folder above the project that has one."""
    if os.environ.get("TILEVISTA_SAMPLE_IMAGES"):
        return os.environ["TILEVISTA_SAMPLE_IMAGES"]
    folder = ROOT
    while os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
        candidate = os.path.join(folder, "shared", "data", "images")
        if os.path.isdir(candidate):
            return candidate
    return os.path.join(os.path.dirname(ROOT), "shared", "data", "images")


SAMPLES = sample_folder()
DEFAULT_TARGETS = [29.0, 31.0, 33.0, 35.0, 36.0, 37.0, 39.0, 41.0]
BD_RANGE = (30.0, 40.0)
FIT_RANGE = (28.0, 42.5)  # points a curve's fit takes


def psnr(a, b):
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return math.inf if error == 0 else 10.0 * math.log10(255.0 ** 2 / error)


def load(path, colour):
    image = Image.open(path)
    return image.convert("RGB") if colour and image.mode not in ("L", "I;16") else image.convert("L")


def pillow_points(image, fmt, settings):
    """(bpp, psnr) of an image saved by Pillow with each of the settings."""
    original = np.asarray(image)
    pixels = original.shape[0] * original.shape[1]
    points = []
    for options in settings:
        buffer = io.BytesIO()
        image.save(buffer, fmt, **options)
        data = buffer.getvalue()
        decoded = np.asarray(Image.open(io.BytesIO(data)).convert(image.mode))
        points.append({"bpp": 8.0 * len(data) / pixels, "psnr": psnr(original, decoded),
                       "setting": {k: v for k, v in options.items() if k != "optimize"}})
    return points


def jpeg_points(image):
    settings = [{"quality": q, "optimize": True, "subsampling": 0} for q in range(5, 100, 3)]
    return pillow_points(image, "JPEG", settings)


def jpeg2000_points(image):
    depth = 8.0 * len(image.getbands())
    ratios = [depth / bpp for bpp in np.geomspace(0.05, 6.0, 32)]
    settings = [{"quality_mode": "rates", "quality_layers": [r], "irreversible": True}
                for r in ratios]
    return pillow_points(image, "JPEG2000", settings)


def codec_points(tool, pnm, targets, block, dictionary):
    cmd = [tool, "sweep", pnm, "--psnr"] + [str(t) for t in targets] + ["--threads", "1"]
    if block:
        cmd += ["--block", str(block)]
    if dictionary:
        cmd += ["--dictionary", dictionary]
    out = subprocess.run(cmd, check=True, text=True, stdout=subprocess.PIPE,
                         env=dict(os.environ, OPENBLAS_NUM_THREADS="1")).stdout
    points = []
    for line in out.splitlines():
        r = json.loads(line)
        if r["decoded_psnr"] != r["psnr"]:
            sys.exit(f"codec_rate: {pnm} at {r['target_psnr']} dB: the decoder's image has "
                     f"{r['decoded_psnr']} dB, the encoder reported {r['psnr']}")
        points.append(r)
    return points


def bd_rate(reference, test):
    """Bjontegaard delta rate of test against reference, in percent."""
    def fit(points):
        chosen = [p for p in points if FIT_RANGE[0] <= p["psnr"] <= FIT_RANGE[1]]
        d = np.array([p["psnr"] for p in chosen])
        r = np.log10([p["bpp"] for p in chosen])
        return np.polyfit(d, r, 3), d.min(), d.max()
    p1, lo1, hi1 = fit(reference)
    p2, lo2, hi2 = fit(test)
    low = max(lo1, lo2, BD_RANGE[0])
    high = min(hi1, hi2, BD_RANGE[1])
    i1 = np.polyval(np.polyint(p1), high) - np.polyval(np.polyint(p1), low)
    i2 = np.polyval(np.polyint(p2), high) - np.polyval(np.polyint(p2), low)
    return 100.0 * (10.0 ** ((i2 - i1) / (high - low)) - 1.0)


def plot(results, path):
    """PSNR against bits per pixel, one panel per image."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    images = results["images"]
    fig, axes = plt.subplots(1, len(images), figsize=(3.6 * len(images), 3.4), squeeze=False)
    for ax, (name, entry) in zip(axes[0], images.items()):
        for label, points in entry["curves"].items():
            points = sorted(points, key=lambda p: p["bpp"])
            ax.plot([p["bpp"] for p in points], [p["psnr"] for p in points], marker="o",
                    markersize=2.5, linewidth=1.2, label=label)
        top = max(p["bpp"] for p in entry["curves"]["codec"])
        ax.set_xlim(0, 1.15 * top)
        ax.set_ylim(27, 43)
        ax.grid(alpha=0.3)
        ax.set_title(f"{name}: {entry['bd_jpeg']:+.1f} % / {entry['bd_jpeg2000']:+.1f} %",
                     fontsize=9)
        ax.set_xlabel("bits per pixel (whole file)", fontsize=8)
    axes[0][0].set_ylabel("PSNR (dB)")
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def timing(tool, png, out):
    """The bundled image at 36 dB on one thread: encode five times, decode."""
    pnm = os.path.join(out, "bundled_camera.pgm")
    load(png, False).save(pnm)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    runs = []
    for _ in range(5):
        line = subprocess.run([tool, "sweep", pnm, "--psnr", "36", "--threads", "1"], check=True,
                              text=True, stdout=subprocess.PIPE, env=env).stdout
        runs.append(json.loads(line))
    pursuit = min(r["pursuit_s"] for r in runs)
    coding = min(r["coding_s"] for r in runs)
    return {"image": png, "psnr": runs[0]["psnr"], "bpp": runs[0]["bpp"],
            "pursuit_s": pursuit, "coding_s": coding, "coding_share": coding / pursuit,
            "decode_s": min(r["decode_s"] for r in runs)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "bench", "codec_tool"))
    parser.add_argument("--images", nargs="+",
                        default=[os.path.join(SAMPLES, n + ".png")
                                 for n in ("astronaut", "brick", "camera", "coins", "grass")])
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "bench", "codec"))
    parser.add_argument("--psnr", nargs="+", type=float, default=DEFAULT_TARGETS)
    parser.add_argument("--block", type=int, default=0)
    parser.add_argument("--dictionary", default="")
    parser.add_argument("--colour", action="store_true")
    parser.add_argument("--quick", action="store_true", help="two images only")
    parser.add_argument("--docs", action="store_true", help="copy the results into docs/")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    images = args.images[:2] if args.quick else args.images
    results = {"settings": {"block": args.block or 8,
                            "dictionary": args.dictionary or "default (cosine:<block side>)",
                            "targets": args.psnr, "colour": args.colour}, "images": {}}
    for path in images:
        name = os.path.splitext(os.path.basename(path))[0]
        image = load(path, args.colour)
        pnm = os.path.join(args.out, name + (".ppm" if image.mode == "RGB" else ".pgm"))
        image.save(pnm)
        curves = {"codec": codec_points(args.tool, pnm, args.psnr, args.block, args.dictionary),
                  "JPEG": jpeg_points(image), "JPEG 2000": jpeg2000_points(image)}
        entry = {"curves": curves,
                 "bd_jpeg": bd_rate(curves["JPEG"], curves["codec"]),
                 "bd_jpeg2000": bd_rate(curves["JPEG 2000"], curves["codec"])}
        results["images"][name] = entry
        print(f"{name:10s} BD-rate vs JPEG {entry['bd_jpeg']:+7.1f} %   "
              f"vs JPEG 2000 {entry['bd_jpeg2000']:+7.1f} %", flush=True)
    entries = results["images"].values()
    results["mean_bd_jpeg"] = float(np.mean([e["bd_jpeg"] for e in entries]))
    results["mean_bd_jpeg2000"] = float(np.mean([e["bd_jpeg2000"] for e in entries]))
    print(f"{'mean':10s} BD-rate vs JPEG {results['mean_bd_jpeg']:+7.1f} %   "
          f"vs JPEG 2000 {results['mean_bd_jpeg2000']:+7.1f} %")
    results["timing"] = timing(args.tool, os.path.join(ROOT, "data", "camera.png"), args.out)
    t = results["timing"]
    print(f"bundled image at 36 dB, one thread: pursuit {t['pursuit_s']:.3f} s, the rest of the "
          f"encoding {t['coding_s']:.3f} s ({100 * t['coding_share']:.0f} %), decoding "
          f"{t['decode_s']:.4f} s")
    with open(os.path.join(args.out, "codec_rate.json"), "w") as f:
        json.dump(results, f, indent=1)
    write_table(results, os.path.join(args.out, "codec_rate.md"))
    plot(results, os.path.join(args.out, "codec_rate.png"))
    if args.docs:
        for name in ("codec_rate.json", "codec_rate.png"):
            if os.path.exists(os.path.join(args.out, name)):
                shutil.copy(os.path.join(args.out, name), os.path.join(ROOT, "docs", name))


def write_table(results, path):
    lines = ["| image | BD-rate vs JPEG | BD-rate vs JPEG 2000 | codec at ~36 dB (bpp, dB) | "
             "decode at ~36 dB (s) |", "|---|---|---|---|---|"]
    for name, e in results["images"].items():
        near = min(e["curves"]["codec"], key=lambda p: abs(p["target_psnr"] - 36.0))
        lines.append(f"| {name} | {e['bd_jpeg']:+.1f} % | {e['bd_jpeg2000']:+.1f} % | "
                     f"{near['bpp']:.3f} bpp, {near['psnr']:.2f} dB | {near['decode_s']:.4f} |")
    lines.append(f"| **mean** | **{results['mean_bd_jpeg']:+.1f} %** | "
                 f"**{results['mean_bd_jpeg2000']:+.1f} %** | | |")
    t = results.get("timing")
    if t:
        lines.append("")
        lines.append(f"Bundled image at 36 dB ({t['psnr']:.2f} dB, {t['bpp']:.3f} bpp), one thread: "
                     f"pursuit call {t['pursuit_s']:.3f} s, the rest of the encoding "
                     f"{t['coding_s']:.3f} s ({100 * t['coding_share']:.0f} % of the pursuit), "
                     f"decoding {t['decode_s']:.4f} s.")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
