"""Lists a capture's waveforms and reads each one's columns as numpy arrays.

    python3 read_capture.py CAPTURE
"""
import sys

import quillwave

with quillwave.open(sys.argv[1]) as capture:
    print(f"version {capture.version}, {len(capture)} waveforms")
    for waveform in capture:
        if waveform.reason is not None:
            print(f"{waveform.index}: no samples: {waveform.reason}")
            continue
        columns = waveform.read()  # {"time": float64 array, "value": float32 array, ...}
        time = columns["time"]
        print(f"{waveform.index}: {waveform.type} {waveform.source}, {len(time)} samples "
              f"from {time[0]!r} s to {time[-1]!r} s")
        for name, values in columns.items():
            if name != "time":
                print(f"    {name} ({values.dtype}): {values.min()} .. {values.max()}")
