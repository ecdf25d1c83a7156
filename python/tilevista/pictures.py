"""Picture files of the demo: reading an image, and the PNGs it writes.

Reading and writing use Pillow; the atoms picture's colour bar uses matplotlib.
Both are imported only when needed, so the rest of the package works without
them.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Union

import numpy as np

__all__ = ["read_image", "to_uint8", "side_by_side", "write_png", "write_atoms_map"]

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
    rounded = np.floor(scaled)
    rounded += scaled - rounded >= 0.5
    return rounded.astype(np.uint8)


def side_by_side(original: Any, approximation: np.ndarray, peak: float,
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


def write_atoms_map(path: PathLike, atoms_per_block: np.ndarray, block_shape: Any,
                    image_size: Any) -> None:
    """Write the atoms each block took as a colour map with a colour bar.

    The map has the image's size: every block's pixels show its count (summed
    over the channels of a colour image), the blocks cropped at the border as
    the image is. A labelled colour bar stands to its right.

    Parameters
    ----------
    path : str or pathlib.Path
        The PNG file to write.
    atoms_per_block : numpy.ndarray
        Counts of the block grid, d x nc or d x nc x C.
    block_shape : (int, int)
        Block rows and columns.
    image_size : (int, int)
        Image height and width.
    """
    import matplotlib
    from matplotlib import cm, colors
    from matplotlib.figure import Figure

    counts = np.asarray(atoms_per_block)
    if counts.ndim == 3:
        counts = counts.sum(axis=2)
    height, width = int(image_size[0]), int(image_size[1])
    full = np.kron(counts, np.ones(tuple(block_shape), dtype=counts.dtype))[:height, :width]
    norm = colors.Normalize(vmin=0, vmax=max(int(counts.max()), 1))
    colour_map = matplotlib.colormaps["viridis"]
    rgb = (colour_map(norm(full))[:, :, :3] * 255 + 0.5).astype(np.uint8)

    # The map is drawn pixel for pixel at the figure's left edge; the colour
    # bar takes a strip to its right, with room for its labels.
    dpi = 100
    bar = max(24, height // 20)
    margin = 8 + bar + 70
    figure = Figure(figsize=((width + margin) / dpi, height / dpi), dpi=dpi)
    figure.figimage(rgb, xo=0, yo=0, origin="upper")
    total = width + margin
    axes = figure.add_axes([(width + 8) / total, 0.05, bar / total, 0.9])
    figure.colorbar(cm.ScalarMappable(norm=norm, cmap=colour_map), cax=axes,
                    label="atoms per block")
    figure.savefig(path, dpi=dpi, format="png")
