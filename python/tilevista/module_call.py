"""One call of the module from Python: :func:`approximate`, and the threads
calls take: :func:`threads`.

The package is a host of the module of its own, as the MEX gateway is: its
compiled part describes the NumPy arguments to the module's checks (the same
checks, in the same order, with the same texts and identifiers as from Octave
and MATLAB), sizes the call, runs the module's pursuit once with the GIL
released and hands the results to NumPy without a copy. This file converts
the arguments (see :mod:`.inputs`) and turns the outcome into Python values
and the module's errors into exceptions (see :mod:`.errors`).
"""

from __future__ import annotations

import operator
import os
import signal
import sys
import threading
import warnings
from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _native
from .curve import PursuitCurve
from .errors import CallRejected, module_error
from .inputs import module_blocks, module_matrix, module_scalar
from .progress import ProgressBar, start_energy
from .quality import TolLooksLikePsnrWarning

__all__ = ["Approximation", "approximate", "threads"]

ProgressCallback = Callable[[int, float, float], Any]


class Approximation(NamedTuple):
    """What one call of the module returns, block by block in input order.

    Attributes
    ----------
    approximations : list of numpy.ndarray
        The approximated blocks, rows x cols each (Fortran order); a block
        that received no atom is all zeros.
    y_indices, x_indices : list of numpy.ndarray
        Per block, the 0-based column indices into ``Dy`` and ``Dx`` of its
        atoms, in the order they were chosen (int64, one entry per atom). The
        module itself counts from 1; these are shifted to Python's convention.
    duals : list of numpy.ndarray or None
        Per block, an N x m matrix (N = rows * cols, m its atom count) whose
        column j is the dual vector of atom j: its inner product with the block
        gives the coefficient of atom j. None when declined (``duals=False``).
    coefficients : list of numpy.ndarray
        Per block, the m coefficients of its atoms.
    orthonormal : list of numpy.ndarray or None
        Per block, an N x m matrix whose columns are an orthonormal basis of
        the span of its atoms, in the order they were chosen. None when
        declined (``bases=False``).
    total_atoms : int
        The number of atoms chosen over all blocks.
    log : str
        The module's console text of the call (banner and stop message).
    stop : str
        The rule the pursuit stopped on: ``"tol"`` (the total squared residual
        fell below tol), ``"tol2"`` (no atom improves any block) or
        ``"budget"`` (``max_atoms``, or all the blocks can hold, taken).
    threads : int
        The threads that worked on the call, the calling one included.
    max_err : float or None
        With ``stop == "tol"``, the total squared residual the tol rule
        compared with tol (the blocks' energies added in block order), the
        ``max_err`` of the log; else None.
    curve : PursuitCurve or None
        With ``curve=True``, every atom in the order the pursuit takes them
        one after the other and the total after each; else None.

    Notes
    -----
    A vector of length N is a block in column-major order: element (r, c) of
    the block is entry ``c * rows + r``, so ``v.reshape((rows, cols),
    order="F")`` gives the block. The approximation of a block equals
    ``sum_j coefficients[j] * outer(Dy[:, y_indices[j]], Dx[:, x_indices[j]])``
    up to rounding.
    """

    approximations: List[np.ndarray]
    y_indices: List[np.ndarray]
    x_indices: List[np.ndarray]
    duals: Optional[List[np.ndarray]]
    coefficients: List[np.ndarray]
    orthonormal: Optional[List[np.ndarray]]
    total_atoms: int
    log: str
    stop: str
    threads: int
    max_err: Optional[float]
    curve: Optional[PursuitCurve]


def _print_now(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def _forwards_ctrl_c() -> bool:
    """Ctrl-C ends the call when Python would raise KeyboardInterrupt for it:
    on the main thread, with Python's default SIGINT handler in place."""
    return (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)


def _hint(identifier: str, blocks: Any) -> str:
    """The package's advice after a module error, or ""."""
    if identifier == _native.ERROR_NOT_A_CELL and isinstance(blocks, np.ndarray):
        return (f"blocks is a 2-D array of shape {blocks.shape}, not a stack of blocks: cut an "
                "image into blocks with tilevista.image_blocks(img, rows, cols), or put a single "
                "block in a list")
    return ""


def _progress_callback(progress: Union[bool, ProgressCallback], blocks: Any
                       ) -> Optional[ProgressCallback]:
    if progress is True:
        return ProgressBar(start_energy(blocks))
    if progress is False or progress is None:
        return None
    if callable(progress):
        return progress
    raise ValueError(f"progress must be True, False or a callable; it is {progress!r}")


def approximate(blocks: Union[ArrayLike, Sequence[ArrayLike]], Dy: ArrayLike, Dx: ArrayLike,
                tol: Optional[ArrayLike] = _native.DEFAULT_TOL,
                max_atoms: Optional[ArrayLike] = 0, *,
                verbose: bool = False, duals: bool = True, bases: bool = True,
                curve: bool = False, progress: Union[bool, ProgressCallback] = False
                ) -> Approximation:
    """Approximate blocks by a globally chosen orthogonal matching pursuit.

    Every atom is the outer product of a column of ``Dy`` (along the block
    rows) and a column of ``Dx`` (along the block columns). Each step adds one
    atom to the one block, among all blocks, whose best atom has the largest
    inner product with that block's residual. The pursuit stops when the total
    squared residual over all blocks falls below ``tol``, when no atom improves
    any block, or when ``max_atoms`` atoms have been chosen.

    Parameters
    ----------
    blocks : numpy.ndarray or sequence of array_like
        The blocks, all of one shape rows x cols: a 3-D array (blocks x rows x
        cols) or a sequence of 2-D arrays. Values are read as float64 (see
        Notes).
    Dy : array_like
        Dictionary along the block rows, rows x Ky, one atom per column.
    Dx : array_like
        Dictionary along the block columns, cols x Kx.
    tol : float, optional
        The total squared residual at which to stop (default: the module's,
        6.5, ``_native.DEFAULT_TOL``). None gives
        the module's default.
    max_atoms : int, optional
        The most atoms to choose in all; 0 (the default) means no limit beyond
        what the blocks can hold. The module reads it as a float64 and
        truncates it.
    verbose : bool, optional
        Also print the module's console text while the call runs (its banner
        and stop message, as TILEVISTA_Mex prints them; the stop message
        gets the line feed it lacks, ``log`` keeps the text as it is). By
        default a call prints nothing.
    duals, bases : bool, optional
        Whether to compute and return the dual vectors and the orthonormal
        bases (default True). Declined, they are neither computed nor stored
        (``duals`` / ``orthonormal`` are None): most of a call's memory
        for images.
    curve : bool, optional
        Also return the order in which the pursuit takes the atoms one after
        the other and the total squared residual after each (``curve``, a
        :class:`tilevista.PursuitCurve`): what every looser tol would give.
    progress : bool or callable, optional
        True shows a progress bar (tqdm, on stderr) of the residual against
        tol; a callable is called as ``progress(atoms, energy, tol)`` between
        the pursuit's bands (atoms so far, the total squared residual now,
        +Inf while a block's is not finite), on the calling thread. An
        exception it raises ends the call and propagates.

    Returns
    -------
    Approximation
        A named tuple ``(approximations, y_indices, x_indices, duals,
        coefficients, orthonormal, total_atoms, log, stop, threads, max_err,
        curve)``. Atom indices are 0-based.

    Warns
    -----
    TolLooksLikePsnrWarning
        ``tol`` reads like a PSNR in dB: it lies within 10 to 100 and asks
        the blocks for at least 20 dB more than its own value, their largest
        magnitude taken as the peak (``tol=38`` on the 4096 blocks of a
        512 x 512 image of values up to 255 asks for 86.5 dB, hundreds of
        thousands of atoms). Told before any work; for a target in dB pass
        ``tol_for_psnr(img, db)``.

    Raises
    ------
    CallRejected
        A ``ValueError``: the module rejected the call; its ``identifier``
        names the check, its text says in plain words what was wrong, with
        the sizes or classes seen, and the cure (the words of Octave's
        tilevista_pursuit); its ``message`` and ``detail`` are the module's
        own texts (see Notes).
    ValueError
        An argument cannot be passed to the module: not 2-D (3-D for a block
        array), not numbers, or values float64 cannot represent exactly.
    CallOutOfMemory
        A ``MemoryError``: the call needs more memory than the system can
        give. (A plain ``MemoryError``: an argument too large to convert.)
    CallInterrupted
        A ``KeyboardInterrupt``: Ctrl-C was pressed during the call (main
        thread only).

    Notes
    -----
    Booleans, integers and floats are converted to float64 when that is exact.
    Arrays may have any memory order or strides: float64 arrays stored column
    by column (Fortran order; for a 3-D array each block) and aligned are read
    where they are, others are copied into such an array first. So uint8
    blocks (or float32 dictionaries) are taken as their float64 values here,
    while the module called from Octave or MATLAB rejects them ("Block 1 must
    be a real, full double matrix ...; it is of class uint8"). Complex arrays
    are passed as they are and the module rejects them.

    The module's messages, the ``message`` of the ``CallRejected`` (and the
    console line the module printed first, its ``detail``), with cause and
    cure; they number blocks from 1 ("Block 3 must be ..." is ``blocks[2]``;
    the plain words say "the 3rd of n blocks")::

        "Input must be double, real, full,and nonstring"
            Dy, Dx, tol or max_atoms is complex: pass real values. The
            exception's identifier says which: TILEVISTA:dictionaryYType,
            TILEVISTA:dictionaryXType, TILEVISTA:tolType or
            TILEVISTA:maxAtomsType.
        "The image matrix is empty!!"
            No blocks: an empty sequence or an array of 0 blocks.
        "Must Enter a Cell Block"
            blocks is a 2-D array, an image most likely: cut it with
            tilevista.image_blocks (the exception says so on a line of its
            own), or put a single block in a list.
        "Error!!"
        after the console line "The atoms in the dictionary dictionary Y are of length %i and should be of length %i"
        after the console line "The atoms in the dictionary dictionary X are of length %i and should be of length %i"
            Dy must have as many rows as the blocks, Dx as many as their
            columns, and neither may be empty.
        "One dictionary should have more than 1 atom and the other should have at least one!!"
        after the console line "Dictionary Y has %i atoms and dictionary X has %i atoms"
            Ky + Kx is below 3: give one dictionary at least 2 atoms.
        "The tolerance should be a scalar"
        "The maximum number of atoms should be a scalar"
            tol or max_atoms is an array of more than one value.
        "The blocks are too large: %d x %d = %d pixels per block, at most %d"
        "The dictionaries are too large: %d x %d atom pairs, at most %d"
        "Too many blocks: %d blocks of capacity %d atoms exceed %d atoms in all"
        "The blocks are too large for their dictionaries: %d pixels x %d atoms per block exceed %d values"
            The sizes do not fit the module's 32-bit counts: smaller blocks,
            smaller dictionaries, or the image in several calls.
        "Block %d must be a real, full double matrix of %d x %d; it is ..."
            That block has another shape than the others, or is complex:
            cut images with image_blocks.
        "TILEVISTA_THREADS is '%s': it must be a whole number of threads from 1 to ..."
            The environment variable is not 0 to 1024: set it with
            tilevista.threads(n), or delete it from os.environ.
        "Error TILEVISTA exited early see message above!!"
        after the console line "The minimum number of atoms %i must be greater than 0 and less than %i!"
            max_atoms is negative or above the capacity of all blocks (0
            means the capacity).
        "Error TILEVISTA exited early see message above!!"
        after the console line "Tol is %g is should be positive!"
            tol is negative (0 never stops the pursuit on tol).

    ``CallOutOfMemory`` carries "Not enough memory for this call: ..." (the
    amounts the call needs): fewer or smaller blocks per call, smaller
    dictionaries, declined duals and bases, a larger tol or a budget. The
    package passes all five inputs and returns all results at once, so the
    module's "Wrong number of input arguments" and "Wrong number of output
    arguments!" do not occur here.

    The GIL is released while the pursuit runs; calls from several threads
    run one after another. The module's thread count comes from the
    environment variable ``TILEVISTA_THREADS`` (see :func:`threads`).

    Examples
    --------
    The call of the module's documentation: two 2 x 1 blocks, ``Dy`` the 2 x 2
    identity and ``Dx`` = [[1]].

    >>> import numpy as np
    >>> r = approximate([np.array([[3.0], [4.0]]), np.array([[0.0], [1.0]])],
    ...                 np.eye(2), np.ones((1, 1)))
    >>> r.total_atoms, r.y_indices[0].tolist(), r.coefficients[0].tolist()
    (2, [1, 0], [4.0, 3.0])
    >>> r.stop, r.max_err
    ('tol', 1.0)
    """
    return call_module(blocks, Dy, Dx, tol, max_atoms, verbose=verbose, duals=duals,
                       bases=bases, curve=curve, progress=progress,
                       tol_warning=_warn_tol_like_psnr)


def _warn_tol_like_psnr(asked: float, peak: float, tol: float) -> None:
    """What :func:`approximate` does when the module finds that ``tol``
    reads like a PSNR in dB: a :class:`TolLooksLikePsnrWarning` that points
    at approximate's caller."""
    warnings.warn(f"approximate: tol={tol:g} is a total squared error, which asks these "
                  f"blocks for {asked:.1f} dB (peak {peak:g}, their largest value); for a "
                  f"target of {tol:g} dB pass tol_for_psnr(img, {tol:g}) as tol",
                  TolLooksLikePsnrWarning, stacklevel=4)


def call_module(blocks: Union[ArrayLike, Sequence[ArrayLike]], Dy: ArrayLike, Dx: ArrayLike,
                tol: Optional[ArrayLike] = _native.DEFAULT_TOL,
                max_atoms: Optional[ArrayLike] = 0, *, verbose: bool = False,
                duals: bool = True, bases: bool = True, curve: bool = False,
                progress: Union[bool, ProgressCallback] = False,
                tol_warning: Optional[Callable[[float, float, float], None]] = None
                ) -> Approximation:
    """:func:`approximate` for the package's own functions, which make their
    tol from a PSNR or warn of it themselves: ``tol_warning``, when given, is
    called as ``tol_warning(db, peak, tol)`` before any work when the tol reads
    like a PSNR in dB (``_native.tol_reads_as_psnr``, the blocks' largest
    magnitude as the peak); an exception it raises ends the call."""
    inputs = [module_blocks(blocks), module_matrix(Dy, "Dy"), module_matrix(Dx, "Dx"),
              module_scalar(tol, "tol"), module_scalar(max_atoms, "max_atoms")]
    callback = _progress_callback(progress, inputs[0])
    result = None
    try:
        result = _native.call_module(
            inputs, duals=bool(duals), bases=bool(bases), curve=bool(curve),
            echo=_print_now if verbose else None, progress=callback,
            forward_sigint=_forwards_ctrl_c(), tol_warning=tol_warning)
    finally:
        if isinstance(callback, ProgressBar) and (result is None or result.outcome != "done"):
            callback.close()
    if result.outcome != "done":
        raise module_error(result.identifier, result.detail, result.message,
                           _hint(result.identifier, inputs[0]), result.plain)
    if isinstance(callback, ProgressBar):
        callback.close(result.total_atoms, reached=result.stop == "tol")
    return Approximation(
        approximations=result.approximations, y_indices=result.y_indices,
        x_indices=result.x_indices, duals=result.duals, coefficients=result.coefficients,
        orthonormal=result.orthonormal, total_atoms=int(result.total_atoms), log=result.console,
        stop=result.stop, threads=result.threads, max_err=result.residual_energy,
        curve=None if result.curve is None else PursuitCurve(*result.curve),
    )


def threads(n: Optional[int] = None) -> int:
    """The number of threads a call works with, as the module reads it from
    the environment variable ``TILEVISTA_THREADS``; with ``n``, set it first.

    Parameters
    ----------
    n : int, optional
        1 to 1024 threads for the calls that follow, or 0 for every processor
        this process may use (the variable is then removed). A call never uses
        more threads than it has blocks, and its outputs are the same for
        every thread count. In processes that run side by side
        (multiprocessing workers, parallel jobs), set 1 in each.

    Returns
    -------
    int
        The count in force: what the module makes of the variable (unset,
        empty or 0: the processors of this process's affinity mask). The
        ``threads`` of a call's result is what worked, which may be fewer
        (fewer blocks, too little memory for that many, a BLAS that allows
        one thread only).

    Raises
    ------
    ValueError
        ``n`` is not a whole number from 0 to 1024 (the variable is left as
        it was).
    CallRejected
        ``TILEVISTA_THREADS`` holds anything the module does not take as a
        thread count: the module's message, with which every call would
        fail.

    Examples
    --------
    >>> import os
    >>> saved = os.environ.get("TILEVISTA_THREADS")
    >>> threads(2)
    2
    >>> os.environ["TILEVISTA_THREADS"] = " +3 "
    >>> threads()
    3
    >>> if saved is None: del os.environ["TILEVISTA_THREADS"]
    ... else: os.environ["TILEVISTA_THREADS"] = saved
    """
    name = "TILEVISTA_THREADS"
    if n is not None:
        try:
            count = None if isinstance(n, (bool, np.bool_)) else operator.index(n)
        except TypeError:
            count = None
        if count is None or not 0 <= count <= _native.MAX_THREADS:
            raise ValueError("threads: n must be a whole number from 0 (every processor) to "
                             f"{_native.MAX_THREADS}; it is {n!r}")
        if count == 0:
            os.environ.pop(name, None)
        else:
            os.environ[name] = str(count)
    count, message = _native.threads_for_call()
    if count is None:
        raise CallRejected(_native.ERROR_THREADS, message)
    return count
