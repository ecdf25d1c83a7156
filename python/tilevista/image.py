"""A whole image in one call: :func:`approximate_image`."""

from __future__ import annotations

import time
import warnings
from dataclasses import dataclass, fields, replace
from typing import Any, NamedTuple, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from .blocks import BlockLayout, assemble, image_blocks
from .dictionaries import direction_matrix, direction_pair
from .module_call import Approximation, ProgressCallback, call_module
from .quality import (TolLooksLikePsnrWarning, checked_peak, psnr_for_peak, tol_for_peak,
                      tol_reads_as_psnr, warn_above_peak)

__all__ = ["ImageApproximation", "ImageOptions", "approximate_image", "default_peak"]

Pair = Union[int, Tuple[int, int]]


class ImageApproximation(NamedTuple):
    """What :func:`approximate_image` returns.

    Attributes
    ----------
    image : numpy.ndarray
        The approximation, float64, of the image's shape; it may lie outside
        the image's range of values unless clipped (see ``clip``).
    atoms_per_block : numpy.ndarray
        int64 atom counts of the block grid: d x nc for a grey image,
        d x nc x C for C channels.
    psnr : float
        The PSNR of the approximation against the image, in dB.
    """

    image: np.ndarray
    atoms_per_block: np.ndarray
    psnr: float


@dataclass(frozen=True)
class ImageOptions:
    """How :func:`approximate_image` cuts, approximates and measures an image.

    Every field has a default; give the ones you need, by name. The same
    names are :func:`approximate_image`'s keyword arguments, which override
    the fields of an ``ImageOptions`` passed along with them.

    Parameters
    ----------
    block : int or (int, int), optional
        Block size, rows and columns (default 8, or the atom length of a
        dictionary matrix given; a block size given must agree with it).
    atoms : int or (int, int), optional
        Atoms of the cosine dictionaries (``cosine:K``) along the rows and
        columns (default 16), for the directions without a dictionary given.
    dictionary : str, array_like or tuple, optional
        The dictionaries of both directions: a description string such as
        ``"cosine:16+legendre:8+haar+delta"`` (:func:`tilevista.dictionary`),
        built for the rows along ``Dy`` and for the columns along ``Dx``; a
        matrix for both; ``"ROWS/COLUMNS"``, two descriptions around a
        ``/``; or a pair ``(Dy, Dx)`` of strings or arrays.
    psnr_db : float, optional
        Target PSNR in dB; sets ``tol`` with :func:`tilevista.tol_for_psnr`
        for the peak in force.
    tol : float, optional
        The total squared error at which to stop. With neither ``psnr_db``
        nor ``tol`` the module's default (6.5) applies. A ``tol`` of 10 to
        100 that asks the image for at least 20 dB more than its own value
        (``tol=38`` on a 512 x 512 uint8 image: 86.5 dB) is most likely a
        PSNR passed as tol: :class:`tilevista.TolLooksLikePsnrWarning`.
    Dy, Dx : str or array_like, optional
        One direction's dictionary: a description string, or a matrix, rows x
        Ky and cols x Kx, one atom per column (for example
        :func:`tilevista.combine_dictionaries` of a cosine dictionary and the
        identity). Either may be left out.
    peak : float, optional
        The image's largest possible value, for ``psnr_db`` and the reported
        PSNR; by default the maximum of an integer dtype (255 for uint8) and
        1.0 for boolean and floating-point images. A float image of values 0
        to 255 needs ``peak=255``: an image above the peak in force gets a
        :class:`tilevista.PeakExceededWarning`.
    clip : bool, optional
        The approximation may lie outside the image's range of values (the
        atoms overshoot near edges). False (the default) returns it as the
        pursuit made it; True clips it to the image's smallest and largest
        values, which can only bring it closer to the image.
    verbose : bool, optional
        Print the module's console text as the call runs.
    progress : bool or callable, optional
        True shows a progress bar of the call (tqdm, on stderr); a callable
        is told the progress as by :func:`tilevista.approximate`.

    Raises
    ------
    ValueError
        Both ``psnr_db`` and ``tol``; ``atoms`` with both dictionaries;
        ``dictionary`` with ``Dy``, ``Dx`` or ``atoms``; a block size or atom
        count that is not one integer or a pair; ``clip`` or ``verbose`` not
        a bool; ``progress`` neither a bool nor callable.

    Examples
    --------
    >>> ImageOptions(block=16, psnr_db=38).atoms is None
    True
    >>> ImageOptions(psnr_db=38, tol=5)
    Traceback (most recent call last):
    ...
    ValueError: give psnr_db or tol, not both
    """

    block: Optional[Pair] = None
    atoms: Optional[Pair] = None
    psnr_db: Optional[float] = None
    tol: Optional[float] = None
    Dy: Optional[Union[str, ArrayLike]] = None
    Dx: Optional[Union[str, ArrayLike]] = None
    dictionary: Optional[Any] = None
    peak: Optional[float] = None
    clip: bool = False
    verbose: bool = False
    progress: Union[bool, ProgressCallback] = False

    def __post_init__(self) -> None:
        if self.psnr_db is not None and self.tol is not None:
            raise ValueError("give psnr_db or tol, not both")
        if self.atoms is not None and self.Dy is not None and self.Dx is not None:
            raise ValueError("give atoms or both dictionaries Dy and Dx, not both")
        if self.dictionary is not None and (self.Dy is not None or self.Dx is not None
                                            or self.atoms is not None):
            raise ValueError("give dictionary, or Dy, Dx and atoms, not both")
        for name in ("block", "atoms"):
            if getattr(self, name) is not None:
                _pair(getattr(self, name), name)
        for name in ("clip", "verbose"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise ValueError(f"{name} must be True or False; it is {getattr(self, name)!r}")
        if not (isinstance(self.progress, (bool, np.bool_)) or callable(self.progress)):
            raise ValueError(f"progress must be True, False or a callable; it is "
                             f"{self.progress!r}")

    @classmethod
    def merged(cls, options: Optional["ImageOptions"], keywords: dict) -> "ImageOptions":
        """``options`` (or the defaults) with the fields ``keywords`` name
        replaced.

        Raises
        ------
        ValueError
            ``options`` is not an ImageOptions, a keyword names no field, or
            the result is refused (see the class).
        """
        if options is not None and not isinstance(options, cls):
            raise ValueError(f"options must be an ImageOptions; it is {options!r} (give block, "
                             "atoms, psnr_db and the rest by name)")
        names = {f.name for f in fields(cls)}
        unknown = sorted(set(keywords) - names)
        if unknown:
            raise ValueError(f"unknown option {unknown[0]!r}: the options are "
                             f"{', '.join(f.name for f in fields(cls))}")
        return replace(options or cls(), **keywords)


@dataclass
class ImageRun:
    """Everything about one approximation of an image, for reports."""

    layout: BlockLayout
    Dy: np.ndarray
    Dx: np.ndarray
    names: Tuple[str, str]
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


def _dictionaries(img: np.ndarray, o: ImageOptions
                  ) -> Tuple[np.ndarray, BlockLayout, np.ndarray, np.ndarray, Tuple[str, str]]:
    """The image's blocks and layout, the dictionaries of the call and their
    names: matrices given fix the block side along their direction; a
    description is built for the block side, and so are the cosine
    dictionaries of ``atoms`` atoms for the directions without a dictionary."""
    rows, cols = _pair(8 if o.block is None else o.block, "block")
    ky, kx = _pair(16 if o.atoms is None else o.atoms, "atoms")
    choices = list(direction_pair(o.dictionary)) if o.dictionary is not None else [o.Dy, o.Dx]
    choices = [f"cosine:{k}" if c is None else c for c, k in zip(choices, (ky, kx))]
    given = [None if isinstance(c, str) else direction_matrix(c, None, name)[0]
             for c, name in zip(choices, ("Dy", "Dx"))]
    sides = [rows, cols]
    for k, (D, name, side) in enumerate(zip(given, ("Dy", "Dx"), ("rows", "columns"))):
        if D is None:
            continue
        if o.block is not None and D.shape[0] != sides[k]:
            raise ValueError(f"{name} has atoms of length {D.shape[0]}, but the blocks have "
                             f"{sides[k]} {side}; leave out block or make them agree")
        sides[k] = D.shape[0]
    built = [direction_matrix(c if D is None else D, side, name)
             for c, D, side, name in zip(choices, given, sides, ("Dy", "Dx"))]
    blocks, layout = image_blocks(img, *sides)
    return blocks, layout, built[0][0], built[1][0], (built[0][1], built[1][1])


def _warn_tol_like_psnr(tol: Any, size: int, peak: float) -> None:
    """Warn when ``tol`` reads like a PSNR in dB (:func:`.quality.tol_reads_as_psnr`)."""
    implied = tol_reads_as_psnr(tol, size, peak)
    if implied is not None:
        value = float(tol)
        warnings.warn(f"approximate_image: tol={value:g} is a total squared error, which asks "
                      f"this image for {implied:.1f} dB (peak {peak:g}); for a target of "
                      f"{value:g} dB pass psnr_db={value:g}", TolLooksLikePsnrWarning,
                      stacklevel=4)


def run_image(img: ArrayLike, options: ImageOptions) -> ImageRun:
    """:func:`approximate_image` with all that went into and came out of it
    (the call's result without its dual vectors and bases, which a picture
    does not need)."""
    o = options
    image = np.asarray(img)
    blocks, layout, Dy, Dx, names = _dictionaries(image, o)
    top = checked_peak(default_peak(image) if o.peak is None else o.peak)
    warn_above_peak(image, top, "approximate_image",
                    f"the default for {image.dtype} images" if o.peak is None else "given",
                    stacklevel=4)
    tol = o.tol
    if o.psnr_db is not None:
        tol = tol_for_peak(image.size, o.psnr_db, top)
    elif tol is not None:
        _warn_tol_like_psnr(tol, image.size, top)
    started = time.perf_counter()
    # The tol is made from psnr_db or was held to the image's own peak above.
    result = call_module(blocks, Dy, Dx, tol, verbose=bool(o.verbose), duals=False, bases=False,
                         progress=o.progress)
    seconds = time.perf_counter() - started
    approx = assemble(result.approximations, layout)
    if o.clip:
        approx = np.clip(approx, float(image.min()), float(image.max()))
    d, nc = layout.grid
    counts = np.array([len(y) for y in result.y_indices], dtype=np.int64)
    grid = counts.reshape(layout.channels, nc, d).transpose(2, 1, 0)
    if image.ndim == 2:
        grid = grid[:, :, 0]
    summary = ImageApproximation(approx, np.ascontiguousarray(grid),
                                 psnr_for_peak(image, approx, top))
    return ImageRun(layout, Dy, Dx, names, top, tol, result, seconds, summary)


def approximate_image(img: ArrayLike, options: Optional[ImageOptions] = None,
                      **keywords: Any) -> ImageApproximation:
    """Approximate a grey or colour image with one call of the module.

    The image is cut into blocks (:func:`tilevista.image_blocks`), all channels
    in one call so that the choice of blocks is global across channels, and
    approximated over the dictionaries ``Dy`` (along the block rows) and
    ``Dx`` (along the block columns): description strings or matrices, by
    default cosine dictionaries (``"cosine:16"``). A border that does not fill a
    block is padded by repeating the last row and column, and the PSNR is
    that of the image's own pixels, as the survey and the Octave toolbox
    measure it.

    Parameters
    ----------
    img : array_like
        H x W or H x W x C real image.
    options : ImageOptions, optional
        The block size, dictionaries, target and the rest (see
        :class:`ImageOptions` for each and its default).
    **keywords
        Any field of :class:`ImageOptions` by name (``block=8, atoms=16,
        psnr_db=40``, ``tol=...``, ``dictionary=...``, ``Dy=...``,
        ``Dx=...``, ``peak=...``,
        ``clip=True``, ``verbose=True``, ``progress=True``), overriding
        ``options``.

    Returns
    -------
    ImageApproximation
        ``(image, atoms_per_block, psnr)``; ``psnr`` is that of the image
        returned (clipped, with ``clip=True``).

    Raises
    ------
    ValueError
        An option refused (see :class:`ImageOptions`), a block size a
        dictionary contradicts, or an argument the toolbox or the module
        rejects.
    MemoryError
        The call needs more memory than the system can give.

    Examples
    --------
    >>> import numpy as np
    >>> img = (np.add.outer(np.arange(16), np.arange(16)) * 8).astype(np.uint8)
    >>> out = approximate_image(img, block=8, atoms=16, psnr_db=40)
    >>> out.atoms_per_block.shape, out.psnr >= 40
    ((2, 2), True)
    >>> from tilevista import combine_dictionaries, cosine_dictionary
    >>> D = combine_dictionaries(cosine_dictionary(4, 8), np.eye(4))
    >>> approximate_image(img, ImageOptions(Dy=D, Dx=D, psnr_db=40)).atoms_per_block.shape
    (4, 4)
    >>> approximate_image(img, dictionary="cosine:16+haar", psnr_db=40).psnr >= 40
    True
    """
    return run_image(img, ImageOptions.merged(options, keywords)).approximation
