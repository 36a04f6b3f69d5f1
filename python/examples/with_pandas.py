"""A waveform as a pandas DataFrame: one column per waveform column, the
header in attrs.

    python3 with_pandas.py CAPTURE INDEX
"""
import sys

import quillwave

with quillwave.open(sys.argv[1]) as capture:
    frame = capture[int(sys.argv[2])].to_pandas()

print(frame.dtypes.to_string())
print(frame.describe().to_string())
print("source:", frame.attrs["summary_text1"], "increment:", frame.attrs["time_increment"])
