"""The codec's command line.

    python3 -m tilevista.codec encode IMG (--psnr P | --bpp R) -o FILE
        [--block B] [--dictionary D] [--colour] [--threads T]
    python3 -m tilevista.codec decode FILE -o PNG
    python3 -m tilevista.codec compare IMAGES... [--psnr DB ...] [--out DIR]
        [--block B] [--dictionary D] [--colour] [--workers N | --scheduler ADDRESS]

encode reads any image Pillow reads (grey, or colour in colour unless --grey;
16-bit grey files as 16 bits) and writes the codec's file; decode writes the
image as PNG; compare measures the codec against JPEG and JPEG 2000
(:mod:`tilevista.codec.compare`). Each prints what it did; an error is one
line "tilevista.codec: IDENTIFIER: message" and exit status 1.
"""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from . import CodecError, decode_info, encode_report


def _encode(args: argparse.Namespace) -> None:
    from ..pictures import read_image

    img = read_image(args.image)
    if args.grey and img.ndim == 3:
        from .compare import load_image
        img = load_image(args.image, "L")
    made = encode_report(img, psnr=args.psnr, bpp=args.bpp, block=args.block,
                         dictionary=args.dictionary, threads=args.threads)
    with open(args.output, "wb") as f:
        f.write(made.data)
    r = made.report
    print(f"{args.output}: {r.bytes} bytes, {r.bpp:.4f} bpp, {r.psnr:.3f} dB, {r.atoms} atoms "
          f"(pursuit {r.pursuit_seconds:.3f} s, coding {r.coding_seconds:.3f} s)")


def _decode(args: argparse.Namespace) -> None:
    from ..pictures import write_png

    img, info = decode_info(args.file)
    write_png(args.output, img)
    print(f"{args.output}: {info.rows} x {info.cols}{' x 3' if info.channels == 3 else ''}, "
          f"{info.bit_depth} bits, from {info.bytes} bytes ({info.bpp:.4f} bpp)")


def _compare(args: argparse.Namespace) -> None:
    from .compare import run_compare

    result = run_compare(args.images, psnr=args.psnr, out=args.out, block=args.block,
                         dictionary=args.dictionary, colour=args.colour, workers=args.workers,
                         scheduler=args.scheduler, messages=print)
    print(result.summary.read_text(), end="")
    print(f"Written: {result.table}, {result.summary}"
          + "".join(f", {p}" for p in result.plots))


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m tilevista.codec",
                                     description="The image codec over the block-wise pursuit.")
    commands = parser.add_subparsers(dest="command", required=True)
    enc = commands.add_parser("encode", help="an image to the codec's file")
    enc.add_argument("image")
    target = enc.add_mutually_exclusive_group(required=True)
    target.add_argument("--psnr", type=float, help="the decoded image's least PSNR, dB")
    target.add_argument("--bpp", type=float, help="the file's largest size, bits per pixel")
    enc.add_argument("-o", "--output", required=True, help="the file to write")
    enc.add_argument("--grey", action="store_true", help="code a colour image in grey")
    enc.add_argument("--threads", type=int, default=0)
    dec = commands.add_parser("decode", help="a file of the codec to PNG")
    dec.add_argument("file")
    dec.add_argument("-o", "--output", required=True, help="the PNG to write")
    cmp = commands.add_parser("compare", help="the codec against JPEG and JPEG 2000")
    cmp.add_argument("images", nargs="+")
    cmp.add_argument("--psnr", type=float, nargs="+", default=[30.0, 33.0, 36.0, 39.0])
    cmp.add_argument("--out", default="output/codec")
    cmp.add_argument("--colour", action="store_true", help="colour images in colour, not grey")
    where = cmp.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=None,
                       help="0: in this process; N: a local Dask cluster of N")
    where.add_argument("--scheduler", help="a Dask scheduler's address")
    for command in (enc, cmp):
        command.add_argument("--block", type=int, default=8)
        command.add_argument("--dictionary", default=None,
                             help='a description, e.g. "cosine:8", or "ROWS/COLUMNS"')
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    run = {"encode": _encode, "decode": _decode, "compare": _compare}[args.command]
    try:
        run(args)
    except CodecError as e:
        print(f"tilevista.codec: {e.identifier}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"tilevista.codec: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
