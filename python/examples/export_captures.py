"""Exports every waveform of many captures as NumPy files with their JSON
descriptions, as quillwave-export does, with a progress line, and lists
what could not be exported.

    python3 export_captures.py OUTPUT_FOLDER CAPTURE...
"""
import sys

import quillwave


def show(done, written):
    print(f"\r{done} waveforms, {written / 2**20:.1f} MiB", end="", file=sys.stderr)


result = quillwave.export(sys.argv[2:], sys.argv[1], format="npy", progress=show)
print(file=sys.stderr)
for waveform in result.waveforms:
    print(f"{waveform.capture} {waveform.waveform}: {waveform.file or waveform.message}")
for problem in result.problems:
    print(problem)
sys.exit(0 if result.ok else 1)
