"""A waveform as an xarray Dataset: a time coordinate, one variable per
column (value1 and value2 for peak detect), the header in attrs; then a
time window selected by label.

    python3 with_xarray.py CAPTURE INDEX
"""
import sys

import quillwave

with quillwave.open(sys.argv[1]) as capture:
    dataset = capture[int(sys.argv[2])].to_xarray()

print(dataset)
start = float(dataset.time[0])
window = dataset.sel(time=slice(start, start + 10 * dataset.attrs["time_increment"]))
print("first 10 increments:", window.sizes["time"], "samples")
