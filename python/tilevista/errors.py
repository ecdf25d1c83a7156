"""The module's errors as Python exceptions.

Every error of the module has an identifier (``"TILEVISTA:<what>"``, one per
check, the same as the Octave and MATLAB module raises), the module's own
texts (a message, and sometimes a line the module prints on the console
before it: the detail), and the same error in plain words: what was wrong,
with the sizes or classes seen, and the cure, in the words Octave's
tilevista_pursuit uses too. The exception shows the plain words; the
module's texts are its attributes. Each becomes an exception of the Python
type its cause calls for:

- :class:`CallRejected` (a ``ValueError``): the module refused the arguments,
  or ``TILEVISTA_THREADS``;
- :class:`CallOutOfMemory` (a ``MemoryError``): ``TILEVISTA:outOfMemory``;
- :class:`CallInterrupted` (a ``KeyboardInterrupt``): ``TILEVISTA:interrupted``;
- :class:`DictionaryRefused` (a ``ValueError``): a dictionary description
  that cannot be built, ``TILEVISTA:dictionary``;
- :class:`CodecError` (a ``ValueError``): the codec (:mod:`tilevista.codec`)
  refused a request or a file, ``TILEVISTA:codec...``; memory running out
  there is a :class:`CodecOutOfMemory` (a ``MemoryError``).
"""

from __future__ import annotations

from typing import Any, Tuple

from . import _native

__all__ = ["CallRejected", "CallOutOfMemory", "CallInterrupted", "DictionaryRefused",
           "CodecError", "CodecOutOfMemory", "codec_error", "module_error"]


class _ModuleError:
    """What the module's errors carry, and the text they show: the plain
    words (the module's message when there are none), then a hint of the
    package's on a line of its own, if any."""

    def __init__(self, identifier: str, message: str, detail: str = "", hint: str = "",
                 plain: str = "") -> None:
        self.identifier = identifier
        self.message = message
        self.detail = detail
        self.hint = hint
        self.plain = plain
        parts = (plain or message.rstrip(), hint)
        super().__init__("\n".join(part for part in parts if part))

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), (self.identifier, self.message, self.detail, self.hint, self.plain)


class CallRejected(_ModuleError, ValueError):
    """The module refused the call.

    Attributes
    ----------
    identifier : str
        The check that refused it, e.g. ``"TILEVISTA:dictionaryRows"``.
    plain : str
        The rejection in plain words, what ``str()`` shows: what was wrong,
        the sizes or classes seen, and the cure (e.g. ``"Dy has atoms of
        length 3 (its rows), but the blocks have 2 rows: give Dy 2 rows, one
        per block row"``).
    message : str
        The module's message, exactly as TILEVISTA_Mex raises it (e.g.
        ``"Error!!\\n"``).
    detail : str
        The line the module printed before it, or "".
    hint : str
        The package's advice, or "".
    """


class CallOutOfMemory(_ModuleError, MemoryError):
    """The call needs more memory than the system can give
    (``TILEVISTA:outOfMemory``); the attributes are those of
    :class:`CallRejected`, the message states what a call of these sizes
    needs."""


class CallInterrupted(_ModuleError, KeyboardInterrupt):
    """Ctrl-C ended the call (``TILEVISTA:interrupted``); the attributes are
    those of :class:`CallRejected`."""


def module_error(identifier: str, detail: str, message: str, hint: str = "",
                 plain: str = "") -> BaseException:
    """The exception for an error of the module.

    Parameters
    ----------
    identifier, detail, message : str
        The module's error (see :class:`CallRejected`).
    hint : str, optional
        Advice of the package's, shown after the plain words.
    plain : str, optional
        The error in plain words, shown (else the module's message).

    Returns
    -------
    BaseException
        A :class:`CallOutOfMemory`, :class:`CallInterrupted` or
        :class:`CallRejected`, by identifier.
    """
    kind = {_native.ERROR_OUT_OF_MEMORY: CallOutOfMemory,
            _native.ERROR_INTERRUPTED: CallInterrupted}.get(identifier, CallRejected)
    return kind(identifier, message, detail, hint, plain)


class DictionaryRefused(_ModuleError, ValueError):
    """A dictionary description that cannot be built
    (``TILEVISTA:dictionary``): an unknown family, a bad parameter, an atom
    length outside 1..1024, too many atoms. The message is the dictionary
    layer's, the same as Octave's ``tilevista_dictionary`` raises, and lists
    every family with its syntax; the attributes are those of
    :class:`CallRejected`."""


class CodecError(_ModuleError, ValueError):
    """The codec refused a request or a file: ``identifier`` is one of
    ``TILEVISTA:codec...`` (the same as Octave's ``tilevista_encode`` and
    ``tilevista_decode`` raise; docs/codec.md lists them) or
    ``TILEVISTA:dictionaryPair``; the message is the codec's. The other
    attributes are those of :class:`CallRejected`."""


class CodecOutOfMemory(_ModuleError, MemoryError):
    """The codec's work needs more memory than the system gives
    (``TILEVISTA:codecOutOfMemory``)."""


def codec_error(identifier: str, message: str) -> BaseException:
    """The exception for a failure of the codec.

    Parameters
    ----------
    identifier, message : str
        The codec's identifier and message.

    Returns
    -------
    BaseException
        A :class:`CodecOutOfMemory` for ``TILEVISTA:codecOutOfMemory``, else a
        :class:`CodecError`.
    """
    kind = CodecOutOfMemory if identifier == _native.CODEC_ERRORS["codecOutOfMemory"] else CodecError
    return kind(identifier, message)
