"""A whole image in one call: :func:`approximate_image`."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any, NamedTuple, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from .blocks import BlockLayout, assemble, image_blocks
from .dictionary import cosine_dictionary
from .module_call import Approximation, approximate
from .quality import psnr, tol_for_psnr

__all__ = ["ImageApproximation", "approximate_image", "default_peak"]

Pair = Union[int, Tuple[int, int]]


class ImageApproximation(NamedTuple):
    """What :func:`approximate_image` returns.

    Attributes
    ----------
    image : numpy.ndarray
        The approximation, float64, of the image's shape.
    atoms_per_block : numpy.ndarray
        int64 atom counts of the block grid: d x nc for a grey image,
        d x nc x C for C channels.
    psnr : float
        The PSNR of the approximation against the image, in dB.
    """

    image: np.ndarray
    atoms_per_block: np.ndarray
    psnr: float


@dataclass
class ImageRun:
    """Everything about one approximation of an image, for reports."""

    layout: BlockLayout
    Dy: np.ndarray
    Dx: np.ndarray
    peak: float
    tol: Optional[float]
    result: Approximation
    seconds: float
    approximation: ImageApproximation


def default_peak(img: ArrayLike) -> float:
    """The largest value an image's dtype stands for.

    Parameters
    ----------
    img : array_like
        The image.

    Returns
    -------
    float
        The dtype's maximum for integer images (255 for uint8, 65535 for
        uint16), 1.0 for boolean and floating-point images, as image readers
        and the Octave toolbox take them.
    """
    dtype = np.asarray(img).dtype
    return float(np.iinfo(dtype).max) if dtype.kind in "iu" else 1.0


def _pair(value: Any, name: str) -> Tuple[Any, Any]:
    if isinstance(value, (tuple, list)):
        if len(value) != 2:
            raise ValueError(f"{name} must be an integer or a pair of integers; it is {value!r}")
        return value[0], value[1]
    return value, value


def run_image(img: ArrayLike, block: Pair = 8, atoms: Pair = 16, psnr_db: Optional[float] = None,
              tol: Optional[float] = None, peak: Optional[float] = None,
              verbose: bool = False) -> ImageRun:
    """:func:`approximate_image` with all that went into and came out of it."""
    if psnr_db is not None and tol is not None:
        raise ValueError("give psnr_db or tol, not both")
    rows, cols = _pair(block, "block")
    blocks, layout = image_blocks(img, rows, cols)
    ky, kx = _pair(atoms, "atoms")
    Dy = cosine_dictionary(layout.block_shape[0], ky)
    Dx = cosine_dictionary(layout.block_shape[1], kx)
    image = np.asarray(img)
    top = default_peak(image) if peak is None else peak
    if psnr_db is not None:
        tol = tol_for_psnr(image, psnr_db, top)
    started = time.perf_counter()
    result = approximate(blocks, Dy, Dx, tol, verbose=verbose)
    seconds = time.perf_counter() - started
    approx = assemble(result.approximations, layout)
    d, nc = layout.grid
    counts = np.array([len(y) for y in result.y_indices], dtype=np.int64)
    grid = counts.reshape(layout.channels, nc, d).transpose(2, 1, 0)
    if image.ndim == 2:
        grid = grid[:, :, 0]
    summary = ImageApproximation(approx, np.ascontiguousarray(grid), psnr(image, approx, top))
    return ImageRun(layout, Dy, Dx, top, tol, result, seconds, summary)


def approximate_image(img: ArrayLike, block: Pair = 8, atoms: Pair = 16,
                      psnr_db: Optional[float] = None, tol: Optional[float] = None, *,
                      peak: Optional[float] = None, verbose: bool = False) -> ImageApproximation:
    """Approximate a grey or colour image with one call of the module.

    The image is cut into blocks (:func:`tilevista.image_blocks`), all channels
    in one call so that the choice of blocks is global across channels, over
    cosine dictionaries (:func:`tilevista.cosine_dictionary`) along the block
    rows and columns.

    Parameters
    ----------
    img : array_like
        H x W or H x W x C real image.
    block : int or (int, int), optional
        Block size, rows and columns (default 8).
    atoms : int or (int, int), optional
        Atoms of the row and column dictionaries (default 16).
    psnr_db : float, optional
        Target PSNR in dB; sets ``tol`` with :func:`tilevista.tol_for_psnr`.
    tol : float, optional
        The total squared error at which to stop. With neither ``psnr_db``
        nor ``tol`` the module's default (6.5) applies.
    peak : float, optional
        The image's largest possible value, for ``psnr_db`` and the reported
        PSNR; by default the maximum of an integer dtype (255 for uint8) and
        1.0 for boolean and floating-point images.
    verbose : bool, optional
        Print the module's console text as the call runs.

    Returns
    -------
    ImageApproximation
        ``(image, atoms_per_block, psnr)``.

    Raises
    ------
    ValueError
        Both ``psnr_db`` and ``tol`` given, or an argument the toolbox or the
        module rejects.
    MemoryError
        The call needs more memory than the system can give.

    Examples
    --------
    >>> import numpy as np
    >>> img = (np.add.outer(np.arange(16), np.arange(16)) * 8).astype(np.uint8)
    >>> out = approximate_image(img, block=8, atoms=16, psnr_db=40)
    >>> out.atoms_per_block.shape, out.psnr >= 40
    ((2, 2), True)
    """
    return run_image(img, block, atoms, psnr_db, tol, peak, verbose).approximation
