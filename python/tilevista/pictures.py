"""Picture files of the demo: reading an image, and the PNGs it writes.

Reading and writing use Pillow, the atoms picture takes its colours from
matplotlib's viridis map; both are imported only when needed, so the rest of
the package works without them.
"""

from __future__ import annotations

from pathlib import Path
from typing import Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["read_image", "to_uint8", "side_by_side", "write_png", "atoms_map"]

PathLike = Union[str, Path]

# The gap between the panels of the side-by-side picture, in pixels.
GAP = 4


def read_image(path: PathLike) -> np.ndarray:
    """Read an image file as the Octave toolbox reads it.

    Parameters
    ----------
    path : str or pathlib.Path
        Any image file Pillow reads.

    Returns
    -------
    numpy.ndarray
        H x W for grey, H x W x 3 for colour, in the file's own integer type
        (uint8, uint16, ...), bool for bilevel images. An alpha channel is
        dropped; palette and CMYK images are converted to RGB.

    Raises
    ------
    OSError
        The file cannot be read as an image.
    """
    from PIL import Image

    with Image.open(path) as picture:
        picture.load()
        mode = picture.mode
        if mode in ("LA", "La"):
            picture = picture.convert("L")
        elif mode in ("RGBA", "RGBa", "P", "PA", "CMYK", "YCbCr", "LAB", "HSV"):
            picture = picture.convert("RGB")
        array = np.asarray(picture)
    if mode.startswith("I;16"):
        array = array.astype(np.uint16)
    return np.array(array)


def to_uint8(values: np.ndarray, peak: float) -> np.ndarray:
    """Map values of 0 to ``peak`` onto 0 to 255, clipped and rounded half away
    from zero (as Octave's ``round``), for an 8-bit picture.

    Parameters
    ----------
    values : numpy.ndarray
        The values.
    peak : float
        The value shown as white.

    Returns
    -------
    numpy.ndarray
        uint8 array of the same shape.
    """
    scaled = 255 * np.minimum(np.maximum(np.asarray(values, np.float64) / peak, 0), 1)
    return _round(scaled).astype(np.uint8)


def side_by_side(original: ArrayLike, approximation: np.ndarray, peak: float,
                 gain: float = 10) -> np.ndarray:
    """Original | approximation | error, separated by white gaps.

    Parameters
    ----------
    original, approximation : array_like
        The image and its approximation, of one shape.
    peak : float
        The image's largest possible value.
    gain : float, optional
        How much the error is magnified around mid-grey (default 10).

    Returns
    -------
    numpy.ndarray
        float64 panels in the image's value range, H x (3 W + 2 GAP) (x C).
    """
    image = np.asarray(original, dtype=np.float64)
    error = peak / 2 + gain * (image - approximation)
    gap = peak * np.ones((image.shape[0], GAP) + image.shape[2:])
    return np.concatenate([image, gap, approximation, gap, error], axis=1)


def write_png(path: PathLike, picture: np.ndarray) -> None:
    """Write an H x W or H x W x 3 uint8 array as a PNG file.

    Parameters
    ----------
    path : str or pathlib.Path
        The file to write.
    picture : numpy.ndarray
        The pixels.
    """
    from PIL import Image

    Image.fromarray(np.ascontiguousarray(picture)).save(path, format="PNG")


def _round(values: np.ndarray) -> np.ndarray:
    """Round half away from zero, as Octave's ``round``, for values >= 0."""
    values = np.asarray(values, dtype=np.float64)
    whole = np.floor(values)
    return whole + (values - whole >= 0.5)


def _linspace(first: float, last: float, count: int) -> np.ndarray:
    """Octave's ``linspace``: both ends set, the rest stepped in from both
    ends, so that a picture drawn from it has Octave's pixels."""
    values = np.empty(count)
    values[0], values[-1] = first, last
    if count > 1:
        delta = (last - first) / (count - 1)
        half = count // 2
        steps = np.arange(1, half)
        values[steps] = first + steps * delta
        values[count - 1 - steps] = last - steps * delta
        if count % 2 == 1:
            values[half] = 0.0 if first == -last else (first + last) / 2
    return values


# Decimal digits, 3 x 5 pixels each, row by row.
_DIGITS = ["111101101101111", "010110010010111", "111001111100111", "111001111001111",
           "101101111001001", "111100111001111", "111100111101111", "111001001001001",
           "111101111101111", "111101111001111"]


def _digit_mask(number: int, scale: int) -> np.ndarray:
    """A number in the 3 x 5 font, one blank column between digits, enlarged
    ``scale`` times: True where the ink is."""
    glyphs = []
    for d in str(number):
        glyphs.append(np.array([c == "1" for c in _DIGITS[int(d)]]).reshape(5, 3))
        glyphs.append(np.zeros((5, 1), dtype=bool))
    return np.kron(np.hstack(glyphs[:-1]), np.ones((scale, scale), dtype=bool))


def atoms_map(atoms_per_block: ArrayLike, block_shape: Tuple[int, int],
              image_size: Tuple[int, ...]) -> np.ndarray:
    """The atoms each block took, as a picture: a colour map of the block grid
    at the image's size, then a colour bar with its labels.

    Every block's pixels take the viridis colour of its count (a colour
    image's channels summed per block), on a scale from 0 to the largest
    count, the blocks cropped at the border as the image is. To the right,
    after a white gap, a bar runs from 0 (bottom) to the largest count (top),
    labelled in black at both ends and in the middle, each label inside the
    picture with a white margin. The pixels are those of
    the Octave demo's picture.

    Parameters
    ----------
    atoms_per_block : numpy.ndarray
        Counts of the block grid, d x nc or d x nc x C.
    block_shape : (int, int)
        Block rows and columns.
    image_size : (int, int)
        Image height and width.

    Returns
    -------
    numpy.ndarray
        H x (W + gap + bar + labels) x 3 uint8 picture.
    """
    from matplotlib import colormaps

    counts = np.asarray(atoms_per_block, dtype=np.float64)
    if counts.ndim == 3:
        counts = counts.sum(axis=2)
    H, W = int(image_size[0]), int(image_size[1])
    top = max(float(counts.max()), 1.0)
    colours = _round(255 * colormaps["viridis"](np.arange(256))[:, :3]).astype(np.uint8)

    def level(v):
        return _round(255 * v / top).astype(np.int64) + 1

    grid = np.kron(level(counts), np.ones(tuple(block_shape), dtype=np.int64))[:H, :W]
    scale = max(1, H // 128)
    gap = max(2, int(_round(W / 64)))
    bar_width = max(4, int(_round(W / 24)))
    text_width = 2 * scale + len(str(int(top))) * 4 * scale
    bar = np.repeat(level(_linspace(top, 0.0, H))[:, None], bar_width, axis=1)
    index = np.hstack([grid, np.zeros((H, gap), np.int64), bar,
                       np.zeros((H, text_width), np.int64)])
    picture = np.full(index.shape + (3,), 255, dtype=np.uint8)
    painted = index > 0
    picture[painted] = colours[index[painted] - 1]

    left = W + gap + bar_width + 2 * scale - 1  # 0-based: 2 * scale - 1 white columns first
    labels = list(dict.fromkeys([int(top), int(_round(top / 2)), 0]))
    for value in labels:
        mask = _digit_mask(value, scale)
        row = int(_round((H - 1) * (1 - value / top))) - mask.shape[0] // 2
        # A white margin of one stroke above and below: the end labels do not
        # run into the picture's edge.
        row = min(max(row, scale), H - mask.shape[0] - scale)
        if row < scale:
            continue  # an image too short for the digits
        area = picture[row:row + mask.shape[0], left:left + mask.shape[1]]
        area[mask] = 0
    return picture
