"""The error on an image's own pixels when its border was padded to whole blocks.

:func:`tilevista.image_blocks` pads an image whose sides are not multiples of
the block by repeating its last row and column, so that every pixel is
approximated. The module's residual energies (a call's ``max_err``, its
curve) then count the padding's error too, which is not the image's: a PSNR
is always taken on the image's own pixels. The blocks at the bottom and on the
right are the only ones with padding; for each of them the squared error on
its padding after its first ``j`` atoms is computed here, for every ``j``,
so that the own pixels' error after any prefix of a call's atoms (a row read
off its curve, a point of its rate-distortion curve) is the module's energy
less the padding's.

After ``j`` atoms a block's approximation is the orthogonal projection of the
block onto the span of its first ``j`` atoms (the pursuit is orthogonal), so
its residual is ``f - Q_j Q_j^T f`` with ``Q`` an orthonormal basis of the
atoms in the order they were taken (QR, one per block).
"""

from __future__ import annotations

from typing import Dict, Sequence

import numpy as np

from .blocks import BlockLayout

__all__ = ["padded_blocks", "padding_errors", "own_energies"]


def padded_blocks(layout: BlockLayout) -> Dict[int, np.ndarray]:
    """The blocks that hold padding, and where.

    Parameters
    ----------
    layout : BlockLayout
        How :func:`tilevista.image_blocks` cut the image.

    Returns
    -------
    dict of int to numpy.ndarray
        For every block (0-based, in the order of ``image_blocks``) that
        holds padding, a boolean mask of its rows x cols pixels, True on the
        padding.
    """
    br, bc = layout.block_shape
    d, nc = layout.grid
    H, W = layout.image_shape[:2]
    masks: Dict[int, np.ndarray] = {}
    for c in range(layout.channels):
        for j in range(nc):
            for i in range(d):
                rows, cols = min(br, H - i * br), min(bc, W - j * bc)
                if rows == br and cols == bc:
                    continue
                mask = np.ones((br, bc), dtype=bool)
                mask[:rows, :cols] = False
                masks[c * d * nc + j * d + i] = mask
    return masks


def padding_errors(block: np.ndarray, mask: np.ndarray, Dy: np.ndarray, Dx: np.ndarray,
                   y_indices: Sequence[int], x_indices: Sequence[int]) -> np.ndarray:
    """The squared error on a block's padding after each prefix of its atoms.

    Parameters
    ----------
    block : numpy.ndarray
        The rows x cols block, float64.
    mask : numpy.ndarray
        Boolean rows x cols, True on the padding (:func:`padded_blocks`).
    Dy, Dx : numpy.ndarray
        The call's dictionaries, rows x Ky and cols x Kx.
    y_indices, x_indices : sequence of int
        The block's m atoms (0-based) in the order the pursuit took them.

    Returns
    -------
    numpy.ndarray
        m + 1 float64 values: entry j the sum of the squared residual over
        the padding after the first j atoms (entry 0: before any).
    """
    f = block.ravel(order="F")
    padding = mask.ravel(order="F")
    if len(y_indices) == 0:
        return np.array([float(np.sum(f[padding] ** 2))])
    # Atom (y, x) is Dy[:, y] Dx[:, x]^T; stored column-major it is kron(Dx[:, x], Dy[:, y]).
    atoms = np.einsum("ck,rk->crk", Dx[:, np.asarray(x_indices)],
                      Dy[:, np.asarray(y_indices)]).reshape(-1, len(y_indices))
    q, _ = np.linalg.qr(atoms)
    residuals = f[:, None] - np.cumsum(q * (q.T @ f), axis=1)
    return np.concatenate(([np.sum(f[padding] ** 2)], np.sum(residuals[padding] ** 2, axis=0)))


def own_energies(energies: np.ndarray, curve_block: np.ndarray, curve_position: np.ndarray,
                 padding: Dict[int, np.ndarray]) -> np.ndarray:
    """The squared error on the image's own pixels after every atom of a curve.

    Parameters
    ----------
    energies : numpy.ndarray
        The curve's total squared residuals after each atom (padding included).
    curve_block, curve_position : numpy.ndarray
        The curve's block and position of each atom (0-based).
    padding : dict of int to numpy.ndarray
        :func:`padding_errors` of every block that holds padding.

    Returns
    -------
    numpy.ndarray
        float64, one per atom: ``energies`` less the padding's error then.
    """
    change = np.zeros(len(energies))
    for q, errors in padding.items():
        taken = np.flatnonzero(curve_block == q)
        if len(taken):
            at = curve_position[taken]
            change[taken] = errors[at + 1] - errors[at]
    before = sum(float(errors[0]) for errors in padding.values())
    return energies - (before + np.cumsum(change))
