"""The codec against JPEG and JPEG 2000: PSNR against bits per pixel, and the
Bjøntegaard delta rate.

    python3 -m tilevista.codec compare IMAGES... [--psnr DB ...] [--out DIR]
        [--block B] [--dictionary D] [--colour] [--workers N | --scheduler ADDRESS]

Every image is taken in grey as Pillow's "L" mode makes it (ITU-R 601 luma,
rounded), or in colour (--colour). Three coders are measured alike, by the
size of the file in bits over the image's pixels and the PSNR (peak 255, over
all samples) of the decoded image on the image's own samples:

- the codec at each target PSNR (its report checked against the decoded
  image, which must have exactly the PSNR reported);
- JPEG through Pillow (libjpeg, optimize=True, no chroma subsampling), a
  quality sweep (:data:`JPEG_QUALITIES`);
- JPEG 2000 through Pillow (OpenJPEG, irreversible 9/7), a sweep of rates
  (:data:`JPEG2000_RATES`, bits per pixel).

The Bjøntegaard delta rate of the codec against each fits log10 of the rate
as a cubic of the PSNR for each curve (the points within :data:`FIT_RANGE`)
and integrates both over their common PSNR range clipped to
:data:`BD_RANGE`; negative: the codec needs fewer bits for the same PSNR.

Written into DIR (default output/codec):

    points.csv       a row per image, coder and setting (see Point)
    summary.md       per image the delta rates and the codec's point nearest
                     36 dB with its decoding time; their mean
    NAME_rate.png    per image, PSNR against bits per pixel of the three
    rate.png         every image, a panel each

Every image x coder is a task, run in this process (--workers 0), on a local
Dask cluster (--workers N; by default one worker per processor when Dask is
installed, else in this process) or on an existing one (--scheduler). A run
is resumable: points already in points.csv are not measured again (points
with an error are).
"""

from __future__ import annotations

import csv
import io
import math
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import decode_info, encode_report

__all__ = ["Point", "CompareTask", "Comparison", "run_compare", "measure", "bd_rate",
           "load_image", "image_psnr", "JPEG_QUALITIES", "JPEG2000_RATES", "FIT_RANGE",
           "BD_RANGE", "CODERS"]

#: The codec and its references, as points.csv names them.
CODERS = ("codec", "JPEG", "JPEG 2000")
#: JPEG qualities of the sweep.
JPEG_QUALITIES = tuple(range(5, 100, 3))
#: JPEG 2000 rates of the sweep, bits per pixel.
JPEG2000_RATES = tuple(float(r) for r in np.geomspace(0.05, 6.0, 32))
#: PSNRs (dB) the delta rate integrates over, at most.
BD_RANGE = (30.0, 40.0)
#: PSNRs (dB) of the points a curve's cubic is fitted to.
FIT_RANGE = (28.0, 42.5)
#: PSNR (dB) of the codec's point summary.md quotes.
QUOTED_PSNR = 36.0
PEAK = 255.0


class Point(NamedTuple):
    """One row of points.csv: one coder's file of one image at one setting.

    Attributes
    ----------
    image : str
        The image file.
    mode : str
        "L" (grey) or "RGB" (colour).
    coder : str
        One of :data:`CODERS`.
    options : str
        The codec's block size and dictionary ("8 default"); "" for the
        references.
    setting : str
        "psnr=36" (the codec's target), "quality=50" (JPEG), "bpp=0.5"
        (JPEG 2000's rate).
    bpp : float
        8 x bytes of the file / pixels (rows x cols).
    psnr : float
        PSNR of the decoded image on the image's own samples, dB.
    bytes : int
        Size of the file.
    decode_seconds : float
        The codec's decoding, the least of three (nan for the references).
    encode_seconds : float
        The codec's encoding (nan for the references).
    error : str
        Why the point could not be measured, or "".
    """

    image: str
    mode: str
    coder: str
    options: str
    setting: str
    bpp: float
    psnr: float
    bytes: int
    decode_seconds: float
    encode_seconds: float
    error: str

    def key(self) -> Tuple[str, str, str, str, str]:
        """What a point is of: a later run measures it again only when it
        holds an error."""
        return (self.image, self.mode, self.coder, self.options, self.setting)


class CompareTask(NamedTuple):
    """One image and one coder, at the settings still to measure."""

    image: str
    mode: str
    coder: str
    settings: Tuple[str, ...]
    block: int
    dictionary: Optional[str]
    threads: int = 0

    def options(self) -> str:
        return f"{self.block} {self.dictionary or 'default'}" if self.coder == "codec" else ""


def load_image(path: str, mode: str) -> np.ndarray:
    """An image file as a uint8 array in the mode ("L" or "RGB")."""
    from PIL import Image

    with Image.open(path) as picture:
        return np.asarray(picture.convert(mode))


def image_psnr(a: np.ndarray, b: np.ndarray) -> float:
    """PSNR (dB, peak 255) of two images of the same size, over all samples.

    Taken as the encoder reports it, 10 log10(samples peak^2 / squared error),
    so that for images of integers (whose squared error NumPy sums exactly)
    the two agree to the last bit; peak^2 / mean error may round otherwise.
    """
    error = np.sum((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return math.inf if error == 0 else 10.0 * math.log10(a.size * PEAK ** 2 / error)


def _pillow_file(img: np.ndarray, coder: str, setting: str) -> bytes:
    from PIL import Image

    picture = Image.fromarray(img)
    name, value = setting.split("=")
    out = io.BytesIO()
    if coder == "JPEG":
        picture.save(out, "JPEG", quality=int(value), optimize=True, subsampling=0)
    else:
        depth = 8.0 * img[0, 0].size
        picture.save(out, "JPEG2000", quality_mode="rates",
                     quality_layers=[depth / float(value)], irreversible=True)
    return out.getvalue()


def _measure_one(task: CompareTask, img: np.ndarray, setting: str) -> Point:
    from PIL import Image

    pixels = img.shape[0] * img.shape[1]
    point = dict(image=task.image, mode=task.mode, coder=task.coder, options=task.options(),
                 setting=setting, decode_seconds=math.nan, encode_seconds=math.nan, error="")
    if task.coder == "codec":
        started = time.perf_counter()
        made = encode_report(img, psnr=float(setting.split("=")[1]), block=task.block,
                             dictionary=task.dictionary, threads=task.threads)
        point["encode_seconds"] = time.perf_counter() - started
        data, times = made.data, []
        for _ in range(3):
            started = time.perf_counter()
            decoded = decode_info(data)[0]
            times.append(time.perf_counter() - started)
        point["decode_seconds"] = min(times)
        measured = image_psnr(img, decoded)
        if measured != made.report.psnr:
            point["error"] = (f"the decoded image has {measured!r} dB, the encoder reported "
                              f"{made.report.psnr!r}")
    else:
        data = _pillow_file(img, task.coder, setting)
        with Image.open(io.BytesIO(data)) as picture:
            measured = image_psnr(img, np.asarray(picture.convert(task.mode)))
    return Point(**point, bpp=8.0 * len(data) / pixels, psnr=measured, bytes=len(data))


def measure(task: CompareTask) -> List[Point]:
    """The task's points; a failure becomes the error of its points (a
    later run measures them again)."""
    try:
        img = load_image(task.image, task.mode)
    except Exception as e:  # an unreadable image: the task's points say why
        return [_failed(task, s, e) for s in task.settings]
    points = []
    for setting in task.settings:
        try:
            points.append(_measure_one(task, img, setting))
        except Exception as e:  # a target out of reach, a coder that failed
            points.append(_failed(task, setting, e))
    return points


def _failed(task: CompareTask, setting: str, e: Exception) -> Point:
    return Point(task.image, task.mode, task.coder, task.options(), setting, math.nan, math.nan,
                 0, math.nan, math.nan, f"{type(e).__name__}: {e}".replace("\n", " "))


def bd_rate(reference: Sequence[Tuple[float, float]], test: Sequence[Tuple[float, float]]) -> float:
    """Bjøntegaard delta rate of test against reference, in percent.

    Parameters
    ----------
    reference, test : sequence of (bpp, psnr)
        The two curves' points; those within :data:`FIT_RANGE` are fitted.

    Returns
    -------
    float
        100 (10^((I_test - I_reference) / (high - low)) - 1), I the integral
        of each curve's cubic fit of log10(bpp) against PSNR over their
        common PSNR range [low, high] clipped to :data:`BD_RANGE`; nan when a
        curve has fewer than 4 points to fit or the ranges do not overlap.
    """
    def fit(points):
        chosen = [(r, d) for r, d in points
                  if r > 0 and FIT_RANGE[0] <= d <= FIT_RANGE[1]]
        if len({d for _, d in chosen}) < 4:
            return None
        d = np.array([p[1] for p in chosen])
        return np.polyint(np.polyfit(d, np.log10([p[0] for p in chosen]), 3)), d.min(), d.max()
    fits = fit(reference), fit(test)
    if None in fits:
        return math.nan
    (i1, lo1, hi1), (i2, lo2, hi2) = fits
    low, high = max(lo1, lo2, BD_RANGE[0]), min(hi1, hi2, BD_RANGE[1])
    if not high > low:
        return math.nan
    area1 = np.polyval(i1, high) - np.polyval(i1, low)
    area2 = np.polyval(i2, high) - np.polyval(i2, low)
    return float(100.0 * (10.0 ** ((area2 - area1) / (high - low)) - 1.0))


# --- points.csv ------------------------------------------------------------

POINTS = "points.csv"


def _load_points(path: Path) -> List[Point]:
    """The rows of points.csv (none when it does not exist)."""
    if not path.is_file():
        return []
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    if not rows or rows[0] != list(Point._fields):
        raise ValueError(f"{path} is not a table of the comparison (its first line is not "
                         f"{','.join(Point._fields)})")
    kinds = [str, str, str, str, str, float, float, int, float, float, str]
    return [Point(*(kind(value) for kind, value in zip(kinds, row)))
            for row in rows[1:] if len(row) == len(kinds)]


def _append_points(path: Path, points: Iterable[Point]) -> None:
    new = not path.is_file()
    with open(path, "a", newline="") as f:
        writer = csv.writer(f)
        if new:
            writer.writerow(Point._fields)
        writer.writerows([repr(v) if isinstance(v, float) else v for v in p] for p in points)


def _latest(points: Iterable[Point]) -> Dict[Tuple, Point]:
    """The last row of each point (a point measured again after an error
    comes later in the file)."""
    return {p.key(): p for p in points}


# --- the run -------------------------------------------------------------------

@dataclass
class Comparison:
    """What :func:`run_compare` returns.

    Attributes
    ----------
    points : list of Point
        Every point of the images asked for (measured now or before).
    bd_jpeg, bd_jpeg2000 : dict
        Image name -> the codec's Bjøntegaard delta rate (percent) against
        JPEG and JPEG 2000 (nan when a curve has too few points).
    measured : int
        Points measured by this run (0 when everything was in points.csv).
    table, summary : pathlib.Path
        points.csv and summary.md.
    plots : list of pathlib.Path
        The plots written (none without matplotlib).
    """

    points: List[Point]
    bd_jpeg: Dict[str, float]
    bd_jpeg2000: Dict[str, float]
    measured: int
    table: Path
    summary: Path
    plots: List[Path]

    def mean(self, against: str) -> float:
        """The mean delta rate over the images against "JPEG" or "JPEG 2000"."""
        values = list((self.bd_jpeg if against == "JPEG" else self.bd_jpeg2000).values())
        return float(np.mean(values)) if values else math.nan


def _tasks(images: Sequence[str], mode: str, psnr: Sequence[float], block: int,
           dictionary: Optional[str], done: Dict[Tuple, Point], threads: int) -> List[CompareTask]:
    settings = {"codec": tuple(f"psnr={t:g}" for t in psnr),
                "JPEG": tuple(f"quality={q}" for q in JPEG_QUALITIES),
                "JPEG 2000": tuple(f"bpp={r!r}" for r in JPEG2000_RATES)}
    tasks = []
    for image in images:
        for coder in CODERS:
            task = CompareTask(image, mode, coder, settings[coder], block, dictionary, threads)
            missing = tuple(s for s in task.settings
                            if (image, mode, coder, task.options(), s) not in done)
            if missing:
                tasks.append(task._replace(settings=missing))
    return tasks


def _run_tasks(tasks: List[CompareTask], workers: Optional[int],
               scheduler: Optional[str]) -> Iterator[List[Point]]:
    """The tasks' points as the tasks end: in this process or on Dask."""
    if scheduler is None and workers is None:
        try:
            import distributed  # noqa: F401
            workers = len(os.sched_getaffinity(0))
        except ImportError:
            workers = 0
    if scheduler is None and workers == 0:
        yield from (measure(task) for task in tasks)
        return
    from distributed import as_completed

    from ..survey import _dask_client

    with _dask_client(workers or 0, scheduler) as client:
        futures = [client.submit(measure, task._replace(threads=1), pure=False)
                   for task in tasks]
        for future in as_completed(futures):
            yield future.result()


def run_compare(images: Sequence[str], psnr: Sequence[float] = (30.0, 33.0, 36.0, 39.0),
                out: str = os.path.join("output", "codec"), block: int = 8,
                dictionary: Optional[str] = None, colour: bool = False,
                workers: Optional[int] = None, scheduler: Optional[str] = None,
                threads: int = 0, messages: Optional[Callable[[str], None]] = None
                ) -> Comparison:
    """Measure the codec, JPEG and JPEG 2000 on images (see the module's
    description for how).

    Parameters
    ----------
    images : sequence of str
        Image files Pillow reads.
    psnr : sequence of float
        The codec's target PSNRs, dB; four or more for a delta rate.
    out : str
        The folder of points.csv, summary.md and the plots.
    block : int
        The codec's block side.
    dictionary : str, optional
        The codec's dictionaries (:func:`tilevista.codec.encode`); its
        default when None.
    colour : bool
        Colour images in colour (RGB) rather than grey.
    workers : int, optional
        0: in this process; N: a local Dask cluster of N processes; None: one
        per processor when Dask is installed, else in this process.
    scheduler : str, optional
        The address of a Dask scheduler to run on.
    threads : int
        The codec's threads in this process (0: every processor; each Dask
        worker takes one). The points do not depend on it, its times do.
    messages : callable, optional
        Called with a line of text about the run.

    Returns
    -------
    Comparison

    Raises
    ------
    ValueError
        No image, no target, or a points.csv of something else in ``out``.
    ImportError
        Pillow is missing, or Dask when workers or a scheduler is asked for.
    """
    if not images or not psnr:
        raise ValueError("the comparison needs at least one image and one target PSNR")
    import PIL  # noqa: F401  (the references and the images need it)

    folder = Path(out)
    folder.mkdir(parents=True, exist_ok=True)
    table = folder / POINTS
    mode = "RGB" if colour else "L"
    images = [os.path.abspath(i) for i in images]
    done = {k: p for k, p in _latest(_load_points(table)).items() if not p.error}
    tasks = _tasks(images, mode, psnr, block, dictionary, done, threads)
    to_do = sum(len(t.settings) for t in tasks)
    if messages is not None:
        messages(f"{len(images)} image{'s' * (len(images) != 1)}: {to_do} point"
                 f"{'s' * (to_do != 1)} to measure, the others already in {table}")
    measured = 0
    for points in _run_tasks(tasks, workers, scheduler):
        _append_points(table, points)  # as they come: a stopped run keeps them
        measured += len(points)
    latest = _latest(_load_points(table))
    wanted = [k for t in _tasks(images, mode, psnr, block, dictionary, {}, threads)
              for k in ((t.image, mode, t.coder, t.options(), s) for s in t.settings)]
    points = [latest[k] for k in wanted if k in latest]
    result = Comparison(points, {}, {}, measured, table, folder / "summary.md", [])
    for image in images:
        curves = _curves(points, image)
        name = Path(image).stem
        result.bd_jpeg[name] = bd_rate(curves["JPEG"], curves["codec"])
        result.bd_jpeg2000[name] = bd_rate(curves["JPEG 2000"], curves["codec"])
    _write_summary(result, images, block, dictionary, mode)
    result.plots = _write_plots(result, images, folder)
    return result


def _curves(points: Sequence[Point], image: str) -> Dict[str, List[Tuple[float, float]]]:
    """Each coder's (bpp, psnr) points of an image, by rate."""
    return {coder: sorted((p.bpp, p.psnr) for p in points
                          if p.image == image and p.coder == coder and not p.error)
            for coder in CODERS}


# --- the summary and the plots ----------------------------------------------------

def _percent(value: float) -> str:
    return "n/a" if math.isnan(value) else f"{value:+.1f} %".replace("-", "−")


def _write_summary(result: Comparison, images: Sequence[str], block: int,
                   dictionary: Optional[str], mode: str) -> None:
    lines = [f"Codec: {block} x {block} blocks, dictionaries {dictionary or 'the default'}; "
             f"images in {'colour' if mode == 'RGB' else 'grey'}. Bjøntegaard delta rate "
             f"over {BD_RANGE[0]:g}–{BD_RANGE[1]:g} dB (negative: the codec needs fewer bits).",
             "", f"| image | vs JPEG | vs JPEG 2000 | codec near {QUOTED_PSNR:g} dB | "
             "its decoding |", "|---|---|---|---|---|"]
    for image in images:
        name = Path(image).stem
        own = [p for p in result.points if p.image == image and p.coder == "codec"
               and not p.error]
        near = min(own, key=lambda p: abs(p.psnr - QUOTED_PSNR), default=None)
        quoted = (f"{near.bpp:.3f} bpp ({near.psnr:.2f} dB) | {near.decode_seconds:.3f} s"
                  if near else "n/a | n/a")
        lines.append(f"| {name} | {_percent(result.bd_jpeg[name])} | "
                     f"{_percent(result.bd_jpeg2000[name])} | {quoted} |")
    lines.append(f"| **mean** | **{_percent(result.mean('JPEG'))}** | "
                 f"**{_percent(result.mean('JPEG 2000'))}** | | |")
    errors = [p for p in result.points if p.error]
    if errors:
        lines += ["", f"{len(errors)} point{'s' * (len(errors) != 1)} could not be measured "
                  "(a later run tries again):"]
        lines += [f"- {Path(p.image).stem}, {p.coder} {p.setting}: {p.error}" for p in errors]
    result.summary.write_text("\n".join(lines) + "\n")


def _panel(ax: Any, result: Comparison, image: str) -> None:
    name = Path(image).stem
    curves = _curves(result.points, image)
    styles = {"codec": ("C0", "o", f"this codec (BD-rate {_percent(result.bd_jpeg[name])} vs "
                                   f"JPEG, {_percent(result.bd_jpeg2000[name])} vs JPEG 2000)"),
              "JPEG": ("C1", "s", "JPEG (libjpeg, optimised Huffman)"),
              "JPEG 2000": ("C2", "^", "JPEG 2000 (OpenJPEG, 9/7)")}
    top = 0.0
    for coder in CODERS:
        points = curves[coder]
        colour, marker, label = styles[coder]
        ax.plot([p[0] for p in points], [p[1] for p in points], color=colour, marker=marker,
                markersize=3, linewidth=1.2, label=label)
        if coder == "codec" and points:
            top = max(p[0] for p in points)
    ax.set_xlim(0, 1.15 * top if top > 0 else None)
    ax.set_ylim(BD_RANGE[0] - 3, BD_RANGE[1] + 3)
    ax.grid(alpha=0.3)
    ax.set_title(name)
    ax.set_xlabel("rate (bits per pixel, whole file)")
    ax.set_ylabel("PSNR (dB)")
    ax.legend(fontsize=7, loc="lower right")


def _write_plots(result: Comparison, images: Sequence[str], folder: Path) -> List[Path]:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    written = []
    for image in images:
        fig, ax = plt.subplots(figsize=(5.0, 3.8))
        _panel(ax, result, image)
        fig.suptitle("PSNR against rate: the codec, JPEG and JPEG 2000", fontsize=10)
        fig.tight_layout()
        path = folder / f"{Path(image).stem}_rate.png"
        fig.savefig(path, dpi=150)
        plt.close(fig)
        written.append(path)
    columns = min(len(images), 3)
    rows = -(-len(images) // columns)
    fig, axes = plt.subplots(rows, columns, figsize=(5.0 * columns, 3.9 * rows), squeeze=False)
    for ax, image in zip(axes.flat, images):
        _panel(ax, result, image)
    for ax in list(axes.flat)[len(images):]:
        ax.set_visible(False)
    fig.suptitle(f"PSNR against rate: the codec, JPEG and JPEG 2000 (mean BD-rate "
                 f"{_percent(result.mean('JPEG'))} vs JPEG, "
                 f"{_percent(result.mean('JPEG 2000'))} vs JPEG 2000)", fontsize=11)
    fig.tight_layout()
    path = folder / "rate.png"
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return written + [path]
