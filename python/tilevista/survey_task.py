"""The work of one survey task: one image, one block size, one dictionary, at
several target PSNRs, the global choice against block by block.

A task runs wherever the survey sends it (in the survey's process, or in a
Dask worker) and returns its rows and the rate-distortion curve of its global
call; it never raises for a failure of its own (an unreadable image, a call
the module rejects or cannot fit in memory): the rows then carry the error.

What a row measures
-------------------
The image is cut as :func:`tilevista.image_blocks` cuts it, and as
:func:`tilevista.approximate_image` and the Octave toolbox do: when its
height or width is not a multiple of the block side, the border is padded by
repeating the last row and column, so that every pixel is approximated. The
PSNR is on the image's own pixels (``pixels``, all channels counted),
``10 log10(peak² · pixels / energy)``, with ``peak`` the largest value of the
image's type (255 for 8-bit images) and ``energy`` the squared error on those
pixels after the last atom: the module's total residual less the padding's
(:mod:`tilevista.border_error`). A target of ``db`` dB is the module's ``tol =
pixels · peak² / 10^(db/10)``, whose stop rule counts the padding's error
too, so the target is always met. A row is then what ``approximate_image``
gives for the same image, block, dictionary and target: the same atoms and
the same PSNR.

Global: **one** module call over all blocks at the tightest target, with its
curve; a looser target's row is the prefix of that call a call at its tol
takes (:meth:`tilevista.PursuitCurve.atoms_for_tol`).

Block by block: every block alone, in a call of its own, to its share of the
error, ``tol · own / pixels`` with ``own`` the block's own pixels: the same
mean squared error (the target PSNR) in every block. A block's atoms depend
on that block alone, so one call per block at the tightest target's share
gives, through its curve, what the looser shares take; a row adds the blocks'
atoms and their own pixels' errors.
"""

from __future__ import annotations

import functools
import hashlib
import math
import signal
import sys
import time
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .blocks import BlockLayout, image_blocks
from .border_error import own_energies, padded_blocks, padding_errors
from .curve import PursuitCurve
from .dictionaries import dictionary, direction_matrix, direction_pair
from .errors import CallRejected
from .image import default_peak
from .module_call import Approximation, call_module
from .pictures import read_image
from .quality import tol_for_peak

__all__ = ["SurveyTask", "SurveyRow", "TaskCurve", "TaskOutcome", "Point", "block_energies",
           "curve_point", "call_point", "point_psnr", "dictionary_name", "DictionaryName",
           "run_task", "error_rows", "IgnoreCtrlC", "CURVE_POINTS"]

# The points of a global call's rate-distortion curve a task returns: about
# this many atom counts, evenly spaced on a logarithmic scale, and the rows'.
CURVE_POINTS = 400


class SurveyTask(NamedTuple):
    """One task of a survey.

    Attributes
    ----------
    image : str
        The image file, as the survey names it.
    block : int
        The block side: blocks of block x block pixels.
    dictionary : str or numpy.ndarray
        The dictionary: a description string for both directions (e.g.
        ``"cosine:16"``), ``"ROWS/COLUMNS"`` for one each, or a matrix.
    targets : tuple of float
        The target PSNRs in dB to give rows for.
    """

    image: str
    block: int
    dictionary: Union[str, np.ndarray]
    targets: Tuple[float, ...]


class SurveyRow(NamedTuple):
    """One row of a survey's table: one image, block size, dictionary and
    target PSNR. The measures are None in a row with an error.

    Attributes
    ----------
    image : str
        The image file.
    pixels : int or None
        The values measured: height x width x channels of the image (its
        own pixels; the padding of the border blocks is not counted).
    block : int
        The block side.
    dictionary : str
        The dictionary (:func:`dictionary_name`), e.g. "cosine:16" (16
        cosine atoms along each direction).
    atoms_y, atoms_x : int or None
        The dictionary's size: its atoms along the block rows and columns.
    target_psnr : float
        The target PSNR in dB.
    global_psnr, blockwise_psnr : float or None
        The PSNR reached, in dB: the global choice (one call for the whole
        image), and every block alone to the same PSNR.
    global_atoms, blockwise_atoms : int or None
        The atoms taken.
    global_pixels_per_atom, blockwise_pixels_per_atom : float or None
        ``pixels / atoms`` (inf without atoms).
    global_seconds, blockwise_seconds : float or None
        The time of the task's global call, and of its block-by-block calls
        (shared by the task's rows).
    seconds_per_atom : float or None
        The global call's time over its atoms (larger dictionaries cost
        more per atom).
    threads : int or None
        The threads the global call worked with.
    worker : str
        Where the task ran: a Dask worker's address, or "in-process".
    error : str
        Why the row has no measures, or "".
    """

    image: str
    pixels: Optional[int]
    block: int
    dictionary: str
    atoms_y: Optional[int]
    atoms_x: Optional[int]
    target_psnr: float
    global_psnr: Optional[float]
    global_atoms: Optional[int]
    global_pixels_per_atom: Optional[float]
    blockwise_psnr: Optional[float]
    blockwise_atoms: Optional[int]
    blockwise_pixels_per_atom: Optional[float]
    global_seconds: Optional[float]
    blockwise_seconds: Optional[float]
    seconds_per_atom: Optional[float]
    threads: Optional[int]
    worker: str
    error: str

    @property
    def key(self) -> Tuple[str, int, str, float]:
        """(image, block, dictionary, target_psnr): what identifies the row."""
        return (self.image, self.block, self.dictionary, self.target_psnr)


class Point(NamedTuple):
    """An approximation at one target: the atoms taken and the total squared
    residual left."""

    atoms: int
    energy: float


class TaskCurve(NamedTuple):
    """The rate-distortion curve of a task's global call: the PSNR on the
    image's own pixels after a number of atoms, at about
    :data:`CURVE_POINTS` atom counts from 1 to the call's last atom.

    Attributes
    ----------
    image : str
        The image file.
    block : int
        The block side.
    dictionary : str
        The dictionary, as in :class:`SurveyRow`.
    pixels : int
        The image's values.
    atoms : tuple of int
        Atom counts, rising.
    psnr : tuple of float
        The PSNR in dB after each.
    """

    image: str
    block: int
    dictionary: str
    pixels: int
    atoms: Tuple[int, ...]
    psnr: Tuple[float, ...]

    @property
    def key(self) -> Tuple[str, int, str]:
        """(image, block, dictionary): the task's rows' key without a target."""
        return (self.image, self.block, self.dictionary)


class TaskOutcome(NamedTuple):
    """What :func:`run_task` returns: the rows, one per target, and the
    global call's curve (None when the task failed)."""

    rows: List[SurveyRow]
    curve: Optional[TaskCurve]


class DictionaryName(NamedTuple):
    """How a survey names a task's dictionary, and its size (None when the
    description is refused: its task's rows then carry the refusal)."""

    name: str
    atoms_y: Optional[int]
    atoms_x: Optional[int]


@functools.lru_cache(maxsize=256)
def _described(description: str, block: int) -> DictionaryName:
    y, x = direction_pair(description)
    try:
        built = [dictionary(y, block), dictionary(x, block)]
    except ValueError:
        return DictionaryName(description.strip(), None, None)
    names = [d.description for d in built]
    return DictionaryName(names[0] if names[0] == names[1] else "/".join(names),
                          built[0].matrix.shape[1], built[1].matrix.shape[1])


def dictionary_name(description: Union[str, np.ndarray], block: int) -> DictionaryName:
    """The ``dictionary`` of a task's rows and its size.

    Parameters
    ----------
    description : str or numpy.ndarray
        The task's dictionary (see :class:`SurveyTask`).
    block : int
        The block side, the atoms' length.

    Returns
    -------
    DictionaryName
        A description normalised (``"cosine:16"``, ``"cosine:16/haar"``), as
        given when refused; a matrix as ``"matrix n x K <digest>"``, its
        bits' digest telling matrices of one shape apart.
    """
    if isinstance(description, str):
        return _described(description, block)
    D = np.asarray(description)
    digest = hashlib.sha256(np.ascontiguousarray(D, dtype=np.float64).tobytes()).hexdigest()
    k = D.shape[1] if D.ndim == 2 else None
    return DictionaryName(f"matrix {D.shape[0] if D.ndim else 0} x {k} {digest[:12]}", k, k)


def block_energies(blocks: np.ndarray) -> np.ndarray:
    """The squared values of each block summed: its residual before any atom.

    Parameters
    ----------
    blocks : numpy.ndarray
        (Q, rows, cols) float64 blocks.

    Returns
    -------
    numpy.ndarray
        Q float64 energies.
    """
    return np.einsum("qij,qij->q", blocks, blocks)


def curve_point(curve: PursuitCurve, tol: float, start: float) -> Point:
    """What a call at ``tol`` takes, read off the curve of a call at a tighter
    (smaller) tol of the same blocks.

    Parameters
    ----------
    curve : PursuitCurve
        The curve of the tighter call.
    tol : float
        The looser tol, positive and finite.
    start : float
        The blocks' total energy before any atom (:func:`block_energies`).

    Returns
    -------
    Point
        No atom when the blocks are already below ``tol``; else the atoms
        :meth:`PursuitCurve.atoms_for_tol` tells and the total after the last.
    """
    if start < tol:
        return Point(0, start)
    n = curve.atoms_for_tol(tol)
    return Point(n, float(curve.energy[n - 1]) if n else start)


def call_point(result: Approximation, start: float) -> Point:
    """The atoms and the total residual of a call made with ``curve=True``.

    Parameters
    ----------
    result : Approximation
        The call's result.
    start : float
        The blocks' total energy before any atom.

    Returns
    -------
    Point
    """
    n = result.total_atoms
    return Point(n, float(result.curve.energy[n - 1]) if n else start)


def point_psnr(energy: float, pixels: int, peak: float) -> float:
    """The PSNR in dB of ``pixels`` values of largest value ``peak`` with a
    total squared error ``energy`` (inf for none)."""
    return math.inf if energy == 0 else 10 * math.log10(peak * peak * pixels / energy)


def _ratio(pixels: int, atoms: int) -> float:
    return pixels / atoms if atoms else math.inf


def worker_name() -> str:
    """The address of the Dask worker this runs in, or "in-process"."""
    if "distributed" in sys.modules:
        try:
            from distributed import get_worker
            return get_worker().address
        except ValueError:  # not in a worker
            pass
    return "in-process"


def error_rows(task: SurveyTask, error: str, worker: str = "") -> List[SurveyRow]:
    """The rows of a task that failed, one per target, carrying ``error``
    (on one line)."""
    text = " / ".join(line.strip() for line in str(error).splitlines() if line.strip())
    name = dictionary_name(task.dictionary, task.block)
    return [SurveyRow(task.image, None, task.block, name.name, name.atoms_y, name.atoms_x,
                      target, *([None] * 10), worker, text or "failed")
            for target in task.targets]


def _failure(e: Exception) -> str:
    if isinstance(e, CallRejected):
        return f"the module rejected the call ({e.identifier}): {e}"
    if isinstance(e, MemoryError):
        return f"out of memory: {e}"
    if isinstance(e, ValueError):
        return str(e)
    return f"{type(e).__name__}: {e}"


def run_task(task: SurveyTask) -> TaskOutcome:
    """Measure one image at one block size and dictionary, at every target.

    Parameters
    ----------
    task : SurveyTask
        The task; its targets in any order.

    Returns
    -------
    TaskOutcome
        One row per target, in the order of ``task.targets`` (every row
        carries the error when the task failed), and the global call's curve.
    """
    worker = worker_name()
    try:
        img = read_image(task.image)
    except Exception as e:  # Pillow raises several kinds for files it cannot read
        return TaskOutcome(error_rows(task, f"cannot read {task.image} as an image: {e}",
                                      worker), None)
    try:
        return _measure(task, img, worker)
    except Exception as e:  # every failure becomes the task's rows
        return TaskOutcome(error_rows(task, _failure(e), worker), None)


def _measure(task: SurveyTask, img: np.ndarray, worker: str) -> TaskOutcome:
    peak = default_peak(img)
    blocks, layout = image_blocks(img, task.block)
    Dy, Dx = (direction_matrix(half, task.block, name)[0]
              for half, name in zip(direction_pair(task.dictionary), ("Dy", "Dx")))
    name = dictionary_name(task.dictionary, task.block)
    pixels = img.size
    tols = [tol_for_peak(pixels, db, peak) for db in task.targets]
    tightest = min(tols)
    energies = block_energies(blocks)
    start = math.fsum(energies)
    masks = padded_blocks(layout)

    began = time.perf_counter()
    # Tols made from target PSNRs: call_module, which does not warn of them.
    whole = call_module(blocks, Dy, Dx, tightest, curve=True, duals=False, bases=False)
    global_seconds = time.perf_counter() - began
    padding = {q: padding_errors(blocks[q], mask, Dy, Dx, whole.y_indices[q], whole.x_indices[q])
               for q, mask in masks.items()}
    global_points = []
    for tol in tols:
        p = call_point(whole, start) if tol == tightest else curve_point(whole.curve, tol, start)
        counts = whole.curve.atoms_per_block(p.atoms)
        global_points.append(Point(p.atoms, p.energy - math.fsum(
            float(errors[counts[q]]) for q, errors in padding.items())))
    own = own_energies(whole.curve.energy, whole.curve.block, whole.curve.position, padding)

    began = time.perf_counter()
    per_block = blockwise_points(blocks, Dy, Dx, energies, tols, layout)
    blockwise_seconds = time.perf_counter() - began

    rows = []
    for target, g, b in zip(task.targets, global_points, per_block):
        rows.append(SurveyRow(
            task.image, pixels, task.block, name.name, Dy.shape[1], Dx.shape[1], target,
            point_psnr(g.energy, pixels, peak), g.atoms, _ratio(pixels, g.atoms),
            point_psnr(b.energy, pixels, peak), b.atoms, _ratio(pixels, b.atoms),
            global_seconds, blockwise_seconds,
            global_seconds / whole.total_atoms if whole.total_atoms else None,
            whole.threads, worker, ""))
    return TaskOutcome(rows, _task_curve(task, name.name, pixels, peak, own,
                                         [g.atoms for g in global_points]))


def _task_curve(task: SurveyTask, name: str, pixels: int, peak: float, own: np.ndarray,
                marked: Sequence[int]) -> TaskCurve:
    """The curve at about CURVE_POINTS atom counts, log-spaced, with the
    rows' counts among them."""
    total = len(own)
    counts = np.unique(np.concatenate((
        np.geomspace(1, max(total, 1), CURVE_POINTS).round().astype(np.int64),
        [n for n in marked if n > 0], [total]))) if total else np.empty(0, np.int64)
    counts = counts[(counts >= 1) & (counts <= total)]
    return TaskCurve(task.image, task.block, name, pixels,
                     tuple(int(n) for n in counts),
                     tuple(point_psnr(float(own[n - 1]), pixels, peak) for n in counts))


def blockwise_points(blocks: np.ndarray, Dy: np.ndarray, Dx: np.ndarray, energies: np.ndarray,
                     tols: Sequence[float], layout: BlockLayout) -> List[Point]:
    """Every block alone, to its share ``tol * own / pixels`` of each tol (own:
    the block's own pixels, its padding left out): the atoms of all blocks
    and the squared error on the image's own pixels, per tol.

    Parameters
    ----------
    blocks : numpy.ndarray
        (Q, rows, cols) float64 blocks.
    Dy, Dx : numpy.ndarray
        The dictionaries along the block rows and columns.
    energies : numpy.ndarray
        :func:`block_energies` of the blocks.
    tols : sequence of float
        The whole image's tols.
    layout : BlockLayout
        How the image was cut (which blocks hold padding).

    Returns
    -------
    list of Point
        One per tol: the blocks' atoms added, and their own pixels' errors
        (added exactly, ``math.fsum``).
    """
    masks = padded_blocks(layout)
    size = blocks.shape[1] * blocks.shape[2]
    pixels = math.prod(layout.image_shape)
    atoms = [0] * len(tols)
    left: List[List[float]] = [[] for _ in tols]
    for q in range(len(blocks)):
        own = size - int(masks[q].sum()) if q in masks else size
        shares = [tol * own / pixels for tol in tols]
        tightest = min(shares)
        alone = call_module(blocks[q:q + 1], Dy, Dx, tightest, curve=True, duals=False,
                            bases=False)
        padding = (padding_errors(blocks[q], masks[q], Dy, Dx, alone.y_indices[0],
                                  alone.x_indices[0]) if q in masks else None)
        for k, share in enumerate(shares):
            start = float(energies[q])
            p = call_point(alone, start) if share == tightest else \
                curve_point(alone.curve, share, start)
            atoms[k] += p.atoms
            left[k].append(p.energy - (float(padding[p.atoms]) if padding is not None else 0.0))
    return [Point(n, math.fsum(e)) for n, e in zip(atoms, left)]


class IgnoreCtrlC:
    """A Dask worker plugin: the worker process ignores SIGINT.

    Ctrl-C at a terminal reaches the whole process group, the survey's local
    workers too; the survey answers it (it stops the workers and keeps the
    rows written so far), and a worker should neither die first nor print a
    traceback. The plugin is set up in every worker of the cluster, those
    started again later included, on the thread that handles signals.
    """

    name = "tilevista-survey-ignore-ctrl-c"

    def setup(self, worker: Any) -> None:
        """Ignore SIGINT in this process."""
        signal.signal(signal.SIGINT, signal.SIG_IGN)
