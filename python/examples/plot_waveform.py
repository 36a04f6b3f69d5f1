"""Plots one waveform of a capture with matplotlib, into an image file.

    python3 plot_waveform.py CAPTURE INDEX PICTURE.png
"""
import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt

import quillwave

path, index, picture = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with quillwave.open(path) as capture:
    waveform = capture[index]
    columns = waveform.read()

figure, axes = plt.subplots(figsize=(8, 3))
for name, values in columns.items():
    if name != "time":
        axes.plot(columns["time"], values, label=name, linewidth=0.8)
axes.set_xlabel("time (s)")
axes.set_title(f"{waveform.source}: {waveform.type}")
axes.legend()
figure.savefig(picture, dpi=100, bbox_inches="tight")
print(f"wrote {picture}")
