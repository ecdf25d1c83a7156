"""Dictionaries, the 1-D atoms along block rows and columns, built from a
description string such as ``"cosine:16+legendre:8+haar+delta"`` by the
dictionary layer the Octave toolbox's ``tilevista_dictionary`` also calls (so
both give the same bits), and several joined for one direction.

Every function of the package that takes a dictionary takes a description
string or a matrix (:func:`direction_pair`, :func:`direction_matrix`): one
string names the dictionary of both directions, each built for its own atom
length; ``"ROWS/COLUMNS"``, two descriptions around a ``/``, or a pair
``(Dy, Dx)`` of strings or matrices gives each direction its own.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

from . import _native
from .errors import DictionaryRefused, module_error
from .inputs import module_matrix

__all__ = ["Dictionary", "DictionaryAtom", "dictionary", "combine_dictionaries",
           "direction_pair", "direction_matrix", "PAIR_SEPARATOR"]

# What separates the rows' description from the columns' in one string.
PAIR_SEPARATOR = "/"


class DictionaryAtom(NamedTuple):
    """One atom of a built dictionary: which term gave it.

    Attributes
    ----------
    family : str
        The family, e.g. ``"cosine"``.
    parameter : str
        Its term's parameters as normalised, e.g. ``"16"``, ``"32:7"``, ``""``.
    number : int
        Its place in its term's own list of atoms, 0-based.
    """

    family: str
    parameter: str
    number: int


@dataclass(frozen=True)
class Dictionary:
    """What :func:`dictionary` returns.

    Attributes
    ----------
    matrix : numpy.ndarray
        n x K float64 (Fortran order), one unit-norm atom per column.
    atoms : tuple of DictionaryAtom
        The K kept atoms, column by column.
    dropped : tuple of DictionaryAtom
        The atoms left out because they repeat a kept atom of an earlier
        term, in the terms' order.
    repeats : tuple of int
        For each dropped atom, the 0-based column of ``matrix`` it repeats.
    description : str
        The description normalised: no blanks, numbers in their shortest
        form.
    """

    matrix: np.ndarray
    atoms: Tuple[DictionaryAtom, ...]
    dropped: Tuple[DictionaryAtom, ...]
    repeats: Tuple[int, ...]
    description: str


def _refused(message: str) -> DictionaryRefused:
    return DictionaryRefused(_native.DICTIONARY_ERROR, message)


def dictionary(description: str, n: int) -> Dictionary:
    """The dictionary a description string names, for atoms of length n.

    A description is one or more family terms joined by ``+``; spaces around
    names, numbers and separators are ignored::

        cosine:K        K sampled cosines (cosine_dictionary's bits)
        sine:K          K sampled sines of the same construction
        legendre:K      discrete orthonormal polynomials of degree 0..K-1, K <= n
        chebyshev:K     Chebyshev polynomials T_0..T_{K-1}, normalised, K <= n
        haar            the periodised Haar wavelet basis
        daubechies:P    the periodised Daubechies basis, P = 1..4 vanishing moments
        cdf97           the synthesis vectors of the periodised CDF 9/7 wavelets
        delta           the identity (single samples)
        random:K:seed   K Gaussian columns of the layer's own generator

    An atom of a later term that repeats a kept atom of an earlier one
    (|cos angle| > 1 - 1e-12, such as the constant vector of cosines,
    polynomials and Haar) is left out. docs/dictionaries.md describes every
    family.

    Parameters
    ----------
    description : str
        The description, e.g. ``"cosine:16+legendre:8+haar+delta"``.
    n : int
        The atoms' length, 1..1024: the block's rows for ``Dy``, its columns
        for ``Dx``.

    Returns
    -------
    Dictionary
        The matrix (n x K float64, unit-norm columns), its atoms' families
        and parameters, the atoms left out, the normalised description. The
        same bits as Octave's ``tilevista_dictionary`` for the same
        description.

    Raises
    ------
    DictionaryRefused
        A ValueError with ``identifier`` ``"TILEVISTA:dictionary"``: the
        description is not a string, n not a whole number, or the layer
        refuses the description (its message says why and lists every
        family).
    CallOutOfMemory
        A MemoryError with ``identifier`` ``"TILEVISTA:outOfMemory"``: memory
        ran out while the dictionary was built.

    Examples
    --------
    >>> d = dictionary("cosine:16+legendre:8+haar+delta", 8)
    >>> d.matrix.shape, len(d.dropped)
    ((8, 38), 2)
    >>> d.atoms[16], d.dropped[0], d.repeats[0]
    (DictionaryAtom(family='legendre', parameter='8', number=1), \
DictionaryAtom(family='legendre', parameter='8', number=0), 0)
    >>> bool(np.allclose(dictionary("daubechies:2", 16).matrix.T
    ...                  @ dictionary("daubechies:2", 16).matrix, np.eye(16)))
    True
    """
    if not isinstance(description, str):
        raise _refused(f"a dictionary description must be a string, e.g. "
                       f"\"cosine:16+legendre:8+haar+delta\"; it is {description!r}")
    if isinstance(n, (bool, np.bool_)):
        raise _refused("the atoms' length n must be a whole number, not a boolean")
    try:
        length = operator.index(n)
    except TypeError:
        raise _refused(f"the atoms' length n must be a whole number; it is {n!r}") from None
    # Any whole number reaches the layer, which names it in its refusal.
    length = max(min(length, 2 ** 63 - 1), -2 ** 63)
    built = _native.build_dictionary(description, length)
    if built[0] is None:
        raise module_error(built[1], "", built[2]) if built[1] == _native.ERROR_OUT_OF_MEMORY \
            else DictionaryRefused(built[1], built[2])
    matrix, normalised, kept, dropped, repeats = built
    return Dictionary(matrix, tuple(DictionaryAtom(*a) for a in kept),
                      tuple(DictionaryAtom(*a) for a in dropped), tuple(repeats), normalised)


def direction_matrix(description: Any, n: Optional[int], name: str) -> Tuple[np.ndarray, str]:
    """One direction's dictionary: a description built for atoms of length
    ``n``, or a matrix as the module takes it.

    Parameters
    ----------
    description : str or array_like
        A description string, or a matrix (one atom per column).
    n : int or None
        The atom length a description is built for; None when only a matrix
        is possible here.
    name : str
        The argument's name, for messages.

    Returns
    -------
    (numpy.ndarray, str)
        The matrix, and how reports name it: the normalised description, or
        ``"matrix n x K"``.

    Raises
    ------
    DictionaryRefused
        The description is refused.
    ValueError
        A description where no atom length is known, or a value that is not
        a 2-D array of numbers.
    """
    if isinstance(description, str):
        if n is None:
            raise ValueError(f"{name}: a description string needs the atoms' length, which "
                             "nothing here gives: give a matrix or the length")
        built = dictionary(description, n)
        return built.matrix, built.description
    D = module_matrix(description, name)
    return D, f"matrix {D.shape[0]} x {D.shape[1] if D.ndim == 2 else 0}"


def direction_pair(value: Any) -> Tuple[Any, Any]:
    """The rows' and the columns' dictionary a door was given.

    Parameters
    ----------
    value : str, array_like or tuple
        One description or matrix for both directions; a string
        ``"ROWS/COLUMNS"``; or a tuple ``(Dy, Dx)`` of two, each a string or
        a NumPy array (a matrix written as a tuple of two rows is taken as a
        matrix, not a pair).

    Returns
    -------
    tuple
        (rows' description, columns' description), each a string or a matrix.

    Raises
    ------
    ValueError
        A string with more than one ``/``.

    Examples
    --------
    >>> direction_pair("cosine:16+delta / haar")
    ('cosine:16+delta ', ' haar')
    >>> direction_pair("haar")
    ('haar', 'haar')
    """
    if isinstance(value, str):
        parts = value.split(PAIR_SEPARATOR)
        if len(parts) > 2:
            raise ValueError(f"a dictionary pair is written ROWS{PAIR_SEPARATOR}COLUMNS, with "
                             f"one '{PAIR_SEPARATOR}'; it is {value!r}")
        return (parts[0], parts[-1])
    if (isinstance(value, tuple) and len(value) == 2
            and all(isinstance(v, (str, np.ndarray)) for v in value)):
        return value[0], value[1]
    return value, value


def combine_dictionaries(*dictionaries: Any, n: Optional[int] = None) -> np.ndarray:
    """Join dictionaries for one block direction: their atoms side by side.

    Each argument is a matrix or a description string, built by
    :func:`dictionary` for the atom length ``n`` or, without ``n``, the rows
    of the matrices given. Matrices are used as given (nothing is left out
    as a repeat: a description does that among its own terms), so
    ``combine_dictionaries(A, B, ...)`` of matrices is ``np.hstack([A, B,
    ...])`` in float64, as the Octave toolbox's
    ``tilevista_combine_dictionaries`` gives it. The module does not divide
    scores by the atoms' norms, so combine dictionaries whose atoms have
    comparable norms (unit norms, as every description's) unless a weighting
    is intended.

    Parameters
    ----------
    *dictionaries : str or array_like
        Two or more: description strings, or non-empty 2-D arrays of real
        numbers with the same number of rows (the atom length). Booleans,
        integers and floats are taken as :func:`tilevista.approximate` takes
        them, converted exactly to float64; Octave's function takes double
        matrices only.
    n : int, optional
        The atom length of the descriptions; needed when no matrix is given.

    Returns
    -------
    numpy.ndarray
        rows x (sum of the atom counts) float64 matrix, the atoms in the order
        given.

    Raises
    ------
    ValueError
        Fewer than two dictionaries, one that is not a non-empty 2-D array of
        real numbers, or one whose row count differs from the first one's or
        from ``n`` (numbered from 1, as in Octave's messages); a description
        without an atom length.
    DictionaryRefused
        A description is refused.

    Examples
    --------
    Cosines plus the identity basis (single pixels) for 8-row blocks:

    >>> from tilevista import cosine_dictionary
    >>> D = combine_dictionaries(cosine_dictionary(8, 16), np.eye(8))
    >>> D.shape
    (8, 24)
    >>> combine_dictionaries("cosine:16", np.eye(8)).shape
    (8, 24)
    """
    if len(dictionaries) < 2:
        raise ValueError("at least two dictionaries are needed")
    matrices: List[Optional[np.ndarray]] = []
    for k, value in enumerate(dictionaries, start=1):
        name = f"dictionary {k}"
        D = None if isinstance(value, str) else module_matrix(value, name)
        if D is not None and (D.dtype != np.float64 or D.size == 0):
            raise ValueError(f"{name} must be a non-empty real 2-D array; it is {D.dtype} of "
                             f"shape {D.shape}")
        if D is not None and n is not None and D.shape[0] != n:
            raise ValueError(f"{name} has {D.shape[0]} rows, n is {n}")
        if D is not None and n is None:
            first = next((m for m in matrices if m is not None), None)
            if first is not None and D.shape[0] != first.shape[0]:
                raise ValueError(f"{name} has {D.shape[0]} rows, dictionary "
                                 f"{matrices.index(first) + 1} has {first.shape[0]}")
        matrices.append(D)
    rows = n if n is not None else next((m.shape[0] for m in matrices if m is not None), None)
    return np.hstack([direction_matrix(value, rows, f"dictionary {k}")[0] if m is None else m
                      for k, (value, m) in enumerate(zip(dictionaries, matrices), start=1)])
