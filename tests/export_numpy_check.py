"""Reads an export's CSV and NPY files with numpy and compares them, bit for
bit, with the samples the test wrote beside them (expected.wK.bin: the times
as <f8, then each column's stored bytes). NaNs in CSV files compare as NaNs
(the text carries no sign or payload); NPY files keep every bit.

    export_numpy_check.py STEM WAVEFORMS

STEM.json names the columns and their types; STEM.wK.csv and STEM.wK.npy
are checked for K = 1..WAVEFORMS. Exit status 1 on any difference.
"""
import json
import os
import sys

import numpy


def expected_samples(folder, k, dtype, count):
    with open(os.path.join(folder, f"expected.w{k}.bin"), "rb") as raw_file:
        raw = raw_file.read()
    expected = numpy.empty(count, dtype)
    offset = 0
    for name in dtype.names:
        column = numpy.frombuffer(raw, dtype=dtype[name], count=count, offset=offset)
        expected[name] = column
        offset += column.nbytes
    return expected


def first_difference(read, expected, exact):
    """Index and field of the first sample that differs, or None."""
    for name in expected.dtype.names:
        ours = read[name]
        theirs = expected[name]
        if theirs.dtype.kind == "f" and not exact:
            nan = numpy.isnan(theirs)
            if not numpy.array_equal(numpy.isnan(ours), nan):
                return name, int(numpy.flatnonzero(numpy.isnan(ours) != nan)[0])
            ours = ours[~nan]
            theirs = theirs[~nan]
        differs = ours.tobytes() != theirs.tobytes()
        if differs:
            bits = f"u{theirs.dtype.itemsize}"
            index = numpy.flatnonzero(ours.view(bits) != theirs.view(bits))[0]
            return name, int(index)
    return None


def main():
    stem, count = sys.argv[1], int(sys.argv[2])
    folder = os.path.dirname(stem)
    with open(stem + ".json", encoding="utf-8") as description_file:
        description = json.load(description_file)
    failures = []
    files = 0
    for k in range(1, count + 1):
        entry = description["waveforms"][k - 1]
        dtype = numpy.dtype([(c["name"], c["dtype"]) for c in entry["columns"]])
        expected = expected_samples(folder, k, dtype, entry["sampleCount"])
        npy = numpy.load(f"{stem}.w{k}.npy")
        if npy.dtype != dtype or npy.shape != expected.shape:
            failures.append(f"w{k}.npy: {npy.dtype} {npy.shape}, expected {dtype} {expected.shape}")
        elif (where := first_difference(npy, expected, exact=True)) is not None:
            failures.append(f"w{k}.npy: field {where[0]} differs at sample {where[1]}")
        files += 1
        csv_path = f"{stem}.w{k}.csv"
        with open(csv_path, encoding="ascii") as csv_file:
            header = csv_file.readline().rstrip("\n").split(",")
        if header != list(dtype.names):
            failures.append(f"w{k}.csv: header {header}, expected {list(dtype.names)}")
            continue
        csv = numpy.loadtxt(csv_path, delimiter=",", skiprows=1, dtype=dtype, ndmin=1)
        if (where := first_difference(csv, expected, exact=False)) is not None:
            line = where[1] + 2
            failures.append(f"w{k}.csv: field {where[0]} differs on line {line}: "
                            f"{csv[where[0]][where[1]]!r} read, {expected[where[0]][where[1]]!r} written")
        files += 1
    for failure in failures:
        print(failure)
    if failures:
        return 1
    print(f"{files} files read back exactly")
    return 0


if __name__ == "__main__":
    sys.exit(main())
