"""Minimum, maximum and mean of every column of a waveform larger than
memory, a million rows at a time: memory stays flat whatever its size.

    python3 blocks.py CAPTURE INDEX
"""
import sys

import numpy

import quillwave

with quillwave.open(sys.argv[1]) as capture:
    waveform = capture[int(sys.argv[2])]
    low, high, total = {}, {}, {}
    for block in waveform.blocks(1_000_000):
        for name, values in block.items():
            low[name] = min(low.get(name, values[0]), values.min())
            high[name] = max(high.get(name, values[0]), values.max())
            total[name] = total.get(name, 0.0) + values.sum(dtype=numpy.float64)
    for name in waveform.names:
        print(f"{name}: min {low[name]!r} max {high[name]!r} mean {total[name] / len(waveform)!r}")
