"""How good an approximation is: PSNR, and the tol that reaches a target PSNR."""

from __future__ import annotations

import math
import warnings
from typing import Any, Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _native

__all__ = ["psnr", "tol_for_psnr", "PeakExceededWarning", "TolLooksLikePsnrWarning",
           "warn_above_peak", "checked_peak", "psnr_for_peak", "tol_for_peak",
           "tol_reads_as_psnr"]

# A tol that reads like a PSNR in dB: the rule is the module's
# (host/call/tol_as_psnr.cpp), by which tilevista_pursuit and approximate warn
# too. Octave's tilevista_psnr_for_tol (octave/tilevista_psnr_for_tol.m), which
# runs without the module, applies it with the same numbers;
# test_octave_parity.py holds the two to each other.


class PeakExceededWarning(UserWarning):
    """An image holds values above the peak its PSNR is computed for.

    The PSNR, and a ``tol`` made from it, then refer to a scale the image
    does not have: a float image of values 0 to 255 measured with peak 1 gets
    a tol 65025 times too small (near-lossless work) and a PSNR 48.1 dB too
    low. Pass the largest value of the image's scale as ``peak``.
    """


class TolLooksLikePsnrWarning(UserWarning):
    """A ``tol`` was given that reads like a PSNR in dB.

    ``tol`` is a total squared error: ``tol=38`` on a 512 x 512 image of peak
    255 asks for 86.5 dB, hundreds of thousands of atoms. Pass ``psnr_db=38``
    to :func:`tilevista.approximate_image`, or ``tol_for_psnr(img, 38)`` as
    the tol of :func:`tilevista.approximate`, for a target of 38 dB.
    """


def tol_reads_as_psnr(tol: Any, size: int, peak: float) -> Optional[float]:
    """The PSNR in dB that ``tol`` asks of ``size`` values of largest value
    ``peak``, when ``tol`` reads like a PSNR in dB; else None.

    It does when it lies within 10 to 100 and asks for at least 20 dB more
    than its own value (``tol=38`` on a 512 x 512 image of peak 255 asks for
    86.5 dB): most likely a target in dB passed as a tol.

    Parameters
    ----------
    tol : float
        The tol given (anything that is not a real number reads as none).
    size : int
        The values of the image.
    peak : float
        The peak in force, positive.

    Returns
    -------
    float or None
        The PSNR asked for, or None.

    Examples
    --------
    >>> round(tol_reads_as_psnr(38, 512 * 512, 255), 1)
    86.5
    >>> tol_reads_as_psnr(38, 16, 255) is None
    True
    """
    try:
        value = float(tol)
    except (TypeError, ValueError):
        return None
    return _native.tol_reads_as_psnr(value, float(size), float(peak))


def checked_peak(peak: Any) -> float:
    """``peak`` as a positive finite float.

    Raises
    ------
    ValueError
        It is not one.
    """
    try:
        value = float(peak)
    except (TypeError, ValueError):
        raise ValueError(f"peak must be a positive finite number; it is {peak!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"peak must be a positive finite number; it is {peak!r}")
    return value


def warn_above_peak(img: np.ndarray, peak: float, where: str, origin: Optional[str] = None,
                    stacklevel: int = 3) -> None:
    """Warn with :class:`PeakExceededWarning` when an image exceeds its peak.

    Parameters
    ----------
    img : numpy.ndarray
        The image (its real values are compared; NaN is ignored).
    peak : float
        The peak in force.
    where : str
        The public function, for the message.
    origin : str, optional
        How the peak was chosen, e.g. "the default for float64 images".
    stacklevel : int, optional
        Frames between this function and the user's call, plus one.
    """
    if img.size == 0 or img.dtype.kind not in "biuf":
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all NaN
        top = float(np.nanmax(img))
    if top > peak:
        how = f" ({origin})" if origin else ""
        warnings.warn(f"{where}: the image holds values up to {top:g}, above the peak {peak:g} "
                      f"in force{how}; the PSNR refers to a scale the image does not have: pass "
                      "the largest value of its scale as peak, e.g. peak=255 for values from 0 "
                      "to 255", PeakExceededWarning, stacklevel=stacklevel)


def psnr(a: ArrayLike, b: ArrayLike, peak: float = 255) -> float:
    """Peak signal-to-noise ratio of b against a, in dB.

    ``10 * log10(peak**2 / mse)`` with ``mse`` the mean of the squared
    differences, computed in float64 (integer images do not wrap around).

    Parameters
    ----------
    a, b : array_like
        Original and approximation, of one shape.
    peak : float, optional
        The largest possible value (default 255, whatever the dtype; pass 1
        for images scaled to 0..1, 65535 for 16-bit ones).

    Returns
    -------
    float
        The PSNR; ``inf`` when a equals b.

    Warns
    -----
    PeakExceededWarning
        ``a`` holds values above ``peak``.

    Raises
    ------
    ValueError
        The shapes differ, the images are empty or not real, or peak is not
        positive and finite.

    Examples
    --------
    >>> psnr([[0, 0]], [[1, 1]], peak=10)
    20.0
    """
    x, y = np.asarray(a), np.asarray(b)
    if x.shape != y.shape:
        raise ValueError(f"the images must have one shape; they are {x.shape} and {y.shape}")
    if x.size == 0:
        raise ValueError("the images are empty")
    if x.dtype.kind not in "biuf" or y.dtype.kind not in "biuf":
        raise ValueError(f"the images must hold real numbers; they are {x.dtype} and {y.dtype}")
    p = checked_peak(peak)
    warn_above_peak(x, p, "psnr")
    return psnr_for_peak(x, y, p)


def psnr_for_peak(x: np.ndarray, y: np.ndarray, peak: float) -> float:
    """:func:`psnr` of two real arrays of one shape and a checked peak, with
    nothing checked or said."""
    mse = float(np.mean((x.astype(np.float64) - y.astype(np.float64)) ** 2))
    return math.inf if mse == 0 else 10 * math.log10(peak * peak / mse)


def tol_for_psnr(img: ArrayLike, db: float, peak: float = 255) -> float:
    """The ``tol`` of :func:`tilevista.approximate` that reaches a target PSNR.

    ``img.size * peak**2 / 10**(db / 10)``: the total squared error at which
    the image has a PSNR of ``db``. The module stops once the total squared
    residual is below ``tol``, so the result then exceeds the target. When the
    image was padded to whole blocks the padding counts in that total too, so
    the cropped result keeps a PSNR above the target.

    Parameters
    ----------
    img : array_like
        The image: its number of values, and its largest value for the
        warning below.
    db : float
        Target PSNR in dB.
    peak : float, optional
        The largest possible value (default 255, whatever the dtype; pass 1
        for images scaled to 0..1, 65535 for 16-bit ones).

    Returns
    -------
    float
        The tolerance.

    Warns
    -----
    PeakExceededWarning
        ``img`` holds values above ``peak``.

    Raises
    ------
    ValueError
        db is not a real number, or peak is not positive and finite.

    Examples
    --------
    >>> tol_for_psnr(np.zeros((4, 5)), 10, peak=2)
    8.0
    """
    image = np.asarray(img)
    target = _db(db)
    p = checked_peak(peak)
    warn_above_peak(image, p, "tol_for_psnr")
    return tol_for_peak(image.size, target, p)


def tol_for_peak(size: int, db: float, peak: float) -> float:
    """:func:`tol_for_psnr` for ``size`` values and a checked peak, with
    nothing said."""
    return size * peak ** 2 / 10 ** (_db(db) / 10)


def _db(db: Any) -> float:
    try:
        target = float(db)
    except (TypeError, ValueError):
        raise ValueError(f"db must be a real number; it is {db!r}") from None
    if math.isnan(target):
        raise ValueError("db must be a real number; it is NaN")
    return target
