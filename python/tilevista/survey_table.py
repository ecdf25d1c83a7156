"""A survey's table on disk: ``results.csv``, one row per image, block size,
dictionary and target PSNR.

One process writes the file, the survey's own (Dask workers return their rows
to it): it holds an exclusive lock on the output folder while it runs, so a
second survey on the same folder stops with a message instead of mixing its
rows in. Rows are appended a task at a time, all of a task's rows in one
write followed by ``fsync``; a write that fails half-way is cut off again.
A row is therefore in the file whole or not at all; should the process die
within a write, the incomplete last line is dropped the next time the file
is opened. Floats are written with Python's ``repr``, which reads back to the
same bits.

A key (image, block, dictionary, target) may appear more than once when a
row with an error was computed again: the last row counts, and
:meth:`ResultsFile.compact` rewrites the file with one row per key (into a
new file, renamed over the old one).
"""

from __future__ import annotations

import csv
import fcntl
import io
import math
import os
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from .survey_task import SurveyRow

__all__ = ["RESULTS", "ResultsFile", "SurveyBusy", "load_table", "latest_rows"]

RESULTS = "results.csv"
HEADER = ",".join(SurveyRow._fields) + "\n"

_INTS = {"pixels", "block", "atoms_y", "atoms_x", "global_atoms", "blockwise_atoms", "threads"}
_FLOATS = {"target_psnr", "global_psnr", "global_pixels_per_atom", "blockwise_psnr",
           "blockwise_pixels_per_atom", "global_seconds", "blockwise_seconds",
           "seconds_per_atom"}
_REQUIRED = {"image", "block", "dictionary", "target_psnr"}
_ENCODING = {"encoding": "utf-8", "errors": "surrogateescape"}  # any file name


class SurveyBusy(OSError):
    """Another survey is writing to the same output folder."""


def _text(value) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


def format_rows(rows: Iterable[SurveyRow]) -> str:
    """Rows as lines of the CSV file."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    for row in rows:
        writer.writerow([_text(v) for v in row])
    return out.getvalue()


def _parse(fields: List[str], where: str) -> SurveyRow:
    if len(fields) != len(SurveyRow._fields):
        raise ValueError(f"{where} has {len(fields)} fields, a survey row has "
                         f"{len(SurveyRow._fields)}")
    values = []
    for name, text in zip(SurveyRow._fields, fields):
        if text == "" and name not in ("image", "dictionary", "worker", "error"):
            if name in _REQUIRED:
                raise ValueError(f"{where} has no {name}")
            values.append(None)
            continue
        try:
            values.append(int(text) if name in _INTS else
                          float(text) if name in _FLOATS else text)
        except ValueError:
            raise ValueError(f"{where}: {name} is {text!r}, not a number") from None
    row = SurveyRow(*values)
    if not row.image or not row.dictionary or not math.isfinite(row.target_psnr):
        raise ValueError(f"{where} names no image, dictionary or target")
    return row


def _split(text: str, path: Path) -> List[SurveyRow]:
    lines = text.splitlines(keepends=True)
    if not lines or lines[0] != HEADER:
        first = lines[0].strip() if lines else ""
        raise ValueError(f"{path} is not a table of this survey (its first line is "
                         f"{first[:80]!r}); give another output folder, or move the file away")
    rows = []
    for number, fields in enumerate(csv.reader(lines[1:]), start=2):
        rows.append(_parse(fields, f"line {number} of {path}"))
    return rows


def load_table(path: os.PathLike) -> List[SurveyRow]:
    """The rows of a survey's ``results.csv``, in file order; an incomplete
    last line (a write cut short) is left out.

    Parameters
    ----------
    path : path-like
        The file.

    Returns
    -------
    list of SurveyRow
        Every row, several for a key that was computed again (the last one
        counts: :func:`latest_rows`).

    Raises
    ------
    ValueError
        The file is not a table of this survey, or a line is not a row of it.
    OSError
        It cannot be read.
    """
    data = Path(path).read_bytes()
    complete = data[:data.rfind(b"\n") + 1]
    if not complete:
        return []
    return _split(complete.decode(**_ENCODING), Path(path))


def latest_rows(rows: Iterable[SurveyRow]) -> Dict[Tuple, SurveyRow]:
    """The row that counts for each key: the last one, in the order the
    keys first appear."""
    latest: Dict[Tuple, SurveyRow] = {}
    for row in rows:
        latest[row.key] = row
    return latest


def _write_whole(fd: int, data: bytes) -> None:
    """Write ``data`` at the end of the file ``fd`` in full, or cut the file
    back to where it ended; then flush it to disk."""
    size = os.fstat(fd).st_size
    written = 0
    try:
        while written < len(data):
            written += os.write(fd, data[written:])
    except BaseException:
        if written < len(data):
            os.ftruncate(fd, size)
        raise
    os.fsync(fd)


class ResultsFile:
    """``results.csv`` of an output folder, open for one survey run.

    Creates the folder and the file (with its header) when missing, takes
    the folder's lock, reads the rows there are and drops an incomplete last
    line. Use it as a context manager, or call :meth:`close`.

    Parameters
    ----------
    folder : path-like
        The output folder.

    Raises
    ------
    SurveyBusy
        Another survey holds the folder.
    ValueError
        The file there is not a table of this survey.
    OSError
        The folder or file cannot be made, read or locked.
    """

    def __init__(self, folder: os.PathLike) -> None:
        self.folder = Path(folder)
        self.path = self.folder / RESULTS
        if self.folder.exists() and not self.folder.is_dir():
            raise NotADirectoryError(f"{self.folder} is not a folder: give an output folder")
        self.folder.mkdir(parents=True, exist_ok=True)
        self._lock = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY)
        self._fd: Optional[int] = None
        try:
            try:
                fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise SurveyBusy(f"another survey is writing to {self.folder}: wait until it "
                                 "ends, or give another output folder") from None
            self._fd = os.open(self.path, os.O_RDWR | os.O_APPEND | os.O_CREAT, 0o666)
            data = b""
            while chunk := os.read(self._fd, 1 << 20):
                data += chunk
            complete = data[:data.rfind(b"\n") + 1]
            self.dropped = len(data) - len(complete)
            self.rows = _split(complete.decode(**_ENCODING), self.path) if complete else []
            if self.dropped:
                os.ftruncate(self._fd, len(complete))
            if not complete:
                self._write(HEADER.encode(**_ENCODING))
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "ResultsFile":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Release the file and the folder's lock."""
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._lock is not None:
            os.close(self._lock)  # releases the lock
            self._lock = None

    def _write(self, data: bytes) -> None:
        """Append ``data`` in full or not at all, then flush it to disk."""
        _write_whole(self._fd, data)

    def append(self, rows: Sequence[SurveyRow]) -> None:
        """Append rows (a task's) in one write.

        Raises
        ------
        OSError
            The write failed; none of the rows is in the file.
        """
        self._write(format_rows(rows).encode(**_ENCODING))
        self.rows.extend(rows)

    def compact(self) -> bool:
        """Rewrite the file with one row per key (the last), when a key
        appears more than once: into a new file, renamed over this one.

        Returns
        -------
        bool
            Whether the file was rewritten.
        """
        latest = latest_rows(self.rows)
        if len(latest) == len(self.rows):
            return False
        rows = list(latest.values())
        fresh = self.path.with_name(RESULTS + ".new")
        fd = os.open(fresh, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            _write_whole(fd, (HEADER + format_rows(rows)).encode(**_ENCODING))
        finally:
            os.close(fd)
        os.replace(fresh, self.path)
        os.fsync(self._lock)
        os.close(self._fd)
        self._fd = os.open(self.path, os.O_RDWR | os.O_APPEND)
        self.rows = rows
        return True
