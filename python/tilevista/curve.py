"""The whole rate-distortion curve of one call: :class:`PursuitCurve`."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np

__all__ = ["PursuitCurve"]


class PursuitCurve(NamedTuple):
    """The atoms of a call in the order the pursuit takes them one after the
    other, and the total squared residual after each.

    The pursuit takes, at every step, the atom of largest candidate value
    over all blocks (the lower block on ties), whatever ``tol``: a call with
    a larger ``tol`` (and the same other arguments) takes exactly a prefix of
    this order, so one call at a tight ``tol`` tells what every looser one
    would give.

    Attributes
    ----------
    block : numpy.ndarray
        int32, the 0-based block of the t-th atom.
    position : numpy.ndarray
        int32, its 0-based position among that block's atoms: the t-th atom
        is ``y_indices[block[t]][position[t]]`` (and x likewise).
    energy : numpy.ndarray
        float64, the total squared residual over all blocks after the t-th
        atom: the exact sum of the blocks' energies, rounded once (NaN or
        +Inf while a block's energy is). The tol rule compares the blocks'
        energies added in block order instead, so the two can differ within
        as many units in the last place as there are blocks.
    tol : float
        The ``tol`` of the call.
    block_count : int
        The number of blocks of the call.

    Examples
    --------
    >>> import numpy as np, tilevista
    >>> r = tilevista.approximate([np.array([[3.0], [4.0]]), np.array([[0.0], [1.0]])],
    ...                           np.eye(2), np.ones((1, 1)), 0.0, curve=True)
    >>> r.curve.block.tolist(), r.curve.energy.tolist()
    ([0, 0, 1], [10.0, 1.0, 0.0])
    >>> r.curve.atoms_for_tol(5), r.curve.atoms_per_block(2).tolist()
    (2, [2, 0])
    """

    block: np.ndarray
    position: np.ndarray
    energy: np.ndarray
    tol: float
    block_count: int

    def atoms_for_tol(self, tol: float) -> int:
        """The atoms a call with this ``tol``, and the same other arguments,
        takes: up to the first atom after which the total is below ``tol``.

        Parameters
        ----------
        tol : float
            At least the ``tol`` of the call that gave the curve.

        Returns
        -------
        int
            That number of atoms; all of the curve's when no total is below
            ``tol`` (``tol`` of 0 or NaN never stops the pursuit), as the
            call then stops where this one did: on its budget or when no
            atom improves any block. Totals within as many units in the last
            place of ``tol`` as there are blocks may be decided otherwise by
            the call (see ``energy``).

        Raises
        ------
        ValueError
            ``tol`` is below the call's: the curve cannot tell.
        """
        tol = float(tol)
        if tol < self.tol:
            raise ValueError(f"the curve of a call at tol={self.tol:g} cannot tell the atoms of "
                             f"tol={tol:g}: make the call with the smaller tol")
        below = np.flatnonzero(self.energy < tol) if tol > 0 and not math.isnan(tol) else []
        return int(below[0]) + 1 if len(below) else len(self.energy)

    def atoms_per_block(self, atoms: int) -> np.ndarray:
        """How many of the first ``atoms`` atoms each block took.

        Parameters
        ----------
        atoms : int
            A number of atoms of the curve, e.g. from :meth:`atoms_for_tol`.

        Returns
        -------
        numpy.ndarray
            int64 counts, one per block.
        """
        return np.bincount(self.block[:atoms], minlength=self.block_count).astype(np.int64)
