"""The image codec: an image as a file of bytes, and back.

One call of the block-wise pursuit gives every block's atoms; their
coefficients in the block's orthonormal basis are quantized with one step and
coded with an adaptive range coder. The decoder rebuilds each block's
orthonormal vectors from the atoms' indices, so no basis is stored.
docs/codec.md gives the file format, the rate control and the measurements.

This is the same C++ codec as Octave's ``tilevista_encode`` and
``tilevista_decode``: the same call writes the same bytes from both on the
same machine.

Functions
---------
encode         an image to bytes at a target PSNR or bits per pixel
encode_report  the same, with the encoder's report
decode         bytes (or a file) to an image
decode_info    the same, with what the file's header says

``python3 -m tilevista.codec encode IMG --psnr P -o FILE``, ``decode FILE -o
PNG`` and ``compare IMAGES... --psnr 30 33 36 39 --out DIR`` (the codec
against JPEG and JPEG 2000, :mod:`tilevista.codec.compare`) are its command
line.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

import numpy as np

from .. import _native
from ..dictionaries import PAIR_SEPARATOR
from ..errors import CodecError, CodecOutOfMemory, codec_error

__all__ = ["encode", "encode_report", "decode", "decode_info", "EncodeReport", "Encoded",
           "DecodeInfo", "CodecError", "CodecOutOfMemory"]

ImageLike = Any
PathLike = Union[str, "os.PathLike[str]"]
Bytes = Union[bytes, bytearray, memoryview]


@dataclass(frozen=True)
class EncodeReport:
    """What the encoder made, measured on the decoded image.

    Attributes
    ----------
    psnr : float
        PSNR of the decoded image against the input, in dB against the
        largest sample (255 for 8 bits); inf when they are equal. Exactly the
        PSNR :func:`decode`'s image has.
    bpp : float
        8 x bytes / (rows x cols): the whole file, header included.
    bytes : int
        Size of the file.
    atoms : int
        Atoms coded, over all blocks and channels.
    step : float
        The quantizer's step.
    prefix : int
        Atoms of the pursuit's global order the coded atoms come from.
    pursuit_atoms : int
        Atoms the pursuit call took.
    pursuit_seconds, coding_seconds : float
        Time of the pursuit call, and of the rest (bases, rate control,
        coding).
    """

    psnr: float
    bpp: float
    bytes: int
    atoms: int
    step: float
    prefix: int
    pursuit_atoms: int
    pursuit_seconds: float
    coding_seconds: float


@dataclass(frozen=True)
class Encoded:
    """What :func:`encode_report` returns: the file's bytes and the report."""

    data: bytes
    report: EncodeReport


@dataclass(frozen=True)
class DecodeInfo:
    """What a file says about its image (:func:`decode_info`).

    Attributes
    ----------
    version, rows, cols, channels, bit_depth, block_rows, block_cols : int
        The format version, the image's size, its bit depth and the blocks'.
    dictionary_y, dictionary_x : str
        The dictionaries' descriptions, normalised; "" when the file holds
        matrices.
    atoms_y, atoms_x : int
        Atoms of the dictionaries.
    step : float
        The quantizer's step.
    vectors : int
        How the blocks' vectors are made: 0 by Gram-Schmidt from the atoms,
        1 the atoms themselves (orthonormal dictionaries).
    atoms : int
        Atoms coded.
    bytes : int
        Size of the file.
    bpp : float
        8 x bytes / (rows x cols).
    """

    version: int
    rows: int
    cols: int
    channels: int
    bit_depth: int
    block_rows: int
    block_cols: int
    dictionary_y: str
    dictionary_x: str
    atoms_y: int
    atoms_x: int
    step: float
    vectors: int
    atoms: int
    bytes: int
    bpp: float


def _refuse(name: str, message: str) -> CodecError:
    return CodecError(_native.CODEC_ERRORS[name], message)


def _image(image: ImageLike, bit_depth: Optional[int]) -> Tuple[np.ndarray, int]:
    """The image as the codec takes it (float64, rows x cols x channels) and
    its bit depth, by the rule every host shares."""
    array = np.asarray(image)
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.number)):
        kind = "other"
    elif np.issubdtype(array.dtype, np.floating):
        kind = "float64"
    else:
        kind = array.dtype.name
    if np.iscomplexobj(array):
        kind = "other"
    depth = _native.sample_bit_depth(kind, 0 if bit_depth is None else float(bit_depth))
    if depth[0] is None:
        message = depth[2] + (f"; it is {array.dtype}" if kind == "other" else "")
        raise CodecError(depth[1], message.replace("IMG", "the image"))
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[:, :, 0]
    if array.ndim not in (2, 3) or (array.ndim == 3 and array.shape[2] != 3):
        raise _refuse("codecImage", "the image must be rows x cols (grey) or rows x cols x 3 "
                      f"(colour); it is of shape {array.shape}")
    return np.asfortranarray(array, dtype=np.float64), depth[0]


def _dictionaries(dictionary: Any) -> Tuple[str, str, Optional[np.ndarray], Optional[np.ndarray]]:
    """(description, description_x, Dy, Dx) of a dictionary argument."""
    def pair_error(seen: str) -> CodecError:
        return _refuse("dictionaryPair", "the dictionaries are one description for both "
                       "directions, \"ROWS/COLUMNS\", one matrix for both, or a pair (Dy, Dx) of "
                       f"two descriptions or two matrices; this is {seen}")
    if dictionary is None:
        return "", "", None, None
    if isinstance(dictionary, str):
        parts = dictionary.split(PAIR_SEPARATOR)
        if len(parts) > 2:
            raise pair_error("a text with more than one '/'")
        return parts[0], parts[1] if len(parts) == 2 else "", None, None
    if isinstance(dictionary, (tuple, list)) and len(dictionary) == 2:
        Dy, Dx = dictionary
        if isinstance(Dy, str) and isinstance(Dx, str):
            if not Dx:
                raise pair_error("a pair whose second description is empty")
            return Dy, Dx, None, None
        if isinstance(Dy, str) or isinstance(Dx, str):
            raise pair_error("a description beside a matrix")
        return "", "", _matrix(Dy), _matrix(Dx)
    if isinstance(dictionary, np.ndarray):
        D = _matrix(dictionary)
        return "", "", D, D
    raise pair_error(f"a {type(dictionary).__name__}")


def _matrix(value: Any) -> np.ndarray:
    array = np.asarray(value)
    if array.ndim != 2 or not (np.issubdtype(array.dtype, np.floating)
                               or np.issubdtype(array.dtype, np.integer)):
        raise _refuse("codecDictionary", "a dictionary matrix must be a 2-D real array; it is "
                      f"{array.dtype} of shape {array.shape}")
    return np.asfortranarray(array, dtype=np.float64)


def _block(block: Union[int, Tuple[int, int]]) -> Tuple[int, int]:
    sides = (block, block) if np.ndim(block) == 0 else tuple(block)
    if len(sides) != 2 or any(not float(s).is_integer() for s in sides):
        raise _refuse("codecBlockSize", f"block must be a whole number or (rows, cols); it is "
                      f"{block!r}")
    return tuple(int(max(-1, min(int(s), 1 << 20))) for s in sides)


def encode_report(image: ImageLike, psnr: Optional[float] = None, bpp: Optional[float] = None,
                  block: Union[int, Tuple[int, int]] = 8, dictionary: Any = None, *,
                  bit_depth: Optional[int] = None, threads: int = 0) -> Encoded:
    """Encode an image, with the encoder's report.

    Parameters are those of :func:`encode`.

    Returns
    -------
    Encoded
        ``data``, the file's bytes, and ``report``, an :class:`EncodeReport`.

    Raises
    ------
    CodecError, CodecOutOfMemory
        As :func:`encode`.
    """
    pixels, depth = _image(image, bit_depth)
    description, description_x, Dy, Dx = _dictionaries(dictionary)
    rows, cols = _block(block)
    if not float(threads).is_integer():
        raise _refuse("codecThreads", f"threads must be a whole number; it is {threads!r}")
    made = _native.encode_image(pixels, 0.0 if psnr is None else float(psnr),
                                0.0 if bpp is None else float(bpp), rows, cols, description,
                                description_x, Dy, Dx, depth, int(max(-1, min(threads, 1 << 20))))
    if made[0] is None:
        raise codec_error(made[1], made[2])
    whole = {"bytes", "atoms", "prefix", "pursuit_atoms"}
    return Encoded(made[0], EncodeReport(**{k: int(v) if k in whole else v
                                            for k, v in made[1].items()}))


def encode(image: ImageLike, psnr: Optional[float] = None, bpp: Optional[float] = None,
           block: Union[int, Tuple[int, int]] = 8, dictionary: Any = None, *,
           bit_depth: Optional[int] = None, threads: int = 0) -> bytes:
    """Encode an image as the codec's file.

    Parameters
    ----------
    image : array_like
        rows x cols (grey) or rows x cols x 3 (red, green, blue): uint8 (8
        bits a sample), uint16 (16 bits) or floating point. Floating-point
        samples are 0..255 (8 bits), not 0..1 (``bit_depth`` for others);
        they need not be integers.
    psnr : float, optional
        The smallest PSNR of the decoded image, in dB against the largest
        sample (255 for 8 bits).
    bpp : float, optional
        The largest file, in bits per pixel (rows x cols), header included.
        Exactly one of ``psnr`` and ``bpp``.
    block : int or (int, int)
        Block size, 1..64 a side and at most 4096 pixels (default 8).
    dictionary : str, numpy.ndarray or tuple, optional
        A description (:func:`tilevista.dictionary`) for both directions,
        ``"ROWS/COLUMNS"``, one matrix for both, or ``(Dy, Dx)`` of two
        descriptions or two matrices. Default: the orthonormal cosine basis
        of each block side, the best measured (docs/codec.md).
    bit_depth : int, optional
        Bits per sample: 1..8 for uint8 images, 1..16 else.
    threads : int
        Threads, the calling one included (0: every processor). The bytes do
        not depend on it.

    Returns
    -------
    bytes
        The file. Octave's ``tilevista_encode`` writes the same bytes for the
        same call on the same machine.

    Raises
    ------
    CodecError
        A ``ValueError`` with the codec's identifier: no target or both
        (``TILEVISTA:codecOptions``), an image of another type, shape or
        range (``codecImage``), a block size (``codecBlockSize``), a
        dictionary (``codecDictionary``, ``dictionaryPair``), threads
        (``codecThreads``), a target out of reach (``codecTarget``).
    CodecOutOfMemory
        Memory ran out (``TILEVISTA:codecOutOfMemory``).

    Notes
    -----
    The GIL is released while the codec works.

    Examples
    --------
    >>> from tilevista import codec
    >>> img = np.tile(np.arange(0, 256, 4, dtype=np.uint8), (48, 1))
    >>> data = codec.encode(img, psnr=40)
    >>> out = codec.decode(data)
    >>> out.dtype, out.shape
    (dtype('uint8'), (48, 64))
    """
    return encode_report(image, psnr, bpp, block, dictionary, bit_depth=bit_depth,
                         threads=threads).data


def _bytes_of(data: Union[Bytes, PathLike]) -> bytes:
    if isinstance(data, (bytes, bytearray, memoryview)):
        return data
    if isinstance(data, (str, os.PathLike)):
        try:
            size = os.path.getsize(data)
            if size > _native.CODEC_MAX_FILE_BYTES:
                raise _refuse("codecFile", f"{os.fspath(data)} is larger than any file of this "
                              "codec (4 GiB)")
            with open(data, "rb") as f:
                return f.read()
        except OSError as e:
            raise _refuse("codecFile", f"cannot read {os.fspath(data)}: {e.strerror}") from None
    raise _refuse("codecInput", "data must be a file's bytes (bytes, bytearray, memoryview) or a "
                  f"file name; it is a {type(data).__name__}")


def decode_info(data: Union[Bytes, PathLike]) -> Tuple[np.ndarray, DecodeInfo]:
    """Decode a file, with what its header says.

    Parameters are those of :func:`decode`.

    Returns
    -------
    (numpy.ndarray, DecodeInfo)
        The image, as :func:`decode` gives it, and the file's facts.
    """
    data = _bytes_of(data)
    made = _native.decode_image(data)
    if made[0] is None:
        raise codec_error(made[1], made[2])
    samples, fields = made
    image = samples[:, :, 0] if samples.shape[2] == 1 else samples
    size = len(data) if not isinstance(data, memoryview) else data.nbytes
    ints = {k: int(v) if k != "step" and not isinstance(v, str) else v for k, v in fields.items()}
    info = DecodeInfo(**ints, bytes=size, bpp=8.0 * size / (ints["rows"] * ints["cols"]))
    return np.ascontiguousarray(image), info


def decode(data: Union[Bytes, PathLike]) -> np.ndarray:
    """Decode a file of the codec.

    Parameters
    ----------
    data : bytes-like or path-like
        The file's bytes (what :func:`encode` returns), or its name. Bytes
        from anywhere are safe: damaged or hostile ones raise a
        :class:`CodecError`, never crash.

    Returns
    -------
    numpy.ndarray
        rows x cols (grey) or rows x cols x 3, uint8 for files of 1 to 8 bits
        a sample (what Pillow and the package's ``read_image`` give for the
        same image), uint16 above.

    Raises
    ------
    CodecError
        The bytes are no file of the codec (``TILEVISTA:codecMagic``), of
        another version (``codecVersion``), cut short (``codecTruncated``),
        too long (``codecLength``), changed (``codecChecksum``), or hold a
        field or a payload out of range (``codecImageSize``,
        ``codecBlockSize``, ``codecDictionary``, ``codecQuantizer``,
        ``codecPayload``, ``codecBasis``); the file cannot be read
        (``codecFile``); data of another type (``codecInput``).
    CodecOutOfMemory
        Memory ran out.

    Notes
    -----
    The GIL is released while the codec works.
    """
    return decode_info(data)[0]
