"""python3 -m quillwave CAPTURE...: a short description of each capture."""
from __future__ import annotations

import os
import sys
from typing import List, Optional, TextIO

import quillwave


def describe(path: str, out: TextIO) -> None:
    with quillwave.open(path) as capture:
        out.write(f"{path}: version {capture.version}, {len(capture)} waveforms "
                  f"({capture.declared_count} declared)\n")
        if capture.walk_text:
            out.write(f"  {capture.walk_text}\n")
        for waveform in capture:
            if waveform.reason is not None:
                out.write(f"  {waveform.index}: {waveform.type or 'no header'}, no samples: {waveform.reason}\n")
                continue
            out.write(f"  {waveform.index}: {waveform.type} {waveform.source!r}, {len(waveform)} rows of "
                      f"{', '.join(waveform.names)}; time {waveform.time_origin!r} + k * "
                      f"{waveform.time_increment!r} s\n")


def main(argv: Optional[List[str]] = None) -> int:
    paths = sys.argv[1:] if argv is None else argv
    if not paths or paths[0] in ("-h", "--help"):
        sys.stdout.write("usage: python3 -m quillwave CAPTURE...\n"
                         "Describes each capture: its version, its waveforms, their columns.\n")
        return 0 if paths else 2
    status = 0
    for path in paths:
        try:
            describe(path, sys.stdout)
        except quillwave.Error as error:
            sys.stdout.flush()
            sys.stderr.write(f"quillwave: {error}\n")
            status = 1
    return status


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # A reader that stopped early (| head) is no error; keep Python from
        # complaining at exit about the closed stdout.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(0)
