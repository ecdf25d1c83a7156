"""How Python values become the inputs of the module.

The module reads real double matrices. Values are handed to it as float64
arrays whenever float64 holds them exactly (booleans, integers up to 32 bits,
floats up to 64 bits, and wider integers or floats whose values happen to fit);
complex values go as complex matrices, which the module itself rejects with its
own message. Anything else is refused here with a ``ValueError`` that names the
argument, so that no value is ever silently rounded or misread.

Where the values lie does not matter to the results (the module copies every
block and dictionary into storage of its own), but it decides whether they
are copied on the way: a float64 matrix that is column-major (F-contiguous)
and aligned is handed to the module as it is, as is a 3-D stack of such
blocks; any other (C order, strided, an unaligned view into a buffer) is
first copied into one that is.
"""

from __future__ import annotations

import operator
from dataclasses import fields, replace
from typing import Any, List, Optional, Type, TypeVar, Union

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["module_matrix", "module_blocks", "module_scalar", "positive_integer"]

# Real dtypes whose every value float64 holds exactly, by kind and largest size.
_EXACT_SIZE = {"b": 1, "i": 4, "u": 4, "f": 8}


def _exactly(array: np.ndarray, target: type, name: str) -> np.ndarray:
    """``array`` as ``target`` (float64 or complex128) in native byte order,
    refused when a value would change on the way."""
    if array.dtype == target:
        return array
    converted = array.astype(target)
    limit = _EXACT_SIZE.get(array.dtype.kind, 8 if target is np.float64 else 16)
    if array.dtype.itemsize > limit:
        with np.errstate(invalid="ignore", over="ignore"):
            back = converted.astype(array.dtype)
        same = back == array
        if array.dtype.kind in "fc":
            same |= np.isnan(back) & np.isnan(array)
        if not np.all(same):
            raise ValueError(
                f"{name} holds values of dtype {array.dtype} that {np.dtype(target)} cannot "
                "represent exactly; convert it yourself if rounding them is acceptable"
            )
    return converted


def _module_dtype(array: np.ndarray, name: str) -> np.ndarray:
    """``array`` with the element type the module is given: float64 for real
    numbers, complex128 for complex ones (which the module rejects)."""
    kind = array.dtype.kind
    if kind in "biuf":
        return _exactly(array, np.float64, name)
    if kind == "c":
        return _exactly(array, np.complex128, name)
    raise ValueError(f"{name} must hold numbers; its dtype is {array.dtype}")


def _column_major(array: np.ndarray) -> np.ndarray:
    """A float64 matrix (2-D) or stack of matrices (3-D, one per index of the
    first axis) whose every matrix is column-major and aligned: ``array``
    itself when it is, else a copy. Other dtypes are not read by the module
    and pass as they are."""
    if array.dtype != np.float64:
        return array
    needs = ["F_CONTIGUOUS", "ALIGNED"]
    try:
        if array.ndim == 2:
            return np.require(array, requirements=needs)
        if array.flags.aligned and (array.shape[0] == 0 or array[0].flags.f_contiguous):
            return array
        # Seen as rows x cols x Q, the copy is column-major throughout.
        return np.require(array.transpose(1, 2, 0), requirements=needs).transpose(2, 0, 1)
    except MemoryError:
        shape = " x ".join(str(n) for n in array.shape)
        raise MemoryError(f"not enough memory to pass a {shape} array to the module") from None


def _as_array(value: Any, name: str) -> np.ndarray:
    if isinstance(value, (str, bytes)):
        raise ValueError(f"{name} must hold numbers, not text")
    try:
        return np.asarray(value)
    except (ValueError, TypeError) as e:  # ragged nesting, for one
        raise ValueError(f"{name} is not an array of numbers: {e}") from None


def module_matrix(value: ArrayLike, name: str) -> np.ndarray:
    """A 2-D array-like as the matrix the module receives.

    Parameters
    ----------
    value : array_like
        A 2-D array of numbers.
    name : str
        How messages name the argument.

    Returns
    -------
    numpy.ndarray
        ``value`` as a 2-D float64 (or complex128) array, column-major and
        aligned when float64: ``value`` itself when it is already all that.

    Raises
    ------
    ValueError
        ``value`` is not 2-D, holds no numbers, or holds values float64 cannot
        represent exactly.
    """
    array = _as_array(value, name)
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array; it has shape {array.shape}")
    return _column_major(_module_dtype(array, name))


def module_blocks(blocks: Any) -> Union[np.ndarray, List[np.ndarray]]:
    """The blocks argument as the module receives it, in the same order.

    Parameters
    ----------
    blocks : numpy.ndarray or sequence of array_like
        A 3-D array (blocks x rows x cols) or a sequence of 2-D arrays. A 2-D
        array (an image, most likely) is passed on as it is, for the module
        to refuse.

    Returns
    -------
    numpy.ndarray or list of numpy.ndarray
        A 3-D float64 (or complex128) array whose blocks are column-major and
        aligned (``blocks`` itself when they are), a list of 2-D arrays as
        :func:`module_matrix` gives them, or the 2-D array.

    Raises
    ------
    ValueError
        ``blocks`` is none of these, or a block fails :func:`module_matrix`.
    """
    if isinstance(blocks, np.ndarray):
        if blocks.ndim == 2:
            return _module_dtype(blocks, "blocks")
        if blocks.ndim != 3:
            raise ValueError(
                "blocks must be a 3-D array (blocks x rows x cols) or a sequence of 2-D arrays; "
                f"it is an array of shape {blocks.shape} (put a single block in a list)"
            )
        return _column_major(_module_dtype(blocks, "blocks"))
    if isinstance(blocks, (str, bytes)):
        raise ValueError("blocks must be a sequence of 2-D arrays, not text")
    try:
        items = list(blocks)
    except TypeError:
        raise ValueError(
            "blocks must be a 3-D array or a sequence of 2-D arrays; "
            f"it is a {type(blocks).__name__}"
        ) from None
    return [module_matrix(b, f"blocks[{i}]") for i, b in enumerate(items)]


def module_scalar(value: Optional[ArrayLike], name: str) -> Optional[np.ndarray]:
    """A scalar argument (``tol``, ``max_atoms``) as the module receives it.

    Parameters
    ----------
    value : float, int, array_like or None
        None leaves the module's default in force. A scalar becomes a 1 x 1
        matrix; a 1-D array a row and a 2-D array stays as it is, so that the
        module can tell the caller it wants a scalar.
    name : str
        How messages name the argument.

    Returns
    -------
    numpy.ndarray or None
        A 2-D float64 (or complex128) array, or None.

    Raises
    ------
    ValueError
        ``value`` has more than 2 dimensions, holds no numbers, or holds
        values float64 cannot represent exactly.
    """
    if value is None:
        return None
    if isinstance(value, int) and not isinstance(value, bool):
        # A Python int may be wider than any NumPy integer.
        try:
            as_float = float(value)
        except OverflowError:
            as_float = None
        if as_float is None or int(as_float) != value:
            raise ValueError(f"{name} = {value} cannot be represented exactly as a float64")
        value = as_float
    array = _as_array(value, name)
    if array.ndim > 2:
        raise ValueError(f"{name} must be a scalar; it has shape {array.shape}")
    return _column_major(_module_dtype(array.reshape((1, -1)) if array.ndim < 2 else array, name))


def positive_integer(value: Any, name: str) -> int:
    """``value`` as a positive ``int`` (a size or a count).

    Raises
    ------
    ValueError
        When ``value`` is a boolean, not an integer, or below 1.
    """
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be a positive integer, not a boolean")
    try:
        number = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be a positive integer; it is {value!r}") from None
    if number < 1:
        raise ValueError(f"{name} must be a positive integer; it is {number}")
    return number


Options = TypeVar("Options")


def merged_options(kind: Type[Options], options: Optional[Options], keywords: dict,
                   first: str) -> Options:
    """``options`` (or the defaults of the option record ``kind``) with the
    fields ``keywords`` name replaced.

    Parameters
    ----------
    kind : type
        The option record, a dataclass that checks its fields when made.
    options : kind or None
        The record a caller passed, if any.
    keywords : dict
        Fields to replace, by name.
    first : str
        The first fields' names, for the message when ``options`` is
        something else (a value given by position).

    Raises
    ------
    ValueError
        ``options`` is not a ``kind``, a keyword names no field, or the
        record refuses the result.
    """
    if options is not None and not isinstance(options, kind):
        article = "an" if kind.__name__[0] in "AEIOU" else "a"
        raise ValueError(f"options must be {article} {kind.__name__}; it is {options!r} (give "
                         f"{first} and the rest by name)")
    names = {f.name for f in fields(kind)}
    unknown = sorted(set(keywords) - names)
    if unknown:
        raise ValueError(f"unknown option {unknown[0]!r}: the options are "
                         f"{', '.join(f.name for f in fields(kind))}")
    return replace(options or kind(), **keywords)
