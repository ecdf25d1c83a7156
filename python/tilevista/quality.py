"""How good an approximation is: PSNR, and the tol that reaches a target PSNR."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["psnr", "tol_for_psnr"]


def _peak(peak: Any) -> float:
    try:
        value = float(peak)
    except (TypeError, ValueError):
        raise ValueError(f"peak must be a positive finite number; it is {peak!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"peak must be a positive finite number; it is {peak!r}")
    return value


def psnr(a: ArrayLike, b: ArrayLike, peak: float = 255) -> float:
    """Peak signal-to-noise ratio of b against a, in dB.

    ``10 * log10(peak**2 / mse)`` with ``mse`` the mean of the squared
    differences, computed in float64 (integer images do not wrap around).

    Parameters
    ----------
    a, b : array_like
        Original and approximation, of one shape.
    peak : float, optional
        The largest possible value (default 255).

    Returns
    -------
    float
        The PSNR; ``inf`` when a equals b.

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
    p = _peak(peak)
    mse = float(np.mean((x.astype(np.float64) - y.astype(np.float64)) ** 2))
    return math.inf if mse == 0 else 10 * math.log10(p * p / mse)


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
        The image (only its number of values is used).
    db : float
        Target PSNR in dB.
    peak : float, optional
        The largest possible value (default 255).

    Returns
    -------
    float
        The tolerance.

    Raises
    ------
    ValueError
        db is not a real number, or peak is not positive and finite.

    Examples
    --------
    >>> tol_for_psnr(np.zeros((4, 5)), 10, peak=2)
    8.0
    """
    size = np.asarray(img).size
    try:
        target = float(db)
    except (TypeError, ValueError):
        raise ValueError(f"db must be a real number; it is {db!r}") from None
    if math.isnan(target):
        raise ValueError("db must be a real number; it is NaN")
    return size * _peak(peak) ** 2 / 10 ** (target / 10)
