"""One call of the module from Python: :func:`approximate`.

The call runs the module's own entry point in-process, through the same
gateway Octave and MATLAB call, so every check, message, stop rule and number
is the module's. This file only converts the arguments (see :mod:`.inputs`),
turns the module's host errors into Python exceptions and its outputs into
NumPy arrays with Python's 0-based indices.
"""

from __future__ import annotations

import signal
import sys
import threading
from typing import List, NamedTuple, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _native
from .inputs import module_blocks, module_matrix, module_scalar

__all__ = ["Approximation", "approximate"]

_OUTPUTS = 7
_INTERRUPTED = "TILEVISTA_Mex: interrupted by the user"
# Host errors that mean memory ran out: the module's own estimate of what the
# call needs, and the host's refusal to create an array.
_OUT_OF_MEMORY = ("Not enough memory for this call", "Out of memory")
# A C++ exception that escaped the module: a fault, not a rejected input.
_MODULE_FAULT = "Unexpected C++ exception"


class Approximation(NamedTuple):
    """What one call of the module returns, block by block in input order.

    Attributes
    ----------
    approximations : list of numpy.ndarray
        The approximated blocks, rows x cols each; a block that received no
        atom is all zeros.
    y_indices, x_indices : list of numpy.ndarray
        Per block, the 0-based column indices into ``Dy`` and ``Dx`` of its
        atoms, in the order they were chosen (int64, one entry per atom). The
        module itself counts from 1; these are shifted to Python's convention.
    duals : list of numpy.ndarray
        Per block, an N x m matrix (N = rows * cols, m its atom count) whose
        column j is the dual vector of atom j: its inner product with the block
        gives the coefficient of atom j.
    coefficients : list of numpy.ndarray
        Per block, the m coefficients of its atoms.
    orthonormal : list of numpy.ndarray
        Per block, an N x m matrix whose columns are an orthonormal basis of
        the span of its atoms, in the order they were chosen.
    total_atoms : int
        The number of atoms chosen over all blocks.
    log : str
        The module's console text of the call (banner and stop message).

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
    duals: List[np.ndarray]
    coefficients: List[np.ndarray]
    orthonormal: List[np.ndarray]
    total_atoms: int
    log: str


def _print_now(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def _forwards_ctrl_c() -> bool:
    """Ctrl-C ends the call when Python would raise KeyboardInterrupt for it:
    on the main thread, with Python's default SIGINT handler in place."""
    return (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler)


def _host_error(console: str, error: str) -> BaseException:
    """The Python exception for a call that ended with a host error."""
    text = error.rstrip()
    if error.startswith(_INTERRUPTED):
        return KeyboardInterrupt(text)
    if error.startswith(_OUT_OF_MEMORY):
        return MemoryError(text)
    if error.startswith(_MODULE_FAULT):
        return RuntimeError(text)
    # A rejection: the module may have printed its reason before the error
    # ("... see message above!!"), so the message carries both.
    detail = console.strip()
    return ValueError(f"{detail}\n{text}" if detail else text)


def _indices(cell: List[Optional[np.ndarray]]) -> List[np.ndarray]:
    """The module's 1-based atom indices as 0-based int64 vectors."""
    return [np.empty(0, np.int64) if c is None else c.reshape(-1).astype(np.int64) - 1
            for c in cell]


def _vectors(cell: List[Optional[np.ndarray]], length: int) -> List[np.ndarray]:
    return [np.empty((length, 0)) if c is None else c for c in cell]


def approximate(blocks: Union[ArrayLike, Sequence[ArrayLike]], Dy: ArrayLike, Dx: ArrayLike,
                tol: Optional[ArrayLike] = 6.5, max_atoms: Optional[ArrayLike] = 0, *,
                verbose: bool = False) -> Approximation:
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
        The total squared residual at which to stop (default 6.5). None gives
        the module's default.
    max_atoms : int, optional
        The most atoms to choose in all; 0 (the default) means no limit beyond
        what the blocks can hold. The module reads it as a float64 and
        truncates it.
    verbose : bool, optional
        Also print the module's console text while the call runs.

    Returns
    -------
    Approximation
        A named tuple ``(approximations, y_indices, x_indices, duals,
        coefficients, orthonormal, total_atoms, log)``. Atom indices are
        0-based.

    Raises
    ------
    ValueError
        The module rejected the call (its message, with any detail it printed
        before), or an argument cannot be passed to it: not 2-D (3-D for a
        block array), not numbers, or values float64 cannot represent exactly.
    MemoryError
        The call needs more memory than the system can give.
    KeyboardInterrupt
        Ctrl-C was pressed during the call (main thread only).

    Notes
    -----
    Booleans, integers and floats are converted to float64 when that is exact;
    arrays may have any memory order or strides. So uint8 blocks (or float32
    dictionaries) are taken as their float64 values here, while the module
    called from Octave or MATLAB rejects them ("Block 1 must be a real, full
    double matrix ...; it is of class uint8"). Complex arrays are passed as
    they are and the module rejects them. An image is not a block array:
    cut it with :func:`tilevista.image_blocks`.

    The module's messages, the text of the ``ValueError`` (after the console
    line the module printed first, if any), with cause and cure; they number
    blocks from 1 ("Block 3 must be ..." is ``blocks[2]``)::

        "Input must be double, real, full,and nonstring"
            Dy, Dx, tol or max_atoms is complex: pass real values.
        "The image matrix is empty!!"
            No blocks: an empty sequence or an array of 0 blocks.
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
            That block has another shape than the second block (or the only
            one), or is complex: cut images with image_blocks.
        "TILEVISTA_THREADS is '%s': it must be a whole number of threads from 1 to ..."
            The environment variable is not 0 to 1024: set or delete it in
            os.environ.
        "Error TILEVISTA exited early see message above!!"
        after the console line "The minimum number of atoms %i must be greater than 0 and less than %i!"
            max_atoms is negative or above the capacity of all blocks (0
            means the capacity).
        "Error TILEVISTA exited early see message above!!"
        after the console line "Tol is %g is should be positive!"
            tol is negative (0 never stops the pursuit on tol).

    ``MemoryError`` carries "Not enough memory for this call: ..." (the
    amounts the call needs) or the host's "Out of memory: ...": fewer or
    smaller blocks per call, smaller dictionaries, a larger tol or a budget.
    The package always passes blocks as a cell and asks for all seven
    outputs, so the module's "Wrong number of input arguments", "Must Enter a
    Cell Block" and "Wrong number of output arguments!" do not occur here.

    The GIL is released while the pursuit runs; calls from several threads
    run one after another. The module's thread count comes from the
    environment variable ``TILEVISTA_THREADS``.

    Examples
    --------
    The call of the module's documentation: two 2 x 1 blocks, ``Dy`` the 2 x 2
    identity and ``Dx`` = [[1]].

    >>> import numpy as np
    >>> r = approximate([np.array([[3.0], [4.0]]), np.array([[0.0], [1.0]])],
    ...                 np.eye(2), np.ones((1, 1)))
    >>> r.total_atoms, r.y_indices[0].tolist(), r.coefficients[0].tolist()
    (2, [1, 0], [4.0, 3.0])
    """
    inputs = [module_blocks(blocks), module_matrix(Dy, "Dy"), module_matrix(Dx, "Dx"),
              module_scalar(tol, "tol"), module_scalar(max_atoms, "max_atoms")]
    outputs, console, error, interrupted_after = _native.call_module(
        inputs, _OUTPUTS, _print_now if verbose else None, _forwards_ctrl_c())
    if error is not None:
        raise _host_error(console, error)
    if interrupted_after:
        raise KeyboardInterrupt(_INTERRUPTED)
    approximations, y, x, duals, coefficients, orthonormal, total = outputs
    length = approximations[0].size if approximations else 0
    return Approximation(
        approximations=approximations,
        y_indices=_indices(y),
        x_indices=_indices(x),
        duals=_vectors(duals, length),
        coefficients=[np.empty(0) if c is None else c.reshape(-1) for c in coefficients],
        orthonormal=_vectors(orthonormal, length),
        total_atoms=int(total[0, 0]),
        log=console,
    )
