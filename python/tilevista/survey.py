"""Many images, one table: the global choice against block by block, at
several target PSNRs, block sizes and dictionaries.

    python3 -m tilevista.survey IMAGES... [--psnr DB ...] [--block N ...]
        [--atoms K ... | --dictionary DESCRIPTION ...] [--out DIR]
        [--workers N | --scheduler ADDRESS]

IMAGES are image files, or folders whose image files (by suffix: .png, .jpg,
.tif, ...) are all taken. Every image x block size x dictionary is one task:
one module call at the tightest target with the call's curve, which gives the
rows of the looser targets too, and every block alone to the same PSNR (see
:mod:`tilevista.survey_task` for what the rows measure). The dictionaries are
description strings (--dictionary, e.g. "cosine:16+legendre:8+haar+delta",
the same for rows and columns; "ROWS/COLUMNS" for one each), or cosine ones of
K atoms along each direction (--atoms; by default twice the block side). The
table gives each dictionary's atoms per direction and the global call's time
per atom.

Written into DIR (default output/survey):

    results.csv                a row per image, block size, dictionary and
                               target (see SurveyRow)
    summary.md                 the rows per image and the gain of the global
                               choice, the errors, the last run's speed
    NAME_rate_distortion.png   per image, PSNR against the rate (atoms per
                               pixel): the global calls' whole curves and
                               the rows, global and block by block
    curves/                    the global calls' curves, one file a task

The tasks run on a local Dask cluster of N worker processes of one thread
each (--workers, default one per processor), on an existing cluster
(--scheduler ADDRESS; its workers must reach the image files and have
tilevista), or in this process (--workers 0). A run is resumable: rows
already in results.csv are not computed again (rows with an error are);
Ctrl-C stops it, keeping every row written.
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import signal
import sys
import threading
import time
import warnings
from contextlib import contextmanager
from dataclasses import dataclass, fields, replace
from pathlib import Path
from typing import (Any, Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple,
                    Union)

import numpy as np

from . import _native
from .inputs import positive_integer
from .survey_report import RunFigures, load_curves, write_curve, write_plots, write_summary
from .survey_table import RESULTS, ResultsFile, latest_rows, load_table
from .survey_task import (IgnoreCtrlC, SurveyRow, SurveyTask, TaskOutcome, dictionary_name,
                          error_rows, run_task)

__all__ = ["Survey", "SurveyOptions", "SurveyRow", "run_survey", "find_images", "main",
           "DEFAULT_TARGETS"]

DEFAULT_TARGETS = (30.0, 35.0, 40.0, 45.0)
DEFAULT_OUT = Path("output", "survey")
MAX_ATOMS = math.isqrt(_native.MAX_ATOM_PAIRS)  # 46340: Ky x Kx atom pairs the module counts
IMAGE_SUFFIXES = {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".gif", ".pgm", ".ppm",
                  ".pbm", ".pnm", ".webp"}

Progress = Callable[[int, int], Any]


class Survey(NamedTuple):
    """What :func:`run_survey` returns.

    Attributes
    ----------
    rows : list of SurveyRow
        The table of the survey asked for, one row per image, block size,
        dictionary and target in that order (the images as
        :func:`find_images` lists them), whether computed by this run or an
        earlier one.
    computed : int
        The rows this run computed.
    seconds : float
        The time it took to compute them, from the first task sent to the
        last row written (without starting and stopping a local cluster).
    results, summary : pathlib.Path
        ``results.csv`` and ``summary.md``.
    plots : list of pathlib.Path
        The plots, one per image with rows.
    """

    rows: List[SurveyRow]
    computed: int
    seconds: float
    results: Path
    summary: Path
    plots: List[Path]


@dataclass(frozen=True)
class SurveyOptions:
    """What a survey measures and where it runs: the options of
    :func:`run_survey`, checked when made.

    Every field has a default; give the ones you need, by name. The same
    names are :func:`run_survey`'s keyword arguments, which override the
    fields of a ``SurveyOptions`` passed along with them.

    Parameters
    ----------
    psnr : float or sequence of float, optional
        Target PSNRs in dB (default 30, 35, 40, 45), each above 0; kept as a
        tuple of floats without repeats.
    block : int or sequence of int, optional
        Block sides (default 8): blocks of N x N pixels; kept as a tuple.
    atoms : int or sequence of int, optional
        Atoms of the cosine dictionaries (``cosine:K``) along each direction,
        each tried with every block size, at most 46340; by default (None)
        twice the block side.
    dictionary : str, numpy.ndarray or sequence of them, optional
        Instead of ``atoms``: dictionaries, each tried with every block size.
        A description string (:func:`tilevista.dictionary`) names the
        dictionary of both directions, built for the block side;
        ``"ROWS/COLUMNS"`` one each; a matrix (NumPy array) is used for both
        directions, with the block side of its rows. Kept as a tuple.
    out : path-like, optional
        The output folder (default output/survey), created when missing.
    workers : int, optional
        Worker processes of the local Dask cluster, one thread each (default:
        one per processor this process may use); 0 runs the tasks in this
        process, without Dask.
    scheduler : str, optional
        The address of an existing Dask scheduler to run the tasks on instead
        (its workers must reach the image files and have tilevista).
    progress : bool or callable, optional
        True shows a progress bar (tqdm, on stderr); a callable is called as
        ``progress(rows_done, rows_to_do)`` after each task's rows are written,
        in this process.
    messages : callable, optional
        Told, as one string, what the run will do before it starts.

    Raises
    ------
    ValueError
        A target not above 0, a block side or atom count not a positive
        integer, an atom count above 46340, none of them given, both
        ``atoms`` and ``dictionary``, a dictionary neither a string nor a
        NumPy array, both ``workers`` and ``scheduler``, ``workers`` not a whole number from 0,
        ``progress`` neither a bool nor callable, ``messages`` not callable.

    Examples
    --------
    >>> SurveyOptions(psnr=[40, 30, 40], block=16).psnr
    (40.0, 30.0)
    >>> SurveyOptions(atoms=[16, 0])
    Traceback (most recent call last):
    ...
    ValueError: an atom count must be a positive integer; it is 0
    """

    psnr: Union[float, Sequence[float]] = DEFAULT_TARGETS
    block: Union[int, Sequence[int]] = (8,)
    atoms: Union[None, int, Sequence[int]] = None
    dictionary: Union[None, str, np.ndarray, Sequence[Union[str, np.ndarray]]] = None
    out: Union[str, os.PathLike] = DEFAULT_OUT
    workers: Optional[int] = None
    scheduler: Optional[str] = None
    progress: Union[bool, Progress] = False
    messages: Optional[Callable[[str], Any]] = None

    def __post_init__(self) -> None:
        def keep(name: str, value: Any) -> None:
            object.__setattr__(self, name, value)

        keep("psnr", tuple(_targets(_listed(self.psnr))))
        keep("block", tuple(dict.fromkeys(positive_integer(b, "a block side")
                                          for b in _listed(self.block))))
        if self.atoms is not None:
            keep("atoms", tuple(dict.fromkeys(positive_integer(k, "an atom count")
                                              for k in _listed(self.atoms))))
            if self.atoms and max(self.atoms) > MAX_ATOMS:
                # Refused here, before a dictionary of that size is made for the module to refuse.
                raise ValueError(f"an atom count must be at most {MAX_ATOMS}, as the module "
                                 "counts the atom pairs of its two dictionaries in 32 bits; it "
                                 f"is {max(self.atoms)}")
        if not self.block or self.atoms == ():
            raise ValueError("no block side or no atom count given")
        if self.dictionary is not None:
            if self.atoms is not None:
                raise ValueError("give atoms or dictionary, not both")
            listed = ([self.dictionary] if isinstance(self.dictionary, (str, np.ndarray))
                      else _listed(self.dictionary))
            for description in listed:
                if not isinstance(description, (str, np.ndarray)):
                    raise ValueError("a survey's dictionary is a description string or a NumPy "
                                     f"array; it is {description!r}")
            if not listed:
                raise ValueError("no dictionary given")
            keep("dictionary", tuple(listed))
        if self.scheduler is not None and self.workers is not None:
            raise ValueError("give workers or scheduler, not both")
        if self.workers is not None and (isinstance(self.workers, bool) or
                                         not isinstance(self.workers, int) or self.workers < 0):
            raise ValueError(f"workers must be a whole number from 0; it is {self.workers!r}")
        if not (isinstance(self.progress, bool) or self.progress is None
                or callable(self.progress)):
            raise ValueError(f"progress must be True, False or a callable; it is "
                             f"{self.progress!r}")
        if self.messages is not None and not callable(self.messages):
            raise ValueError(f"messages must be a callable; it is {self.messages!r}")

    @classmethod
    def merged(cls, options: Optional["SurveyOptions"], keywords: dict) -> "SurveyOptions":
        """``options`` (or the defaults) with the fields ``keywords`` name
        replaced.

        Raises
        ------
        ValueError
            ``options`` is not a SurveyOptions, a keyword names no field, or
            the result is refused (see the class).
        """
        if options is not None and not isinstance(options, cls):
            raise ValueError(f"options must be a SurveyOptions; it is {options!r} (give psnr, "
                             "block, atoms and the rest by name)")
        names = {f.name for f in fields(cls)}
        unknown = sorted(set(keywords) - names)
        if unknown:
            raise ValueError(f"unknown option {unknown[0]!r}: the options are "
                             f"{', '.join(f.name for f in fields(cls))}")
        return replace(options or cls(), **keywords)


def find_images(paths: Sequence[Union[str, os.PathLike]]) -> List[str]:
    """The image files of a survey: files as given, folders by their image
    files (sorted; subfolders are not searched); each once.

    Raises
    ------
    ValueError
        A folder holds no image file, or no path is given.
    """
    images: List[str] = []
    for path in paths:
        name = os.path.normpath(os.fspath(path))
        if os.path.isdir(name):
            found = sorted(entry.path for entry in os.scandir(name)
                           if entry.is_file() and Path(entry.name).suffix.lower() in IMAGE_SUFFIXES)
            if not found:
                raise ValueError(f"{name} is a folder without image files (files ending in "
                                 f"{', '.join(sorted(IMAGE_SUFFIXES))})")
            images.extend(os.path.normpath(f) for f in found)
        else:
            images.append(name)  # read by its task; an unreadable file gives error rows
    if not images:
        raise ValueError("no images given")
    return list(dict.fromkeys(images))


def _listed(value: Any) -> List[Any]:
    """Several values (a sequence, an array) as a list, one value (a path, a
    number) as a list of it."""
    if isinstance(value, (str, bytes, os.PathLike)):
        return [value]
    try:
        return list(value)
    except TypeError:
        return [value]


def _targets(values: Sequence[float]) -> List[float]:
    targets = []
    for value in values:
        try:
            db = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"a target PSNR must be a number of dB; it is {value!r}") from None
        if not (math.isfinite(db) and db > 0):
            raise ValueError(f"a target PSNR must be a number of dB above 0; it is {value!r}")
        targets.append(db)
    if not targets:
        raise ValueError("no target PSNR given")
    return list(dict.fromkeys(targets))


class _Cell(NamedTuple):
    """One task of the survey's grid: its dictionary and what rows call it."""

    image: str
    block: int
    dictionary: Union[str, np.ndarray]
    name: str
    atoms: int
    targets: List[float]


def _grid(images: List[str], blocks: List[int], o: "SurveyOptions",
          targets: List[float]) -> List[_Cell]:
    """The tasks in the survey's order, each with its dictionary's name."""
    cells = []
    for image in images:
        for block in blocks:
            choices = (list(o.dictionary) if o.dictionary is not None else
                     [f"cosine:{k}" for k in (o.atoms or [2 * block])])
            for description in choices:
                name = dictionary_name(description, block)
                cells.append(_Cell(image, block, description, name.name,
                                   (name.atoms_y or 1) * (name.atoms_x or 1), targets))
    return cells


def _cost(cell: _Cell) -> float:
    """A guess of a task's time, to start the long ones first: the file's
    size (larger for larger and more textured images) x block side x
    atom pairs."""
    try:
        return os.path.getsize(cell.image) * cell.block * cell.atoms
    except OSError:
        return 0.0


@contextmanager
def _dask_client(workers: int, scheduler: Optional[str]) -> Iterator[Any]:
    """A Dask client of a local cluster of ``workers`` processes of one thread
    each, or of the scheduler at ``scheduler``; closed (and the local cluster
    stopped) on the way out."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise ImportError("the survey runs its tasks on Dask, which is missing: install the "
                          "Debian packages python3-dask and python3-distributed, or run the "
                          "tasks in this process (--workers 0)") from None
    cluster = client = None
    try:
        if scheduler is not None:
            try:
                client = Client(scheduler, timeout="10s")
            except (OSError, TimeoutError) as e:
                raise OSError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
        else:
            # The worker processes start with Ctrl-C ignored (they inherit that): the survey
            # answers Ctrl-C and stops them. Workers started again later (after one died)
            # ignore it from the plugin on. A Ctrl-C while the cluster starts is lost, but
            # one that stopped its start half-way would leave a cluster half made, which
            # Dask reports with tracebacks at exit.
            ignoring = threading.current_thread() is threading.main_thread()
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if ignoring else None
            try:
                with warnings.catch_warnings():  # tornado's, about its own event loop
                    warnings.simplefilter("ignore", DeprecationWarning)
                    cluster = LocalCluster(
                        n_workers=workers, threads_per_worker=1, processes=True,
                        dashboard_address=None, silence_logs=logging.CRITICAL,
                        env={"TILEVISTA_THREADS": "1"})
                    client = Client(cluster)
                client.register_worker_plugin(IgnoreCtrlC(), name=IgnoreCtrlC.name)
            finally:
                if ignoring:
                    signal.signal(signal.SIGINT, previous)
        yield client
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()


def _on_dask(client: Any, tasks: List[SurveyTask]) -> Iterator[TaskOutcome]:
    """What each task gives, as the tasks end on the cluster."""
    from distributed import as_completed

    futures = {client.submit(run_task, task, pure=False, priority=len(tasks) - k): task
               for k, task in enumerate(tasks)}
    # Closing the client (on the way out, also after Ctrl-C) releases the tasks left.
    for future in as_completed(futures):
        task = futures[future]
        try:
            outcome = future.result()
        except Exception as e:  # e.g. its workers died every time it ran
            outcome = TaskOutcome(error_rows(
                task, f"the task failed on the cluster: {type(e).__name__}: {e}"), None)
        yield outcome


def _progress(progress: Union[bool, Progress], total: int) -> Tuple[Optional[Progress], Any]:
    """The callable to tell progress to, and a bar to close (or None)."""
    if progress is True:
        try:
            from tqdm import tqdm
        except ImportError:
            raise ImportError("progress=True needs tqdm: install the Debian package "
                              "python3-tqdm") from None
        bar = tqdm(total=total, unit="row", desc="survey", file=sys.stderr)

        def tell(done: int, _total: int) -> None:
            bar.update(done - bar.n)
        return tell, bar
    if callable(progress):
        return progress, None
    return None, None


def run_survey(images: Union[str, os.PathLike, Sequence[Union[str, os.PathLike]]],
               options: Optional[SurveyOptions] = None, **keywords: Any) -> Survey:
    """Survey images: pixels per atom at target PSNRs, block sizes and
    dictionaries, the global choice against block by block.

    Parameters
    ----------
    images : path-like or sequence of path-like
        Image files, or folders whose image files are all taken
        (:func:`find_images`).
    options : SurveyOptions, optional
        The targets, block sizes, dictionaries, output folder and where the
        tasks run (see :class:`SurveyOptions` for each and its default).
    **keywords
        Any field of :class:`SurveyOptions` by name (``psnr=[30, 40]``,
        ``block=[8, 16]``, ``atoms=...``, ``out=...``, ``workers=0``,
        ``scheduler=...``, ``progress=True``, ``messages=print``),
        overriding ``options``.

    Returns
    -------
    Survey
        The table and the files written.

    Raises
    ------
    ValueError
        An option is refused (see :class:`SurveyOptions`), a folder holds no
        image, no image is given, or the output folder holds a results.csv
        of something else.
    OSError
        The output folder cannot be written, another survey is writing to it
        (:class:`tilevista.survey_table.SurveyBusy`), or the scheduler cannot
        be reached.
    ImportError
        Dask is missing (and ``workers`` is not 0).
    KeyboardInterrupt
        Ctrl-C: the rows written so far stay; a run with the same arguments
        computes the others.

    Notes
    -----
    Failures of a task (an unreadable image, a call the module rejects) do
    not stop the survey: the task's rows carry the error, and a later run
    computes them again.
    """
    o = SurveyOptions.merged(options, keywords)
    images, targets, blocks = _listed(images), list(o.psnr), list(o.block)
    kinds = len(o.dictionary or o.atoms or [None])
    out, scheduler, progress, messages = o.out, o.scheduler, o.progress, o.messages
    workers = len(os.sched_getaffinity(0)) if o.workers is None else o.workers
    files = find_images(images)
    grid = _grid(files, blocks, o, targets)

    with ResultsFile(out) as table:
        done = {key for key, row in latest_rows(table.rows).items() if not row.error}
        cells = []
        for cell in grid:
            missing = tuple(t for t in cell.targets
                            if (cell.image, cell.block, cell.name, t) not in done)
            if missing:
                cells.append(cell._replace(targets=missing))
        cells.sort(key=lambda cell: -_cost(cell))
        tasks = [SurveyTask(c.image, c.block, c.dictionary, tuple(c.targets)) for c in cells]
        total = len(grid) * len(targets)
        to_do = sum(len(task.targets) for task in tasks)
        where = ("in this process" if scheduler is None and workers == 0 else
                 f"on the Dask cluster at {scheduler}" if scheduler is not None else
                 f"on a local Dask cluster of {workers} worker{'s' * (workers != 1)}")
        if messages is not None:
            messages(f"{len(files)} image{'s' * (len(files) != 1)} x {len(blocks)} block "
                     f"size{'s' * (len(blocks) != 1)} x {kinds} "
                     f"dictionar{'ies' if kinds != 1 else 'y'} x "
                     f"{len(targets)} target{'s' * (len(targets) != 1)} = {total} "
                     f"row{'s' * (total != 1)}; "
                     f"{total - to_do} already in {table.path}, {to_do} to compute"
                     + (f" {where}" if to_do else ""))
        tell, bar = _progress(progress, to_do)
        computed, seconds = 0, 0.0
        try:
            if tasks:
                with _engine(tasks, workers, scheduler) as results:
                    started = time.perf_counter()  # the cluster's start not counted
                    for outcome in results:
                        if outcome.curve is not None:
                            write_curve(out, outcome.curve)  # before its rows: they say done
                        table.append(outcome.rows)
                        computed += len(outcome.rows)
                        if tell is not None:
                            tell(computed, to_do)
                    seconds = time.perf_counter() - started
        finally:
            if bar is not None:
                bar.close()
        table.compact()
        latest = latest_rows(table.rows)
        summary = write_summary(out, list(latest.values()), RunFigures(computed, seconds, where))
        plots = write_plots(out, list(latest.values()), load_curves(out))
        rows = [latest[(c.image, c.block, c.name, t)] for c in grid for t in c.targets]
        return Survey(rows, computed, seconds, table.path, summary, plots)


@contextmanager
def _engine(tasks: List[SurveyTask], workers: int, scheduler: Optional[str]
            ) -> Iterator[Iterator[TaskOutcome]]:
    """What the tasks give as they end: in this process, or on Dask."""
    if scheduler is None and workers == 0:
        yield (run_task(task) for task in tasks)
        return
    with _dask_client(workers, scheduler) as client:
        yield _on_dask(client, tasks)


def _target_arg(text: str) -> float:
    try:
        return _targets([text])[0]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a target PSNR: give a number of dB "
                                         "above 0") from None


def _count_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a whole number from 1")
    return value


def _workers_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is not a whole number from 0")
    return value


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command line of the survey; see the module's description.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments (default: the process's).

    Returns
    -------
    int
        The exit status: 0; 1 when rows hold errors; 2 when the survey could
        not run (the message says why); 130 after Ctrl-C.
    """
    parser = argparse.ArgumentParser(
        prog="python3 -m tilevista.survey",
        description="Approximate many images at several target PSNRs, block sizes and "
                    "dictionaries, globally and block by block, into one table of pixels per "
                    "atom (results.csv), a summary and a plot per image.")
    parser.add_argument("images", nargs="+", metavar="IMAGE",
                        help="image files, or folders of image files")
    parser.add_argument("--psnr", type=_target_arg, nargs="+", default=list(DEFAULT_TARGETS),
                        metavar="DB", help="target PSNRs in dB (default 30 35 40 45)")
    parser.add_argument("--block", type=_count_arg, nargs="+", default=[8], metavar="N",
                        help="block sides (default 8)")
    chosen = parser.add_mutually_exclusive_group()
    chosen.add_argument("--atoms", type=_count_arg, nargs="+", default=None, metavar="K",
                        help="atoms of the cosine dictionaries along each direction (default "
                             "twice the block side)")
    chosen.add_argument("--dictionary", nargs="+", default=None, metavar="DESCRIPTION",
                        help="dictionary descriptions, the same for rows and columns, e.g. "
                             "cosine:16+legendre:8+haar+delta; ROWS/COLUMNS for one each")
    parser.add_argument("--out", default=str(DEFAULT_OUT),
                        help=f"output folder (default {DEFAULT_OUT})")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_workers_arg, default=None, metavar="N",
                       help="worker processes of a local Dask cluster, one thread each "
                            "(default one per processor); 0: in this process, without Dask")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the existing Dask cluster of this scheduler")
    args = parser.parse_args(argv)

    def say(text: str) -> None:
        print(f"tilevista.survey: {text}", flush=True)

    try:
        survey = run_survey(args.images, SurveyOptions(
            psnr=args.psnr, block=args.block, atoms=args.atoms, dictionary=args.dictionary,
            out=args.out,
            workers=args.workers, scheduler=args.scheduler, progress=sys.stderr.isatty(),
            messages=say))
    except KeyboardInterrupt:
        results = Path(args.out, RESULTS)
        try:
            held = len(latest_rows(load_table(results)))
            kept = f"{results} holds {held} rows"
        except (OSError, ValueError):
            kept = f"the rows written are in {results}"
        print(f"\ntilevista.survey: interrupted; {kept}: run the same command again to compute "
              "the others", file=sys.stderr)
        return 130
    except (ValueError, OSError, ImportError, MemoryError) as e:
        print(f"tilevista.survey: {e}", file=sys.stderr)
        return 2
    failed = [r for r in survey.rows if r.error]
    rate = (f" ({survey.computed / survey.seconds:.2f} rows per second)"
            if survey.computed and survey.seconds > 0 else "")
    say(f"{survey.computed} rows computed in {survey.seconds:.1f} s{rate}; {survey.results} "
        f"holds the {len(survey.rows)} rows of this survey, {len(failed)} with errors")
    say(f"summary in {survey.summary}, {len(survey.plots)} plot"
        f"{'s' * (len(survey.plots) != 1)} beside it")
    for (image, side, dictionary, error) in dict.fromkeys(
            (r.image, r.block, r.dictionary, r.error) for r in failed):
        print(f"tilevista.survey: {image}, blocks of {side}, {dictionary}: {error}",
              file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
