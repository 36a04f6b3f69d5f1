"""Waveform capture files as numpy arrays, exactly as stored.

Open a capture, look at its waveforms, read their columns::

    import quillwave

    with quillwave.open("capture.bin") as capture:
        for waveform in capture:
            if waveform.reason is not None:      # damaged: says why
                print(waveform.index, waveform.reason)
                continue
            columns = waveform.read()            # {"time": float64, "value": float32, ...}
            print(waveform.type, waveform.source, columns["value"].max())

Arrays are equal bit for bit to the fields of quillwave-export's NPY files
(float64 ``time``; float32 ``value`` or ``value1``/``value2``; int32
``count``; uint8 ``byte1``/``byte2``). ``waveform.blocks(n)`` reads a
waveform larger than memory n rows at a time; ``to_pandas()`` and
``to_xarray()`` hand it over to those libraries.

``quillwave.export(captures, folder, format="npy")`` writes the files
quillwave-export writes. Failures raise ``quillwave.Error``
(CannotOpenError, NotACaptureError, ReadError, NoSamplesError,
ExportError); ``python3 -m quillwave CAPTURE...`` describes captures from a
shell.
"""
from __future__ import annotations

import codecs
import io
import operator
import os
import shutil
import tempfile
from typing import Any, BinaryIO, Dict, Iterator, NamedTuple, Optional, Tuple, Union

import numpy

from . import _quillwave
from ._errors import (CannotOpenError, Error, ExportError, NoSamplesError, NotACaptureError, ReadError,
                      make_error)

__all__ = [
    "open",
    "Capture",
    "Waveform",
    "Column",
    "Buffer",
    "Error",
    "CannotOpenError",
    "NotACaptureError",
    "ReadError",
    "NoSamplesError",
    "ExportError",
    "export",
    "ExportResult",
    "ExportedWaveform",
    "library_version",
]

__version__: str = _quillwave.package_version
#: The version of libquillwave that was loaded, e.g. "0.1.0".
library_version: str = _quillwave.version()

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Walk ends, as the library numbers them.
_WALK_ENDS = ("declared", "file_ends", "loops", "read_failed")
# Buffer problems, as the library numbers them (0: none).
_PROBLEMS = (None, "header_unreadable", "wrong_width", "wrong_data_type", "negative_size",
             "wrong_count", "truncated")


def _bytes_as_code_points(error: UnicodeError) -> Tuple[str, int]:
    # Bytes that are not UTF-8 become the code points of their values, as
    # quillwave-export's JSON escapes them (\u00XX): texts equal the JSON's.
    if isinstance(error, UnicodeDecodeError):
        return "".join(map(chr, error.object[error.start:error.end])), error.end
    raise error


codecs.register_error("quillwave.code-points", _bytes_as_code_points)


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "quillwave.code-points")


class Column(NamedTuple):
    """A column a waveform yields: its name (as in the export's CSV header and
    NPY fields), numpy dtype, and its buffer's stored data type (0 for time)."""

    name: str
    dtype: numpy.dtype
    data_type: int


class Buffer(NamedTuple):
    """A data buffer whose header was read: its stored data type, sample width
    and data size, and what is wrong with it (None, or e.g. "truncated")."""

    data_type: int
    sample_width: int
    data_size: int
    problem: Optional[str]


class Waveform:
    """One waveform of a capture: its header, its columns, and its samples.

    Header fields are None when the waveform's header could not be read.
    ``reason`` is None for a waveform that yields samples; else the sentence
    saying why it yields none (as quillwave-export's JSON status).
    """

    def __init__(self, capture: "Capture", index: int, info: Dict[str, Any]) -> None:
        # The handle, not the Capture: no reference cycle, so that the file
        # is closed as soon as the capture and its waveforms are dropped.
        self._handle = capture._handle()
        self._path = capture.path
        known = info["header_read"]
        #: Position among the capture's waveforms, from 0.
        self.index: int = index
        #: Byte offset of the waveform's header in the file.
        self.offset: int = info["offset"]

        def field(name: str) -> Any:
            return info[name] if known else None

        #: The type's name ("PB_NORMAL", "PB_PEAK_DETECT", ...; "PB_UNKNOWN").
        self.type: Optional[str] = info["type_name"] if known else None
        #: The type's number (1 normal, 2 peak detect, 3 average, 4 and 5
        #: histograms, 6 logic; 0 for a type the library does not know).
        self.type_number: Optional[int] = field("type_number")
        self.sample_count: Optional[int] = field("sample_count")
        self.time_increment: Optional[float] = field("time_increment")
        self.time_origin: Optional[float] = field("time_origin")
        self.summary_number: Optional[int] = field("summary_number")
        #: The number of data buffers the header declares.
        self.buffer_count: Optional[int] = field("buffer_count")
        #: Texts 1 to 4 of the header as stored, up to their first zero byte.
        self.raw_texts: Tuple[bytes, bytes, bytes, bytes] = info["texts"]
        #: The same as str: UTF-8, other bytes as the code points of their
        #: values (as in quillwave-export's JSON).
        self.texts: Tuple[str, str, str, str] = tuple(_text(t) for t in self.raw_texts)  # type: ignore[assignment]
        self.buffers: Tuple[Buffer, ...] = tuple(
            Buffer(data_type, width, size, _PROBLEMS[problem] if 0 <= problem < len(_PROBLEMS) else "unknown")
            for data_type, width, size, problem in info["buffers"])
        self.columns: Tuple[Column, ...] = tuple(
            Column(name, numpy.dtype(dtype), data_type) for name, dtype, data_type in info["columns"])
        self.reason: Optional[str] = _text(info["reason_text"]) if info["reason"] != 0 else None
        self._rows: int = info["row_count"]

    @property
    def source(self) -> str:
        """Text 1 of the header, the source (e.g. "CH1")."""
        return self.texts[0]

    @property
    def names(self) -> Tuple[str, ...]:
        """The column names, in order, time first ("time", "value", ...)."""
        return tuple(column.name for column in self.columns)

    @property
    def dtype(self) -> Optional[numpy.dtype]:
        """The record dtype of quillwave-export's NPY file for this waveform,
        or None for a waveform that yields no samples."""
        if not self.columns:
            return None
        return numpy.dtype([(c.name, c.dtype.newbyteorder("<")) for c in self.columns])

    def __len__(self) -> int:
        """The number of rows it yields (0 for a waveform that yields none)."""
        return self._rows

    def __repr__(self) -> str:
        if self.reason is not None:
            return f"<quillwave.Waveform {self.index}: {self.type}, no samples: {self.reason}>"
        return (f"<quillwave.Waveform {self.index}: {self.type} {self.source!r}, "
                f"{self._rows} rows of {', '.join(self.names)}>")

    def _range(self, start: int, stop: Optional[int]) -> Tuple[int, int]:
        if self.reason is not None:
            raise make_error(_quillwave.constants["E_NO_SAMPLES"], 0, self._path, self.reason)
        first, last, _ = slice(start, stop).indices(self._rows)
        return first, max(last - first, 0)

    def _read(self, first: int, count: int) -> Dict[str, numpy.ndarray]:
        try:
            arrays = self._handle.read(self.index, first, count)
        except _quillwave.StatusError as failure:
            raise _failed(failure, self._path) from None
        return dict(zip(self.names, arrays))

    def read(self, start: int = 0, stop: Optional[int] = None) -> Dict[str, numpy.ndarray]:
        """Rows start .. stop - 1 (Python's slice rules: negative counts from
        the end, out-of-range bounds are clipped), as a dict from column name
        to a new contiguous numpy array, in column order: ``time`` (float64,
        from the library, the times quillwave-export writes), then ``value``
        (float32; ``value1``, ``value2`` for peak detect), ``count`` (int32)
        or ``byte1`` (uint8; and ``byte2``). Values keep their stored bits.

        Raises NoSamplesError for a waveform that yields none (see
        ``reason``), ReadError if the file no longer holds the samples,
        MemoryError. The GIL is released while reading."""
        return self._read(*self._range(start, stop))

    def blocks(self, rows: int = 1 << 20, start: int = 0,
               stop: Optional[int] = None) -> Iterator[Dict[str, numpy.ndarray]]:
        """The rows of ``read(start, stop)`` in order as dicts of at most
        ``rows`` rows each, read one at a time, so memory stays flat however
        large the waveform."""
        rows = operator.index(rows)  # a TypeError here, not at the first block
        if rows < 1:
            raise ValueError("blocks need at least one row each")
        first, count = self._range(start, stop)
        return self._blocks(rows, first, count)

    def _blocks(self, rows: int, first: int, count: int) -> Iterator[Dict[str, numpy.ndarray]]:
        end = first + count
        while first < end:
            step = min(rows, end - first)
            yield self._read(first, step)
            first += step

    def header(self) -> Dict[str, Any]:
        """The header fields, as a dict (the attrs of to_pandas and to_xarray)."""
        return {
            "index": self.index,
            "type": self.type,
            "sample_count": self.sample_count,
            "time_increment": self.time_increment,
            "time_origin": self.time_origin,
            "summary_number": self.summary_number,
            "summary_text1": self.texts[0],
            "summary_text2": self.texts[1],
            "summary_text3": self.texts[2],
            "summary_text4": self.texts[3],
            "capture": self._path,
        }

    def to_pandas(self, start: int = 0, stop: Optional[int] = None) -> Any:
        """The rows of ``read(start, stop)`` as a pandas DataFrame (one column
        per waveform column, time included; the header in ``attrs``).
        Needs pandas (Debian package python3-pandas)."""
        from ._frames import to_pandas

        return to_pandas(self, self.read(start, stop))

    def to_xarray(self, start: int = 0, stop: Optional[int] = None) -> Any:
        """The rows of ``read(start, stop)`` as an xarray Dataset: a ``time``
        coordinate, a variable per other column (``value1`` and ``value2``
        for peak detect), the header in ``attrs``. Needs xarray (Debian
        package python3-xarray)."""
        from ._frames import to_xarray

        return to_xarray(self, self.read(start, stop))


class Capture:
    """An open capture: a sequence of its waveforms, and a context manager.

    ``len(capture)`` is the number of waveforms it holds (those of
    quillwave-export's JSON description), ``capture[k]`` waveform k (from 0;
    negative counts from the end). The file is never written. One capture
    may be read from several threads at once.
    """

    def __init__(self, handle: Any, path: Optional[str]) -> None:
        self._capture = handle
        #: The path it was opened from (the file object's name, if any).
        self.path = path
        about = handle.describe()
        #: The file header's version, e.g. "1.0".
        self.version: str = _text(about["version"])
        #: The number of waveforms the file header declares (may be negative).
        self.declared_count: int = about["declared_count"]
        #: How the walk over its waveforms ended: "declared" (every declared
        #: waveform was walked), "file_ends", "loops" or "read_failed".
        self.walk_end: str = _WALK_ENDS[about["walk_end"]] if 0 <= about["walk_end"] < 4 else "unknown"
        #: quillwave-export's sentence for a walk that ended early, or "".
        self.walk_text: str = _text(about["walk_text"])
        #: For "loops": the index of the waveform the walk would repeat.
        self.walk_loops_to: Optional[int] = about["walk_loops_to"] if about["walk_loops_to"] >= 0 else None
        self._waveforms: list = [None] * about["waveform_count"]

    def _handle(self) -> Any:
        return self._capture

    @property
    def closed(self) -> bool:
        return bool(self._capture.closed)

    def close(self) -> None:
        """Releases the capture (waits for reads running in other threads).
        Waveforms keep their header fields; reading them raises ValueError."""
        self._capture.close()

    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exception: Any) -> None:
        self.close()

    def __len__(self) -> int:
        return len(self._waveforms)

    def _waveform(self, index: int) -> Waveform:
        waveform = self._waveforms[index]
        if waveform is None:
            waveform = Waveform(self, index, self._capture.waveform(index))
            self._waveforms[index] = waveform
        return waveform

    def __getitem__(self, index: Union[int, slice]) -> Any:
        if isinstance(index, slice):
            return [self._waveform(k) for k in range(*index.indices(len(self)))]
        index = operator.index(index)
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError("waveform index out of range")
        return self._waveform(index)

    def __iter__(self) -> Iterator[Waveform]:
        for index in range(len(self)):
            yield self._waveform(index)

    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        return f"<{state}quillwave.Capture {self.path!r}: version {self.version}, {len(self)} waveforms>"


def _failed(failure: Exception, path: Optional[str]) -> BaseException:
    status, os_error = failure.args
    return make_error(status, os_error, path)


def open(source: Union[PathLike, BinaryIO], spool_folder: Optional[PathLike] = None) -> Capture:
    """Opens a capture and walks its waveforms (headers only); returns a Capture.

    ``source`` is a path (str, bytes or os.PathLike) or a binary file object
    opened for reading (its position is left as it was; one without a file
    descriptor, such as io.BytesIO, is read from its start). An input that
    cannot seek, a pipe say, is first copied into an unnamed temporary file
    in ``spool_folder`` (default /tmp), removed when the capture is closed.

    Use it in a ``with`` statement, or call close()::

        with quillwave.open("capture.bin") as capture:
            columns = capture[0].read()

    Raises CannotOpenError (also an OSError, with errno), NotACaptureError
    (too short, or not a capture's signature), MemoryError; TypeError for a
    source that is neither. A capture whose waveforms are damaged opens:
    each waveform tells its ``reason``.
    """
    spool = None if spool_folder is None else os.fsencode(spool_folder)
    if isinstance(source, (str, bytes, os.PathLike)):
        path = os.fspath(source)
        shown = os.fsdecode(path)
        try:
            return Capture(_quillwave.open_path(os.fsencode(path), spool), shown)
        except _quillwave.StatusError as failure:
            raise _failed(failure, shown) from None
    if not hasattr(source, "read"):
        raise TypeError(f"quillwave.open needs a path or a binary file object, not {type(source).__name__}")
    if isinstance(source, io.TextIOBase):
        raise TypeError("quillwave.open needs a file object opened in binary mode ('rb')")
    name = getattr(source, "name", None)
    shown = os.fsdecode(name) if isinstance(name, (str, bytes)) else repr(source)
    try:
        fd = source.fileno()
    except (AttributeError, io.UnsupportedOperation, OSError):
        fd = None
    try:
        if fd is not None:
            # The library reads through its own duplicate; ours stays as it is.
            return Capture(_quillwave.open_fd(fd, spool), shown)
        with tempfile.TemporaryFile(dir=None if spool is None else os.fsdecode(spool)) as copy:
            _copy_stream(source, copy)
            return Capture(_quillwave.open_fd(copy.fileno(), spool), shown)
    except _quillwave.StatusError as failure:
        raise _failed(failure, shown) from None


def _copy_stream(source: Any, copy: Any) -> None:
    position = None
    try:
        if source.seekable():
            position = source.tell()
            source.seek(0)
    except (AttributeError, OSError):
        position = None
    try:
        first = source.read(0)
        if not isinstance(first, (bytes, bytearray, memoryview)):
            raise TypeError("quillwave.open needs a file object opened in binary mode ('rb')")
        shutil.copyfileobj(source, copy)
        copy.flush()
    finally:
        if position is not None:
            source.seek(position)


from ._export import ExportedWaveform, ExportResult, export  # noqa: E402  (it uses _copy_stream)
