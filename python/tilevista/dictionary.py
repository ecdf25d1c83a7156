"""Dictionaries, the 1-D atoms along block rows and columns: redundant
cosines, and several joined for one direction."""

from __future__ import annotations

import math
from typing import List, Optional

import numpy as np

from numpy.typing import ArrayLike

from .inputs import module_matrix, positive_integer

__all__ = ["cosine_dictionary", "combine_dictionaries"]


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
    toolbox's ``tilevista_cosine_dictionary``, so both give the same bits.

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


def combine_dictionaries(*dictionaries: ArrayLike) -> np.ndarray:
    """Join dictionaries for one block direction: their atoms side by side.

    ``combine_dictionaries(A, B, ...)`` is ``np.hstack([A, B, ...])`` in
    float64, as the Octave toolbox's ``tilevista_combine_dictionaries``
    gives it. The atoms are used as given: the module does not divide scores
    by the atoms' norms, so combine dictionaries whose atoms have comparable
    norms (unit norms, as below) unless a weighting is intended.

    Parameters
    ----------
    *dictionaries : array_like
        Two or more non-empty 2-D arrays of real numbers with the same number
        of rows (the atom length). Booleans, integers and floats are taken as
        :func:`tilevista.approximate` takes them, converted exactly to
        float64; Octave's function takes double matrices only.

    Returns
    -------
    numpy.ndarray
        rows x (sum of the atom counts) float64 matrix, the atoms in the order
        given.

    Raises
    ------
    ValueError
        Fewer than two dictionaries, one that is not a non-empty 2-D array of
        real numbers, or one whose row count differs from the first one's
        (numbered from 1, as in Octave's messages).

    Examples
    --------
    Cosines plus the identity basis (single pixels) for 8-row blocks:

    >>> D = combine_dictionaries(cosine_dictionary(8, 16), np.eye(8))
    >>> D.shape
    (8, 24)
    """
    if len(dictionaries) < 2:
        raise ValueError("at least two dictionaries are needed")
    matrices: List[np.ndarray] = []
    for k, value in enumerate(dictionaries, start=1):
        name = f"dictionary {k}"
        D = module_matrix(value, name)
        if D.dtype != np.float64 or D.size == 0:
            raise ValueError(f"{name} must be a non-empty real 2-D array; it is {D.dtype} of "
                             f"shape {D.shape}")
        if matrices and D.shape[0] != matrices[0].shape[0]:
            raise ValueError(f"{name} has {D.shape[0]} rows, dictionary 1 has "
                             f"{matrices[0].shape[0]}")
        matrices.append(D)
    return np.hstack(matrices)
