"""What a survey writes beside its table: ``summary.md`` and, per image, a
plot of pixels per atom against PSNR, global and block by block.

Both are made from the whole table each time a survey run ends, each written
to a new file that is then renamed over the old one. The plots are drawn
with matplotlib's Agg canvas directly, so that a survey run from a session
with another backend leaves it as it was.
"""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Dict, Iterable, List, NamedTuple, Optional, Sequence

from .survey_task import SurveyRow

__all__ = ["RunFigures", "plot_names", "write_summary", "write_plots"]

SUMMARY = "summary.md"


class RunFigures(NamedTuple):
    """The figures of one survey run, for the summary."""

    computed: int
    seconds: float
    where: str


def _replace(path: Path, write) -> None:
    """``write(fresh)`` into a new file beside ``path``, then rename it over
    ``path``: readers see the old file or the new one, never a part."""
    fresh = path.with_name("." + path.name + ".new")
    try:
        write(fresh)
        os.replace(fresh, path)
    finally:
        fresh.unlink(missing_ok=True)


def plot_names(images: Iterable[str]) -> Dict[str, str]:
    """The file name of each image's plot: ``NAME_pixels_per_atom.png``,
    NAME the file name without its suffix, numbered -2, -3 ... when images
    of different folders share a name (in sorted order, so that a name stays
    the same from run to run)."""
    names: Dict[str, str] = {}
    taken: Dict[str, int] = {}
    for image in sorted(set(images)):
        stem = Path(image).stem or "image"
        taken[stem] = taken.get(stem, 0) + 1
        suffix = "" if taken[stem] == 1 else f"-{taken[stem]}"
        names[image] = f"{stem}{suffix}_pixels_per_atom.png"
    return names


def _number(value: Optional[float], digits: int = 2) -> str:
    if value is None:
        return ""
    return "inf" if math.isinf(value) else f"{value:.{digits}f}"


def _list(values: Sequence) -> str:
    values = [str(v) for v in values]
    return values[0] if len(values) == 1 else ", ".join(values[:-1]) + " and " + values[-1]


def _target(value: float) -> str:
    return f"{value:g}"


def summary_text(rows: Sequence[SurveyRow], run: Optional[RunFigures] = None) -> str:
    """The text of ``summary.md`` for the rows of a table (one per key)."""
    good = [r for r in rows if not r.error]
    failed = [r for r in rows if r.error]
    images = list(dict.fromkeys(r.image for r in rows))
    plots = plot_names(r.image for r in good)
    lines = ["# Survey", ""]
    lines.append(
        f"`results.csv`: {len(rows)} rows: {len(images)} image{'s' * (len(images) != 1)}, "
        f"blocks {_list(sorted({r.block for r in rows}))}, "
        f"dictionaries {_list(sorted({r.dictionary for r in rows}))}, targets "
        f"{_list([_target(t) for t in sorted({r.target_psnr for r in rows})])} dB; "
        f"{len(failed)} with errors.")
    lines += ["", "Pixels per atom (px/atom) at each target PSNR. *Global*: one module call "
              "over all blocks of the image, every atom chosen among all blocks. *Block by "
              "block*: every block alone, to the same PSNR (its share of the error is its share "
              "of the pixels), so that it reaches more than the target where most blocks do better "
              "than they must. *Gain*: global px/atom over block-by-block px/atom at the same "
              "target; the plots compare them at the PSNR reached. The PSNR is on the pixels "
              "the whole blocks cover.", ""]
    for image in images:
        own = [r for r in good if r.image == image]
        if not own:
            continue
        measured = dict.fromkeys((r.block, r.pixels) for r in sorted(own, key=lambda r: r.block))
        lines += [f"## {image}", "", "Pixels measured (the image cut to whole blocks): " +
                  ", ".join(f"{p} with blocks of {b}" for b, p in measured) + ".", ""]
        lines.append("| block | dictionary | target dB | global dB | atoms | px/atom | "
                     "block by block dB | atoms | px/atom | gain |")
        lines.append("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in sorted(own, key=lambda r: (r.block, r.dictionary, r.target_psnr)):
            gain = (r.global_pixels_per_atom / r.blockwise_pixels_per_atom
                    if r.blockwise_atoms and r.global_atoms else None)
            lines.append(
                f"| {r.block} | {r.dictionary} | {_target(r.target_psnr)} | "
                f"{_number(r.global_psnr)} | {r.global_atoms} | "
                f"{_number(r.global_pixels_per_atom)} | {_number(r.blockwise_psnr)} | "
                f"{r.blockwise_atoms} | {_number(r.blockwise_pixels_per_atom)} | "
                f"{_number(gain)} |")
        lines += ["", f"![pixels per atom against PSNR]({plots[image]})", ""]
    if failed:
        lines += ["## Errors", "", "| image | block | dictionary | target dB | error |",
                  "|---|---:|---|---:|---|"]
        for r in failed:
            error = r.error.replace("|", "\\|")
            lines.append(f"| {r.image} | {r.block} | {r.dictionary} | "
                         f"{_target(r.target_psnr)} | {error} |")
        lines.append("")
    if run is not None:
        rate = f", {run.computed / run.seconds:.2f} rows per second" if run.seconds > 0 else ""
        lines += ["## Last run", "",
                  f"{run.computed} rows computed in {run.seconds:.1f} s {run.where}{rate}."
                  if run.computed else "Nothing left to compute.", ""]
    return "\n".join(lines)


def write_summary(folder: os.PathLike, rows: Sequence[SurveyRow],
                  run: Optional[RunFigures] = None) -> Path:
    """Write ``summary.md`` into ``folder``.

    Parameters
    ----------
    folder : path-like
        The output folder.
    rows : sequence of SurveyRow
        The table, one row per key.
    run : RunFigures, optional
        The run that ends, for its last section.

    Returns
    -------
    pathlib.Path
        The file written.
    """
    path = Path(folder) / SUMMARY
    _replace(path, lambda fresh: fresh.write_text(summary_text(rows, run), encoding="utf-8"))
    return path


def write_plots(folder: os.PathLike, rows: Sequence[SurveyRow]) -> List[Path]:
    """Per image with rows, ``NAME_pixels_per_atom.png`` in ``folder``: pixels
    per atom (log scale) against the PSNR reached, a line per block size and
    dictionary, solid for the global choice and dashed for block by block
    (points without atoms left out).

    Parameters
    ----------
    folder : path-like
        The output folder.
    rows : sequence of SurveyRow
        The table, one row per key.

    Returns
    -------
    list of pathlib.Path
        The files written.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter

    good = [r for r in rows if not r.error]
    names = plot_names(r.image for r in good)
    written = []
    for image, name in names.items():
        figure = Figure(figsize=(6.4, 4.8), dpi=100)
        FigureCanvasAgg(figure)
        axes = figure.add_subplot()
        own = [r for r in good if r.image == image]
        for k, series in enumerate(sorted({(r.block, r.dictionary) for r in own})):
            points = sorted((r for r in own if (r.block, r.dictionary) == series),
                            key=lambda r: r.target_psnr)
            colour = f"C{k % 10}"
            label = f"{series[0]} x {series[0]}, {series[1]}"
            for kind, style, marker, what in (("global", "-", "o", "global"),
                                              ("blockwise", "--", "s", "block by block")):
                xy = [(getattr(r, f"{kind}_psnr"), getattr(r, f"{kind}_pixels_per_atom"))
                      for r in points if getattr(r, f"{kind}_atoms")]
                if xy:
                    axes.plot(*zip(*xy), linestyle=style, marker=marker, color=colour,
                              label=f"{label}, {what}")
        if axes.lines:
            axes.set_yscale("log")
            plain = FuncFormatter(lambda value, _: f"{value:g}")
            axes.yaxis.set_major_formatter(plain)
            axes.yaxis.set_minor_formatter(plain)
            axes.legend(fontsize="small")
        axes.set_xlabel("PSNR (dB)")
        axes.set_ylabel("pixels per atom")
        axes.set_title(Path(image).name)
        axes.grid(True, which="both", alpha=0.3)
        figure.tight_layout()
        path = Path(folder) / name
        _replace(path, lambda fresh: figure.savefig(fresh, format="png"))
        written.append(path)
    return written
