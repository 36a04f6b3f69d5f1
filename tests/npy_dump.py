"""Prints what an NPY export of a capture holds in the layout of the library
example's output (examples/capture_dump.c), so that the two can be compared
byte for byte: for each waveform of STEM.json, "waveform K TYPE N" and N
lines of the exact bits, or "waveform K none STATUS".

    npy_dump.py FOLDER STEM
"""
import json
import os
import sys

import numpy


def row_text(row, fields):
    parts = []
    for name in fields:
        value = row[name]
        if value.dtype == numpy.float64:
            parts.append("%016x" % value.view(numpy.uint64))
        elif value.dtype == numpy.float32:
            parts.append("%08x" % value.view(numpy.uint32))
        else:
            parts.append("%d" % value)
    return " ".join(parts)


def main():
    folder, stem = sys.argv[1], sys.argv[2]
    with open(os.path.join(folder, stem + ".json"), encoding="utf-8") as description:
        waveforms = json.load(description)["waveforms"]
    out = sys.stdout
    for k, entry in enumerate(waveforms):
        if entry["file"] is None:
            out.write("waveform %d none %s\n" % (k, entry["status"]))
            continue
        table = numpy.load(os.path.join(folder, entry["file"]))
        out.write("waveform %d %s %d\n" % (k, entry["type"], len(table)))
        for row in table:
            out.write(row_text(row, table.dtype.names) + "\n")


if __name__ == "__main__":
    main()
