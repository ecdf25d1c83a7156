"""What a survey writes beside its table: ``summary.md``, the global calls'
curves in ``curves/`` and, per image, a rate-distortion plot: PSNR against
atoms per pixel, the whole curve of each global call and the rows, global
and block by block.

The summary and the plots are made from the whole table (and the curves
kept) each time a survey run ends; every file is written to a new file that
is then renamed over the old one. The plots are drawn with matplotlib's Agg
canvas directly, so that a survey run from a session with another backend
leaves it as it was.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
from pathlib import Path
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from .survey_task import SurveyRow, TaskCurve

__all__ = ["RunFigures", "plot_names", "write_summary", "write_plots", "write_curve",
           "load_curves", "rate_distortion_figure"]

SUMMARY = "summary.md"
CURVES = "curves"


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
    """The file name of each image's plot: ``NAME_rate_distortion.png``,
    NAME the file name without its suffix, numbered -2, -3 ... when images
    of different folders share a name (in sorted order, so that a name stays
    the same from run to run)."""
    names: Dict[str, str] = {}
    taken: Dict[str, int] = {}
    for image in sorted(set(images)):
        stem = Path(image).stem or "image"
        taken[stem] = taken.get(stem, 0) + 1
        suffix = "" if taken[stem] == 1 else f"-{taken[stem]}"
        names[image] = f"{stem}{suffix}_rate_distortion.png"
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
              "target; the plots show PSNR against the rate, atoms per pixel, with the global "
              "call's whole curve. Blocks at the border are padded by repeating the last row "
              "and column; the PSNR is on the image's own pixels, as approximate_image and the "
              "Octave toolbox measure it. *Atoms Y x X*: the dictionary's atoms along the block "
              "rows and columns; *µs/atom*: the global call's time over its atoms (larger "
              "dictionaries cost more per atom).", ""]
    for image in images:
        own = [r for r in good if r.image == image]
        if not own:
            continue
        measured = sorted({r.pixels for r in own})
        lines += [f"## {image}", "", "Pixels measured (the image's own, all channels): " +
                  ", ".join(str(p) for p in measured) + ".", ""]
        lines.append("| block | dictionary | atoms Y x X | target dB | global dB | atoms | "
                     "px/atom | µs/atom | block by block dB | atoms | px/atom | gain |")
        lines.append("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in sorted(own, key=lambda r: (r.block, r.dictionary, r.target_psnr)):
            gain = (r.global_pixels_per_atom / r.blockwise_pixels_per_atom
                    if r.blockwise_atoms and r.global_atoms else None)
            lines.append(
                f"| {r.block} | {r.dictionary} | {r.atoms_y} x {r.atoms_x} | "
                f"{_target(r.target_psnr)} | {_number(r.global_psnr)} | {r.global_atoms} | "
                f"{_number(r.global_pixels_per_atom)} | "
                f"{_number(None if r.seconds_per_atom is None else 1e6 * r.seconds_per_atom)} | "
                f"{_number(r.blockwise_psnr)} | "
                f"{r.blockwise_atoms} | {_number(r.blockwise_pixels_per_atom)} | "
                f"{_number(gain)} |")
        lines += ["", f"![PSNR against atoms per pixel]({plots[image]})", ""]
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


def _curve_path(folder: os.PathLike, key: Tuple[str, int, str]) -> Path:
    digest = hashlib.sha1(json.dumps(list(key)).encode("utf-8")).hexdigest()[:20]
    return Path(folder) / CURVES / f"{digest}.json"


def write_curve(folder: os.PathLike, curve: TaskCurve) -> Path:
    """Keep a task's global curve in ``folder/curves/``, unless a longer one
    of the same image, block and dictionary is there (a run that computed
    only looser targets took fewer atoms).

    Parameters
    ----------
    folder : path-like
        The output folder.
    curve : TaskCurve
        The curve.

    Returns
    -------
    pathlib.Path
        Its file.
    """
    path = _curve_path(folder, curve.key)
    kept = _read_curve(path)
    if kept is not None and kept.atoms and curve.atoms and kept.atoms[-1] > curve.atoms[-1]:
        return path
    path.parent.mkdir(exist_ok=True)
    text = json.dumps(curve._asdict())
    _replace(path, lambda fresh: fresh.write_text(text, encoding="utf-8"))
    return path


def _read_curve(path: Path) -> Optional[TaskCurve]:
    try:
        fields = json.loads(path.read_text(encoding="utf-8"))
        return TaskCurve(fields["image"], int(fields["block"]), fields["dictionary"],
                         int(fields["pixels"]), tuple(int(n) for n in fields["atoms"]),
                         tuple(float(v) for v in fields["psnr"]))
    except (OSError, ValueError, KeyError, TypeError):
        return None  # missing or unreadable: the plot shows the rows alone


def load_curves(folder: os.PathLike) -> Dict[Tuple[str, int, str], TaskCurve]:
    """The curves kept in ``folder/curves/``, by (image, block, dictionary)."""
    curves = {}
    for path in sorted((Path(folder) / CURVES).glob("*.json")):
        curve = _read_curve(path)
        if curve is not None:
            curves[curve.key] = curve
    return curves


def write_plots(folder: os.PathLike, rows: Sequence[SurveyRow],
                curves: Optional[Dict[Tuple[str, int, str], TaskCurve]] = None) -> List[Path]:
    """Per image with rows, ``NAME_rate_distortion.png`` in ``folder``: PSNR
    (dB) against the rate, atoms per pixel on a logarithmic axis rising to
    the right (pixels per atom on the top axis), a colour per block size and
    dictionary: the global call's whole curve as a solid line with the rows'
    points on it, block by block dashed through its rows (points without
    atoms left out). Titled with the image's name, with a legend.

    Parameters
    ----------
    folder : path-like
        The output folder.
    rows : sequence of SurveyRow
        The table, one row per key.
    curves : dict, optional
        :func:`load_curves`: the global calls' curves by (image, block,
        dictionary); a series without one shows its rows alone.

    Returns
    -------
    list of pathlib.Path
        The files written.
    """
    curves = curves or {}
    good = [r for r in rows if not r.error]
    written = []
    for image, name in plot_names(r.image for r in good).items():
        figure = rate_distortion_figure(image, [r for r in good if r.image == image], curves)
        path = Path(folder) / name
        _replace(path, lambda fresh: figure.savefig(fresh, format="png"))
        written.append(path)
    return written


def rate_distortion_figure(image: str, rows: Sequence[SurveyRow],
                           curves: Dict[Tuple[str, int, str], TaskCurve]) -> Any:
    """The figure :func:`write_plots` draws for one image's rows (without
    errors), on matplotlib's Agg canvas.

    Parameters
    ----------
    image : str
        The image, for the title and the curves' keys.
    rows : sequence of SurveyRow
        Its rows.
    curves : dict
        :func:`load_curves`.

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, LogLocator

    plain = FuncFormatter(lambda value, _: f"{value:g}")
    figure = Figure(figsize=(7.2, 5.0), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    for k, series in enumerate(sorted({(r.block, r.dictionary) for r in rows})):
        points = sorted((r for r in rows if (r.block, r.dictionary) == series),
                        key=lambda r: r.target_psnr)
        colour = f"C{k % 10}"
        label = f"{series[0]} x {series[0]} blocks, {series[1]}"
        curve = curves.get((image, *series))
        if curve is not None and curve.atoms:
            axes.plot([n / curve.pixels for n in curve.atoms], curve.psnr, "-",
                      color=colour, linewidth=1.6, label=f"{label}: global (whole curve)")
        for kind, style, marker, what in (("global", "none", "o", "global, targets"),
                                          ("blockwise", "--", "s", "block by block")):
            xy = [(getattr(r, f"{kind}_atoms") / r.pixels, getattr(r, f"{kind}_psnr"))
                  for r in points if getattr(r, f"{kind}_atoms")]
            if xy:
                axes.plot(*zip(*xy), linestyle=style, marker=marker, color=colour,
                          markerfacecolor="white" if kind == "global" else colour,
                          label=f"{label}: {what}")
    if axes.lines:
        _focus(axes, rows)
        axes.set_xscale("log")
        top = axes.secondary_xaxis("top", functions=(_inverse, _inverse))
        top.set_xlabel("pixels per atom")
        for axis in (axes.xaxis, top.xaxis):
            axis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
            axis.set_major_formatter(plain)
            axis.set_minor_formatter(FuncFormatter(lambda value, _: ""))
        axes.legend(fontsize="small", loc="upper left")
    axes.set_xlabel("rate (atoms per pixel)")
    axes.set_ylabel("PSNR (dB)")
    axes.set_title(f"{Path(image).name}: PSNR against rate")
    axes.grid(True, which="major", alpha=0.3)
    figure.tight_layout()
    return figure


def _focus(axes, rows: Sequence[SurveyRow]) -> None:
    """Show the curves from 10 dB below the lowest target up: the first
    atoms of a call, far below any target, would take most of the width."""
    lowest = min(r.target_psnr for r in rows) - 10
    xs, ys = [], []
    for line in axes.lines:
        for x, y in zip(line.get_xdata(), line.get_ydata()):
            if y >= lowest and math.isfinite(y) and x > 0:
                xs.append(x)
                ys.append(y)
    if xs:
        axes.set_xlim(min(xs) / 1.25, max(xs) * 1.25)
        axes.set_ylim(lowest, max(ys) + 0.05 * (max(ys) - lowest) + 0.5)


def _inverse(values):
    import numpy as np
    with np.errstate(divide="ignore"):
        return 1.0 / np.asarray(values, dtype=float)
