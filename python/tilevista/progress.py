"""A progress bar for long calls: :class:`ProgressBar`."""

from __future__ import annotations

import math
from typing import Any, Optional, Sequence, Union

import numpy as np

__all__ = ["ProgressBar", "start_energy"]


def start_energy(blocks: Union[np.ndarray, Sequence[np.ndarray]]) -> float:
    """The total squared value of the blocks: the residual before the first
    atom, where a progress bar starts.

    Parameters
    ----------
    blocks : numpy.ndarray or sequence of numpy.ndarray
        The blocks as the module receives them (:func:`.inputs.module_blocks`).

    Returns
    -------
    float
        The sum of squares; NaN when the blocks are not real numbers.
    """
    parts = [blocks] if isinstance(blocks, np.ndarray) else list(blocks)
    if not all(isinstance(b, np.ndarray) and b.dtype == np.float64 for b in parts):
        return math.nan
    with np.errstate(all="ignore"):
        return float(sum(np.vdot(b.ravel(order="K"), b.ravel(order="K")) for b in parts))


class ProgressBar:
    """A tqdm progress bar driven by a running call's progress.

    Called as ``bar(atoms, energy, tol)`` (as :func:`tilevista.approximate`
    calls a progress callable), it shows how far the total squared residual
    has come down from ``start`` towards ``tol``, on a logarithmic scale (an
    energy halved is as much progress early as late), with the atoms taken so
    far. Where ``tol`` cannot be reached or stops nothing (0, NaN, a
    non-finite start), it counts atoms only. The bar goes to stderr.

    Parameters
    ----------
    start : float
        The total squared residual before the first atom (:func:`start_energy`).

    Raises
    ------
    ImportError
        tqdm is not installed (Debian package ``python3-tqdm``).
    """

    def __init__(self, start: float) -> None:
        try:
            from tqdm import tqdm
        except ImportError as e:
            raise ImportError("progress=True needs tqdm: install the Debian package python3-tqdm "
                              "(or pip install tqdm)") from e
        self._tqdm = tqdm
        self._start = start
        self._bar: Optional[Any] = None
        self._span = math.nan

    def _open(self, tol: float) -> None:
        span = math.log(self._start / tol) if 0 < tol < self._start < math.inf else math.nan
        self._span = span
        if math.isnan(span):
            self._bar = self._tqdm(total=None, desc="TILEVISTA",
                                   bar_format="{desc}: [{elapsed}{postfix}]")
        else:
            # tqdm puts ", " before the postfix.
            self._bar = self._tqdm(total=100, desc="TILEVISTA",
                                   bar_format="{desc}: {percentage:3.0f}%|{bar}| "
                                              "[{elapsed}<{remaining}{postfix}]")

    def __call__(self, atoms: int, energy: float, tol: float) -> None:
        if self._bar is None:
            self._open(tol)
        if not math.isnan(self._span):
            done = math.log(self._start / energy) / self._span if 0 < energy else 1.0
            self._bar.n = round(100 * min(max(done, 0.0), 1.0), 1)
        self._bar.set_postfix_str(f"{atoms} atoms, residual {energy:.4g} (tol {tol:g})")

    def close(self, atoms: Optional[int] = None, reached: bool = False) -> None:
        """Ends the bar.

        Parameters
        ----------
        atoms : int, optional
            The atoms of the finished call, shown last.
        reached : bool, optional
            Whether the call reached tol: the bar is then shown full.
        """
        if self._bar is None:
            return
        if reached and not math.isnan(self._span):
            self._bar.n = 100
        if atoms is not None:
            # Not drawn here: close() draws the final state, once.
            self._bar.set_postfix_str(f"{atoms} atoms", refresh=False)
        self._bar.close()
        self._bar = None
