#!/usr/bin/env python3
"""Reads exported sigrok sessions and WAV files back through the real tools
and compares them with the raw samples the test wrote beside them.

  sr FILE RATE LOGIC ANALOG...   sigrok-cli's rate, its binary output of the
                                 logic channels (LOGIC: raw bytes, or -), and
                                 each analog channel's float32 values, as
                                 sigrok-cli writes them into a session of its own
  wav FILE RATE SUBTYPE CHANNELS FRAMES
                                 python3-soundfile's rate, sample type,
                                 channel count and each sample's bits
Prints "read back exactly" and exits 0, or says what differs and exits 1.
"""
import os
import subprocess
import sys
import tempfile
import zipfile


def fail(text):
    print(text)
    sys.exit(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_sr(path, rate, logic, analogs):
    shown = subprocess.run(["sigrok-cli", "-i", path, "--show"], capture_output=True, text=True)
    if "Samplerate: %s\n" % rate not in shown.stdout:
        fail("sigrok-cli --show: %s %s" % (shown.stdout, shown.stderr))
    if logic != "-":
        binary = subprocess.run(["sigrok-cli", "-i", path, "-O", "binary"], capture_output=True)
        if binary.returncode != 0 or binary.stdout != read(logic):
            fail("logic samples differ: %d bytes read, %d written"
                 % (len(binary.stdout), len(read(logic))))
    if analogs:
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "copy.sr")
            made = subprocess.run(["sigrok-cli", "-i", path, "-O", "srzip", "-o", copy],
                                  capture_output=True)
            if made.returncode != 0:
                fail("sigrok-cli -O srzip: %s" % made.stderr)
            with zipfile.ZipFile(copy) as archive:
                names = archive.namelist()
                channels = sorted({n.split("-")[2] for n in names if n.startswith("analog-")},
                                  key=int)
                if len(channels) != len(analogs):
                    fail("analog channels %s, expected %d" % (channels, len(analogs)))
                for channel, expected in zip(channels, analogs):
                    prefix = "analog-1-%s-" % channel
                    chunks = sorted((n for n in names if n.startswith(prefix)),
                                    key=lambda n: int(n[len(prefix):]))
                    values = b"".join(archive.read(n) for n in chunks)
                    if values != read(expected):
                        fail("analog channel %s differs: %d bytes read, %d written"
                             % (channel, len(values), len(read(expected))))


def check_wav(path, rate, subtype, channels, frames):
    import numpy
    import soundfile
    info = soundfile.info(path)
    if (info.samplerate, info.subtype, info.channels) != (int(rate), subtype, int(channels)):
        fail("wav: rate %d, %s, %d channels" % (info.samplerate, info.subtype, info.channels))
    kind = {"FLOAT": "float32", "PCM_32": "int32", "PCM_U8": "int16"}[subtype]
    data, _ = soundfile.read(path, dtype=kind, always_2d=True)
    if subtype == "PCM_U8":  # read as 16-bit: (byte - 128) * 256
        data = ((data.astype(numpy.int32) >> 8) + 128).astype(numpy.uint8)
    if data.tobytes() != read(frames):
        fail("wav samples differ: %d bytes read, %d written"
             % (len(data.tobytes()), len(read(frames))))


if sys.argv[1] == "sr":
    check_sr(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
else:
    check_wav(*sys.argv[2:7])
print("read back exactly")
