"""Approximate an image to a target PSNR and write the pictures.

    python3 -m tilevista.demo IMAGE [--block ROWS [COLS]] [--psnr DB] [--out DIR]
        [--dictionary DESCRIPTION]

Cuts IMAGE (grey or colour; all channels go into one call) into blocks of 8 x 8
pixels, approximates them over redundant cosine dictionaries of twice as many
atoms as the block side (or the dictionary DESCRIPTION describes, e.g.
"cosine:16+legendre:8+haar+delta", for rows and columns alike; "ROWS/COLUMNS"
for one each), to 45 dB, prints a short report and writes into
output/demo/ (of the current folder):

    NAME_approx.png        the approximation, rounded to the image's range
    NAME_side_by_side.png  original | approximation | error magnified 10 times
    NAME_atoms_per_block.png
                           the atoms each block took: a colour map of the block
                           grid at the image's size, with a colour bar

These are the pictures and the report of the project's Octave demo (make demo).
On a terminal a progress bar shows the module call's progress.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path
from typing import Any, List, NamedTuple, Optional, Sequence


from .image import ImageOptions, ImageRun, default_peak, run_image
from .pictures import atoms_map, read_image, side_by_side, to_uint8, write_png

__all__ = ["DemoResult", "STOP_REASONS", "run_demo", "main"]

GAIN = 10


class DemoResult(NamedTuple):
    """What :func:`run_demo` reports.

    Attributes
    ----------
    run : ImageRun
        The approximation and everything that went into it.
    atoms : int
        Atoms chosen in all.
    reached_psnr : float
        The PSNR of the approximation, in dB.
    stop : str
        Why the pursuit stopped.
    files : list of pathlib.Path
        The pictures written.
    """

    run: ImageRun
    atoms: int
    reached_psnr: float
    stop: str
    files: List[Path]


# Why the pursuit stopped, by the stop rule of the call's result.
STOP_REASONS = {
    "tol": "target reached (total squared error below tol)",
    "tol2": "no atom left that improves any block",
    "budget": "atom budget spent",
}


def threads_text(threads: int) -> str:
    """A thread count in words, e.g. "2 threads"."""
    return f"{threads} thread{'' if threads == 1 else 's'}"


def run_demo(image_path: os.PathLike, block: Sequence[int] = (8,), target_psnr: float = 45,
             out_dir: os.PathLike = Path("output", "demo"), progress: bool = False,
             dictionary: Optional[Any] = None) -> DemoResult:
    """Approximate an image file, print the report and write the pictures.

    Parameters
    ----------
    image_path : path-like
        The image file.
    block : sequence of int, optional
        (side,) or (rows, cols) of the blocks (default 8 x 8). The dictionaries
        have twice as many atoms as the block side unless ``dictionary`` is
        given.
    target_psnr : float, optional
        Target PSNR in dB (default 45).
    out_dir : path-like, optional
        Folder for the pictures (default output/demo), created if missing.
    progress : bool, optional
        Show a progress bar of the module call (on stderr).
    dictionary : str, array_like or tuple, optional
        The dictionaries, as :class:`tilevista.ImageOptions` takes them: a
        description string for both directions, a matrix, ``"ROWS/COLUMNS"``
        or a pair ``(Dy, Dx)``.

    Returns
    -------
    DemoResult
        The figures of the report and the files written.

    Raises
    ------
    ValueError
        A block size is not a positive integer, a description is refused
        (:class:`tilevista.DictionaryRefused`), or the module rejects the
        call.
    OSError
        The image cannot be read or the pictures cannot be written.
    """
    rows, cols = (block[0], block[0]) if len(block) == 1 else tuple(block)
    img = read_image(image_path)
    peak = default_peak(img)
    chosen = (dict(atoms=(2 * rows, 2 * cols)) if dictionary is None
              else dict(dictionary=dictionary))
    run = run_image(img, ImageOptions(block=(rows, cols), psnr_db=target_psnr, peak=peak,
                                      progress=progress, **chosen))
    approx = run.approximation.image
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    name = Path(image_path).stem
    files = [out / f"{name}_approx.png", out / f"{name}_side_by_side.png",
             out / f"{name}_atoms_per_block.png"]
    write_png(files[0], to_uint8(approx, peak))
    write_png(files[1], to_uint8(side_by_side(img, approx, peak, GAIN), peak))
    per_block = run.approximation.atoms_per_block
    if per_block.ndim == 3:
        per_block = per_block.sum(axis=2)
    write_png(files[2], atoms_map(per_block, run.layout.block_shape, img.shape[:2]))

    atoms = run.result.total_atoms
    reached = run.approximation.psnr
    stop = STOP_REASONS[run.result.stop]
    channels = run.layout.channels
    ratio = img.size / atoms if atoms else float("inf")
    print("\nTILEVISTA demo")
    print(f"  image            {image_path}")
    print(f"  size             {img.shape[0]} x {img.shape[1]}, {channels} "
          f"channel{'' if channels == 1 else 's'}, {img.dtype}")
    print(f"  blocks           {rows} x {cols}, {run.layout.count} blocks in one call")
    print(f"  dictionaries     Y {run.Dy.shape[0]} x {run.Dy.shape[1]} {run.names[0]}, "
          f"X {run.Dx.shape[0]} x {run.Dx.shape[1]} {run.names[1]}")
    print(f"  target PSNR      {target_psnr:.2f} dB (tol {run.tol:.6g})")
    print(f"  reached PSNR     {reached:.2f} dB, {stop}")
    print(f"  atoms            {atoms}")
    print(f"  atoms per block  {per_block.min()} to {per_block.max()}, "
          f"{per_block.mean():.1f} on average")
    print(f"  sparsity ratio   {ratio:.2f} pixels per atom")
    print(f"  module call      {run.seconds:.3f} s, {threads_text(run.result.threads)}")
    print(f"  output folder    {out}")
    print(f"    {files[0].name}")
    print(f"    {files[1].name} (original | approximation | error x{GAIN})")
    print(f"    {files[2].name} (atoms per block, colour bar from 0 to {per_block.max()})")
    return DemoResult(run, atoms, reached, stop, files)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command line of the demo; see the module's description.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments (default: the process's).

    Returns
    -------
    int
        The exit status: 0, or 2 after an error, which is printed.
    """
    parser = argparse.ArgumentParser(
        prog="python3 -m tilevista.demo",
        description="Approximate an image to a target PSNR with one call of the module "
                    "and write the approximation, a side-by-side picture and the atoms "
                    "per block.")
    parser.add_argument("image", help="image file (grey or colour)")
    parser.add_argument("--block", type=int, nargs="+", default=[8], metavar="N",
                        help="block side, or rows and columns (default 8)")
    parser.add_argument("--psnr", type=float, default=45.0, help="target PSNR in dB (default 45)")
    parser.add_argument("--out", default=str(Path("output", "demo")),
                        help="output folder (default output/demo)")
    parser.add_argument("--dictionary", metavar="DESCRIPTION",
                        help="dictionary description for rows and columns, e.g. "
                             "cosine:16+legendre:8+haar+delta, or ROWS/COLUMNS (default: "
                             "cosine of twice the block side)")
    args = parser.parse_args(argv)
    if len(args.block) > 2:
        parser.error("--block takes one or two numbers")
    try:
        # The bar on a terminal only: in a log it would be a line per update.
        run_demo(args.image, args.block, args.psnr, args.out, progress=sys.stderr.isatty(),
                 dictionary=args.dictionary)
    except (ValueError, OSError, MemoryError) as e:
        print(f"tilevista.demo: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
