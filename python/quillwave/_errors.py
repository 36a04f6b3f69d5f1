"""The exceptions of the package, made from the library's status codes."""
from __future__ import annotations

import os

from . import _quillwave

_codes = _quillwave.constants


class Error(Exception):
    """Base of every error quillwave raises about a capture.

    ``path`` is the capture's path (or the file object's name), ``status``
    the library's status code and ``message`` its sentence, e.g. "the capture
    cannot be opened: No such file or directory".
    """

    path: str | None = None
    status: int | None = None
    message: str = ""


class CannotOpenError(Error, OSError):
    """The capture cannot be opened (no such file, no permission, a folder...).

    Also an OSError: ``errno`` says why, where the system said.
    """


class NotACaptureError(Error):
    """The file is not a capture: shorter than its 12-byte header, or it does
    not start with the capture's signature."""


class ReadError(Error, OSError):
    """The capture shrank while being read, or reading it failed."""


class ExportError(Error, OSError):
    """quillwave.export cannot create its output folder, or cannot write."""


class NoSamplesError(Error):
    """The waveform yields no samples; ``reason`` says why (the same sentence
    as the status of its entry in quillwave-export's JSON description)."""

    reason: str = ""


def make_error(status: int, os_error: int, path: str | None, reason: str = "") -> BaseException:
    """The exception for a failed call of the library."""
    message = _quillwave.status_text(status)
    if os_error:
        message += ": " + os.strerror(os_error)
    if status == _codes["E_NO_MEMORY"]:
        return MemoryError(message)
    if status == _codes["E_NO_SAMPLES"] and reason:
        message += ": " + reason
    kinds = {
        _codes["E_OPEN"]: CannotOpenError,
        _codes["E_TOO_SHORT"]: NotACaptureError,
        _codes["E_NOT_A_CAPTURE"]: NotACaptureError,
        _codes["E_READ"]: ReadError,
        _codes["E_NO_SAMPLES"]: NoSamplesError,
        _codes["E_CREATE"]: ExportError,
        _codes["E_WRITE"]: ExportError,
        _codes["E_EXISTS"]: ExportError,
    }
    kind = kinds.get(status, Error)
    if issubclass(kind, OSError) and os_error:
        # As the system's own OSError: "[Errno 2] ...: 'PATH'", errno set.
        error = kind(os_error, message, path)
    else:
        error = kind(f"{path}: {message}" if path is not None else message)
    error.path = path
    error.status = status
    error.message = message
    if isinstance(error, NoSamplesError):
        error.reason = reason
    return error
