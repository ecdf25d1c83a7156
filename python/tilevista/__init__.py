"""TILEVISTA for NumPy: block-wise, globally chosen orthogonal matching pursuit
over separable 2-D dictionaries.

Each atom is the outer product of a column of dictionary Y (along the block
rows) and a column of dictionary X (along the block columns). Every step adds
one atom to the one block, among all blocks of the call, whose best atom has
the largest inner product with that block's residual, until the total squared
error falls below a tolerance or a budget of atoms is spent.

The package calls the same compiled module as the Octave and MATLAB toolbox, in
this process: checks, messages, stop rules and numbers are the module's own.
Atom indices are 0-based, as everywhere in Python.

Element types, Octave and Python side by side: the module computes in
double. From Octave or MATLAB (TILEVISTA_Mex, tilevista_pursuit) it
rejects blocks of any other class (uint8 blocks end the call with
TILEVISTA:block, "... it is of class uint8") and dictionaries, TOL or
MAXATOMS of any other class (TILEVISTA:dictionaryYType and the like);
Python's tilevista.approximate converts every array whose values float64
holds exactly (uint8, int16, float32, bool) and refuses the rest with a
ValueError. tilevista_blocks and tilevista.image_blocks give double
blocks of any image.

Functions
---------
approximate           one call of the module on blocks and two dictionaries
threads               the threads calls work with (TILEVISTA_THREADS), or set them
release_memory        give back the memory the module keeps for its next call
image_blocks          cut an image (grey or colour) into equal blocks
assemble              put the blocks together again
dictionary            the dictionary a description string names, e.g.
                      "cosine:16+legendre:8+haar+delta" (the same bits as Octave's)
cosine_dictionary     redundant cosine dictionary with unit-norm atoms
combine_dictionaries  join dictionaries for one direction, e.g. cosine + identity
tol_for_psnr          the tol that reaches a target PSNR
psnr                  PSNR of an approximation
approximate_image     a whole image in one call (options: ImageOptions)
codec                 the image codec: codec.encode (an image to bytes at a PSNR or
                      bits per pixel), codec.decode; the same bytes as Octave's
                      tilevista_encode

Results and errors
------------------
Approximation     what approximate returns (stop rule, threads, curve ...)
PursuitCurve      every atom in the pursuit's order and the residual after each
CallRejected      the module refused a call (a ValueError with its identifier,
                  in plain words; the module's own texts as attributes)
CallOutOfMemory   a call needs more memory than there is (a MemoryError)
CallInterrupted   Ctrl-C ended a call (a KeyboardInterrupt)
Dictionary        what dictionary returns (matrix, atoms, dropped repeats)
DictionaryRefused a description that cannot be built (a ValueError)
CodecError        the codec refused a request or a file (a ValueError with its
                  identifier, TILEVISTA:codec...)
CodecOutOfMemory  the codec's work needs more memory than there is

Warnings
--------
PeakExceededWarning      an image holds values above the peak of its PSNR
TolLooksLikePsnrWarning  approximate or approximate_image got a tol that reads like a PSNR

``python3 -m tilevista.codec encode|decode|compare ...`` codes image files
and compares the codec with JPEG and JPEG 2000; ``python3 -m tilevista.demo IMAGE`` approximates an image file and writes
pictures of the result; ``python3 -m tilevista.survey IMAGES...``
(:func:`tilevista.survey.run_survey`) tables pixels per atom over many
images, target PSNRs, block sizes and dictionaries, globally and block by
block, on a Dask cluster or in process.
"""

from .blocks import BlockLayout, assemble, image_blocks
from .curve import PursuitCurve
from .cosine import cosine_dictionary
from .dictionaries import Dictionary, DictionaryAtom, combine_dictionaries, dictionary
from .errors import (CallInterrupted, CallOutOfMemory, CallRejected, CodecError, CodecOutOfMemory,
                     DictionaryRefused)
from .image import ImageApproximation, ImageOptions, approximate_image
from .module_call import Approximation, approximate, release_memory, threads
from .quality import PeakExceededWarning, TolLooksLikePsnrWarning, psnr, tol_for_psnr


def _version():
    """The project's version: its VERSION file when the package runs from the
    project's tree, else the installed package's metadata (taken from it)."""
    from pathlib import Path
    tree = Path(__file__).resolve().parents[2] / "VERSION"
    if tree.is_file():
        return tree.read_text().strip()
    from importlib.metadata import version
    return version("tilevista")


__version__ = _version()

from . import codec  # noqa: E402  (after the names it uses)

__all__ = [
    "Approximation", "approximate", "release_memory", "threads", "PursuitCurve", "CallRejected", "CallOutOfMemory",
    "CallInterrupted", "BlockLayout", "image_blocks", "assemble",
    "dictionary", "Dictionary", "DictionaryAtom", "DictionaryRefused",
    "cosine_dictionary", "combine_dictionaries", "tol_for_psnr", "psnr", "ImageApproximation",
    "approximate_image", "ImageOptions", "PeakExceededWarning", "TolLooksLikePsnrWarning",
    "codec", "CodecError", "CodecOutOfMemory",
]
