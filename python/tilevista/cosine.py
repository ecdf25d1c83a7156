"""The redundant cosine dictionary, in plain Python: the dictionary layer's
``cosine:K`` bit for bit (tests/support/cosine-bits holds the two to it,
without the package's compiled extension)."""

from __future__ import annotations

import math
from typing import Optional

import numpy as np

from .inputs import positive_integer

__all__ = ["cosine_dictionary"]


def cosine_dictionary(n: int, K: Optional[int] = None) -> np.ndarray:
    """Redundant cosine dictionary with unit-norm atoms.

    Column k (0-based) samples a cosine of frequency ``pi * k / K``::

        D[r, k] = cos(pi * (r + 1/2) * k / K),   r = 0..n-1, k = 0..K-1,

    and every column is scaled to unit Euclidean norm.

    Parameters
    ----------
    n : int
        Atom length: the block's rows for ``Dy``, its columns for ``Dx``.
    K : int, optional
        Number of atoms; defaults to ``n``. ``K == n`` gives the orthonormal
        DCT-II basis; ``K > n`` samples the frequencies more finely (an
        overcomplete dictionary that contains the basis when K is a multiple
        of n); ``K < n`` keeps the lowest frequencies only.

    Returns
    -------
    numpy.ndarray
        n x K float64 matrix.

    Raises
    ------
    ValueError
        n or K is not a positive integer.

    Notes
    -----
    The values are computed in the same order of operations as the Octave
    toolbox's ``tilevista_cosine_dictionary`` and the dictionary layer's
    ``cosine:K`` (:func:`tilevista.dictionary`), so all give the same bits;
    unlike the layer, no limit is put on n and K.

    Examples
    --------
    >>> D = cosine_dictionary(8, 16)
    >>> D.shape
    (8, 16)
    >>> bool(np.allclose(cosine_dictionary(8).T @ cosine_dictionary(8), np.eye(8)))
    True
    """
    n = positive_integer(n, "n")
    K = n if K is None else positive_integer(K, "K")
    r = np.arange(n, dtype=np.float64).reshape(-1, 1) + 0.5
    angles = math.pi * r * np.arange(K, dtype=np.float64) / K
    # The C library's cosine, element by element: NumPy's vectorised one may
    # differ in the last bit on some processors.
    D = np.array([math.cos(a) for a in angles.flat]).reshape(n, K)
    # Column norms summed down each column in order, as a plain sum does.
    squares = np.zeros(K)
    for row in D:
        squares = squares + row * row
    return D / np.sqrt(squares)
