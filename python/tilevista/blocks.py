"""Cutting an image into equal blocks for the module, and putting them back.

The blocks are ordered as the Octave toolbox orders its cell of blocks, so a
call on the same image chooses the same atoms: down the first column of blocks,
then the next column, channel after channel. With a grid of d x nc blocks per
channel, block (i, j) of channel c is number ``c * d * nc + j * d + i``.
"""

from __future__ import annotations

from typing import NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from .inputs import positive_integer

__all__ = ["BlockLayout", "image_blocks", "assemble"]


class BlockLayout(NamedTuple):
    """How :func:`image_blocks` cut an image, so that :func:`assemble` can undo it.

    Attributes
    ----------
    image_shape : tuple of int
        The shape of the image: (H, W) for grey, (H, W, C) for C channels.
    padded_shape : tuple of int
        (H2, W2): height and width after padding to whole blocks.
    block_shape : tuple of int
        (rows, cols) of every block.
    grid : tuple of int
        (d, nc): blocks down and across one channel.
    channels : int
        C, 1 for a grey image.
    """

    image_shape: Tuple[int, ...]
    padded_shape: Tuple[int, int]
    block_shape: Tuple[int, int]
    grid: Tuple[int, int]
    channels: int

    @property
    def count(self) -> int:
        """Number of blocks in all channels."""
        return self.grid[0] * self.grid[1] * self.channels


def _image(img: ArrayLike) -> np.ndarray:
    array = np.asarray(img)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"the image must hold real numbers; its dtype is {array.dtype}")
    if array.ndim not in (2, 3) or array.size == 0:
        raise ValueError(
            f"the image must be a non-empty H x W or H x W x C array; it has shape {array.shape}")
    return array


def image_blocks(img: ArrayLike, rows: int, cols: Optional[int] = None
                 ) -> Tuple[np.ndarray, BlockLayout]:
    """Cut an image into equal blocks, ready for :func:`tilevista.approximate`.

    Parameters
    ----------
    img : array_like
        H x W (grey) or H x W x C (C channels) real numbers of any dtype.
    rows : int
        Block height.
    cols : int, optional
        Block width; defaults to ``rows``.

    Returns
    -------
    blocks : numpy.ndarray
        float64 array of shape (Q, rows, cols), Q = d * nc * C, in the order
        given in this module's description. Values are converted without
        rescaling (a uint8 image gives values 0 to 255). Each block is
        stored column by column (``blocks[q]`` is Fortran-contiguous), as the
        module reads it, so that :func:`tilevista.approximate` passes the
        blocks without a copy.
    layout : BlockLayout
        What :func:`assemble` needs to undo the cut.

    Raises
    ------
    ValueError
        The image is empty, not 2-D or 3-D, or not real numbers; a block side
        is not a positive integer.

    Notes
    -----
    When H or W is not a multiple of the block size, the image is padded at the
    bottom and on the right by repeating its last row and last column.

    Examples
    --------
    >>> import numpy as np
    >>> blocks, layout = image_blocks(np.arange(24).reshape(4, 6), 2, 3)
    >>> blocks.shape, layout.grid
    ((4, 2, 3), (2, 2))
    >>> blocks[1].tolist()  # the block below the first one
    [[12.0, 13.0, 14.0], [18.0, 19.0, 20.0]]
    """
    image = _image(img)
    br = positive_integer(rows, "rows")
    bc = br if cols is None else positive_integer(cols, "cols")
    H, W = image.shape[:2]
    C = image.shape[2] if image.ndim == 3 else 1
    d, nc = -(-H // br), -(-W // bc)
    # Repeat the last row and column into the padding.
    row_index = np.minimum(np.arange(d * br), H - 1)
    col_index = np.minimum(np.arange(nc * bc), W - 1)
    padded = image.reshape(H, W, C)[row_index][:, col_index].astype(np.float64)
    # (d*br, nc*bc, C) -> (C, nc, d, br, bc): channel, block column, block row.
    blocks = padded.reshape(d, br, nc, bc, C).transpose(4, 2, 0, 1, 3).reshape(-1, br, bc)
    layout = BlockLayout(image_shape=tuple(image.shape), padded_shape=(d * br, nc * bc),
                         block_shape=(br, bc), grid=(d, nc), channels=C)
    # Block after block, each column-major: a C-order (Q, cols, rows) array, seen transposed.
    return np.ascontiguousarray(blocks.transpose(0, 2, 1)).transpose(0, 2, 1), layout


def assemble(blocks: Union[np.ndarray, Sequence[ArrayLike]], layout: BlockLayout) -> np.ndarray:
    """Put blocks cut by :func:`image_blocks` together again.

    Parameters
    ----------
    blocks : numpy.ndarray or sequence of array_like
        ``layout.count`` blocks of ``layout.block_shape`` in the order
        :func:`image_blocks` gives them, for example the ``approximations`` of
        :func:`tilevista.approximate`.
    layout : BlockLayout
        The layout :func:`image_blocks` returned.

    Returns
    -------
    numpy.ndarray
        float64 image of shape ``layout.image_shape``, the padding cropped.

    Raises
    ------
    ValueError
        ``layout`` is not a BlockLayout, or the blocks do not match it.

    Examples
    --------
    >>> import numpy as np
    >>> img = np.arange(35).reshape(5, 7)
    >>> blocks, layout = image_blocks(img, 2, 3)
    >>> bool(np.array_equal(assemble(blocks, layout), img))
    True
    """
    if not isinstance(layout, BlockLayout):
        raise ValueError("layout must be the BlockLayout returned by image_blocks")
    br, bc = layout.block_shape
    d, nc = layout.grid
    if isinstance(blocks, np.ndarray):
        stack = blocks
    else:
        items = [np.asarray(b) for b in blocks]
        for i, b in enumerate(items):
            if b.shape != (br, bc):
                raise ValueError(f"blocks[{i}] has shape {b.shape}; expected ({br}, {bc})")
        stack = np.array(items) if items else np.empty((0, br, bc))
    if stack.shape != (layout.count, br, bc):
        raise ValueError(
            f"blocks must be {layout.count} blocks of {br} x {bc}; got shape {stack.shape}")
    if stack.dtype.kind not in "biuf":
        raise ValueError(f"blocks must hold real numbers; their dtype is {stack.dtype}")
    C = layout.channels
    padded = (stack.astype(np.float64).reshape(C, nc, d, br, bc)
              .transpose(2, 3, 1, 4, 0).reshape(d * br, nc * bc, C))
    H, W = layout.image_shape[:2]
    return np.ascontiguousarray(padded[:H, :W].reshape(layout.image_shape))
