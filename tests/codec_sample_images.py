#!/usr/bin/python3
"""Round trips of the five sample images through the codec at four targets.

  tests/codec_sample_images.py CODEC_TOOL

Each sample image (grey, as bench/codec_rate.py converts it; astronaut in
colour too) is encoded at 30, 34, 38 and 42 dB and decoded by codec_tool's
sweep, which reports the PSNR the encoder promised and the PSNR of the image
the decoder made of the bytes. Both must be equal, and at least the target.
Exits with 77 (skipped) where the images or Pillow are not there.
"""

import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))

TARGETS = [30.0, 34.0, 38.0, 42.0]
NAMES = ["astronaut", "brick", "camera", "coins", "grass"]


def main():
    tool = sys.argv[1]
    try:
        import codec_rate  # Pillow and NumPy, and where the images are
    except ImportError as e:
        print(f"skipped: {e}")
        return 77
    folder = codec_rate.sample_folder()
    if not all(os.path.exists(os.path.join(folder, n + ".png")) for n in NAMES):
        print(f"skipped: the sample images are not in {folder}")
        return 77
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        cases = [(n, False) for n in NAMES] + [("astronaut", True)]
        for name, colour in cases:
            image = codec_rate.load(os.path.join(folder, name + ".png"), colour)
            path = os.path.join(work, name + (".ppm" if colour else ".pgm"))
            image.save(path)
            out = subprocess.run([tool, "sweep", path, "--psnr"] + [str(t) for t in TARGETS],
                                 check=True, text=True, stdout=subprocess.PIPE).stdout
            for line in out.splitlines():
                r = json.loads(line)
                ok = r["decoded_psnr"] == r["psnr"] and r["psnr"] >= r["target_psnr"]
                failures += not ok
                print(f"{'ok  ' if ok else 'FAIL'} {name}{' (colour)' if colour else ''} "
                      f"{r['target_psnr']:.0f} dB: {r['psnr']:.3f} dB reported, "
                      f"{r['decoded_psnr']:.3f} dB decoded, {r['bpp']:.3f} bpp")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
