"""quillwave.export: every waveform of many captures as CSV or NumPy files
with a JSON description each, as quillwave-export writes them, run by the
library itself."""
from __future__ import annotations

import operator
import os
import tempfile
from typing import Any, BinaryIO, Callable, Dict, Iterable, List, NamedTuple, Optional, Union

from . import _quillwave
from ._errors import make_error

_FORMATS = {"csv": 1, "npy": 2, "sr": 3, "wav": 4, "mat": 5}  # the library's QUILLWAVE_FORMAT_*
# Event kinds, as the library numbers them.
_CAPTURE_FAILED, _BEGIN, _WAVEFORM, _INCOMPLETE, _DESCRIPTION_FAILED, _DESCRIPTION, _END = range(1, 8)


class ExportedWaveform(NamedTuple):
    """What the export did with one waveform."""

    #: The capture's path (or the file object's name).
    capture: str
    #: The waveform's number from 1, as in its file's name (NAME.wK.csv).
    waveform: int
    #: The file written, or None.
    file: Optional[str]
    #: "" when its file was written; else why not, as quillwave-export says
    #: it (e.g. "capture.bin: waveform 2: unknown waveform type").
    message: str

    @property
    def ok(self) -> bool:
        return self.message == ""


class ExportResult(NamedTuple):
    """What an export did: every waveform, in order; the descriptions
    written; and whatever else went wrong, as quillwave-export's messages."""

    waveforms: List[ExportedWaveform]
    #: capture -> its JSON description's path.
    descriptions: Dict[str, str]
    #: Captures not exported at all, walks that ended early, descriptions
    #: that could not be written.
    problems: List[str]

    @property
    def ok(self) -> bool:
        """Whether every waveform and description was written."""
        return not self.problems and all(w.ok for w in self.waveforms)


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "quillwave.code-points")


def export(captures: Union[Any, Iterable[Any]], output_dir: Any = ".", format: str = "csv",
           jobs: Optional[int] = None, force: bool = False,
           progress: Optional[Callable[[int, int], Any]] = None,
           spool_folder: Optional[Any] = None) -> ExportResult:
    """Exports every waveform of each capture as quillwave-export does.

    ``captures`` is a path or binary file object, or an iterable of them;
    ``output_dir`` the folder for the files (created if missing);
    ``format`` "csv", "npy", "sr", "wav" or "mat"; ``jobs`` the number of waveforms converted at
    once (default: the number of processors); ``force`` replaces existing
    files (refused otherwise); ``progress``, if given, is called now and then
    as progress(waveforms_done, bytes_written), from the calling thread. An
    exception it raises, or Ctrl-C, stops the export (files being written are
    removed) and is raised again here. The GIL is released while exporting.

    Returns an ExportResult: each waveform's file or the reason it has none,
    the descriptions' paths, and the problems, e.g.::

        result = quillwave.export(["a.bin", "b.bin"], "out", format="npy")
        if not result.ok:
            print("\\n".join(result.problems + [w.message for w in result.waveforms if not w.ok]))

    Raises ValueError for a format or job count out of range, an Error (an
    OSError too) when the output folder cannot be created, MemoryError.
    """
    if isinstance(captures, (str, bytes, os.PathLike)) or hasattr(captures, "read"):
        captures = [captures]
    if format not in _FORMATS:
        raise ValueError(f"format must be 'csv', 'npy', 'sr', 'wav' or 'mat', not {format!r}")
    processors = os.cpu_count() or 1
    jobs = min(processors, 1024) if jobs is None else operator.index(jobs)
    if not 1 <= jobs <= 1024:
        raise ValueError("jobs must be 1 to 1024")
    exporter = _quillwave.Exporter()
    exporter.set_format(_FORMATS[format])
    exporter.set_output_dir(os.fsencode(output_dir))
    exporter.set_jobs(jobs)
    exporter.set_processors(processors)
    exporter.set_force(bool(force))
    if spool_folder is not None:
        exporter.set_spool_folder(os.fsencode(spool_folder))
    copies = []
    try:
        for k, capture in enumerate(captures):
            if isinstance(capture, (str, bytes, os.PathLike)):
                exporter.add_path(os.fsencode(capture))
                continue
            name = getattr(capture, "name", None)
            shown = os.fsdecode(name) if isinstance(name, (str, bytes)) else f"capture {k}"
            stem = os.path.splitext(os.path.basename(shown))[0] if isinstance(name, (str, bytes)) else f"capture{k}"
            try:
                fd = capture.fileno()
            except (AttributeError, OSError, ValueError):
                from . import _copy_stream

                copy = tempfile.TemporaryFile(dir=None if spool_folder is None else os.fsdecode(spool_folder))
                copies.append(copy)
                _copy_stream(capture, copy)
                fd = copy.fileno()
            exporter.add_fd(fd, os.fsencode(shown), os.fsencode(stem))
        status, os_error, events = exporter.run(progress)
    except _quillwave.StatusError as failure:
        status, os_error = failure.args
        raise make_error(status, os_error, os.fsdecode(output_dir)) from None
    finally:
        for copy in copies:
            copy.close()
    if status not in (0, _quillwave.constants["E_INCOMPLETE"]):
        raise make_error(status, os_error, os.fsdecode(output_dir))
    waveforms: List[ExportedWaveform] = []
    descriptions: Dict[str, str] = {}
    problems: List[str] = []
    for kind, _index, name, number, _status, _os_error, _reason, file, text in events:
        capture_name = _text(name)
        if kind == _WAVEFORM:
            waveforms.append(ExportedWaveform(capture_name, number, _text(file) or None, _text(text)))
        elif kind == _END and file:
            descriptions[capture_name] = _text(file)
        elif kind in (_CAPTURE_FAILED, _INCOMPLETE, _DESCRIPTION_FAILED) and text:
            problems.append(_text(text))
    return ExportResult(waveforms, descriptions, problems)
