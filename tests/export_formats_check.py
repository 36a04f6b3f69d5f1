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
  mat JSON K:NPY:MAT...          waveform K's MAT file (level 5 through
                                 scipy.io.loadmat, 7.3 through h5py; both
                                 through GNU Octave's load): the NPY file's
                                 columns as N x 1 variables of the same
                                 names, types and bits, then `info`, the
                                 header fields of the description's entry K
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


INFO_FIELDS = ["type", "sampleCount", "timeIncrement", "timeOrigin", "summaryNumber",
               "summaryText1", "summaryText2", "summaryText3", "summaryText4"]
NUMERIC = {"sampleCount": "int32", "summaryNumber": "int32",
           "timeIncrement": "float64", "timeOrigin": "float64"}
OCTAVE_CLASS = {"float64": "double", "float32": "single", "int32": "int32", "uint8": "uint8"}


def expected_info(entry):
    """Each field of `info` as (Octave class, the bytes Octave holds)."""
    import numpy
    fields = {}
    for name in INFO_FIELDS:
        if name in NUMERIC:
            value = numpy.array([float(entry[name])], dtype=NUMERIC[name])
            fields[name] = (OCTAVE_CLASS[NUMERIC[name]], value.tobytes())
        else:  # Octave holds text as UTF-8
            fields[name] = ("char", entry[name].encode("utf-8"))
    return fields


def same_bits(a, b):
    return a.tobytes() == b.tobytes() and a.dtype == b.dtype


def version73(path):
    with open(path, "rb") as f:
        return f.read(128)[124:126] == b"\x00\x02"


def check_mat_python(path, columns, entry):
    """Through scipy (level 5) or h5py (7.3): names, shapes, types, bits."""
    import numpy
    with open(path, "rb") as f:
        header = f.read(128)
    if header[126:128] != b"IM":
        fail("%s: not a little-endian MAT-file" % path)
    version = header[124:126]
    info = {}
    if version == b"\x00\x01":
        import scipy.io
        loaded = scipy.io.loadmat(path)
        names = [n for n in loaded if not n.startswith("__")]
        found = {n: loaded[n] for n in names}
        record = found.get("info")
        if record is None or record.shape != (1, 1):
            fail("%s: no 1 x 1 struct info" % path)
        for name in INFO_FIELDS:
            info[name] = record[0, 0][name]
    elif version == b"\x00\x02":
        import h5py

        def array(data):
            # An empty array is stored as its dimensions, marked MATLAB_empty;
            # HDF5 keeps MATLAB's column-major dimensions reversed (1 x N).
            kind = {"double": "float64", "single": "float32", "int32": "int32",
                    "uint8": "uint8", "char": "uint16"}[data.attrs["MATLAB_class"].decode()]
            if data.attrs.get("MATLAB_empty", 0):
                return numpy.zeros(tuple(data[()]), dtype=kind)
            return data[()].T.astype(kind)
        with h5py.File(path, "r") as f:
            names = list(f)
            found = {n: array(f[n]) for n in names if n != "info"}
            for name in INFO_FIELDS:
                info[name] = array(f["info"][name])
        names = [n for n in columns.dtype.names + ("info",) if n in names]  # h5py sorts
    else:
        fail("%s: MAT-file version %s" % (path, version.hex()))
    if names != list(columns.dtype.names) + ["info"]:
        fail("%s: variables %s" % (path, names))
    for name in columns.dtype.names:
        value = found[name]
        if value.shape != (len(columns), 1) or not same_bits(value.ravel(), columns[name]):
            fail("%s: %s is %s %s, not the NPY's %d x 1 %s" % (path, name, value.shape,
                                                             value.dtype, len(columns),
                                                             columns[name].dtype))
    for name, (octave_class, data) in expected_info(entry).items():
        value = info[name]
        if octave_class != "char":
            if value.shape != (1, 1) or value.tobytes() != data:
                fail("%s: info.%s is %r" % (path, name, value))
        elif version == b"\x00\x02":  # UTF-16 code units
            text = entry[name].encode("utf-16-le")
            if value.astype("<u2").tobytes() != text:
                fail("%s: info.%s is %r" % (path, name, value))
        elif all(ord(c) < 0x10000 for c in entry[name]):  # scipy reads no other text
            if list(value) != ([entry[name]] if entry[name] else []):
                fail("%s: info.%s is %r, not %r" % (path, name, value, entry[name]))


OCTAVE_DUMP = r"""
files = argv();
for k = 1:numel(files)
  x = load(files{k});
  printf("file %s\n", files{k});
  names = fieldnames(x);
  for i = 1:numel(names)
    v = x.(names{i});
    if isstruct(v)
      fields = fieldnames(v);
      for j = 1:numel(fields)
        w = v.(fields{j});
        if ischar(w) b = uint8(w); else b = typecast(w(:)', "uint8"); end
        printf("info.%s %s %d %d %s\n", fields{j}, class(w), rows(w), columns(w), sprintf("%02x", b));
      end
    else
      printf("%s %s %d %d %s\n", names{i}, class(v), rows(v), columns(v),
             sprintf("%02x", typecast(v(:)', "uint8")));
    end
  end
end
"""


def check_mat_octave(files):
    """Every file through one Octave: names, classes, sizes and bytes."""
    import numpy
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "dump.m")
        with open(script, "w") as f:
            f.write(OCTAVE_DUMP)
        run = subprocess.run(["octave-cli", "--norc", "-q", script]
                             + [path for path, _, _ in files], capture_output=True, text=True)
    if run.returncode != 0:
        fail("octave: %s" % run.stderr)
    dumps = {}
    for line in run.stdout.splitlines():
        if line.startswith("file "):
            current = dumps.setdefault(line[5:], [])
        else:
            current.append(line.split(" "))
    for path, columns, entry in files:
        expected = [[n, OCTAVE_CLASS[str(columns[n].dtype)], str(len(columns)), "1",
                     columns[n].tobytes().hex()] for n in columns.dtype.names]
        info = []
        for name, (octave_class, data) in expected_info(entry).items():
            size = ["1", "1"] if octave_class != "char" else [str(min(len(data), 1)), str(len(data))]
            info.append(["info." + name, octave_class] + size + [data.hex()])
        found = dumps.get(path, [])
        if version73(path):
            # Octave reads HDF5 as its own files: variables and fields in
            # name order, texts as their UTF-16 units (uint16), an empty array as
            # its dimensions; so those are left to h5py.
            units = [str(entry[n]).encode("utf-16-le") for n in INFO_FIELDS]
            info = sorted(i if i[1] != "char" else
                          ["info." + n, "uint16", "1", str(len(u) // 2), u.hex()]
                          for i, n, u in zip(info, INFO_FIELDS, units) if i[1] != "char" or u)
            found = [f for f in found if not f[0].startswith("info.summaryText") or f[1] != "uint64"]
            if len(columns) == 0:
                continue
            # ... and single values as doubles (a signalling NaN quietened).
            numpy.seterr(invalid="ignore")
            expected = [[n, "double", rows, one, columns[n].astype("float64").tobytes().hex()]
                        if kind == "single" else [n, kind, rows, one, data]
                        for n, kind, rows, one, data in expected]
            found = sorted(found)
            expected = sorted(expected + info)
            info = []
        expected += info
        if found != expected:
            fail("octave reads %s as %s" % (path, [f[:4] for f in found if f not in expected]))


def check_mat(description, files):
    import json
    import numpy
    with open(description) as f:
        waveforms = json.load(f)["waveforms"]
    checked = []
    for spec in files:
        index, npy, path = spec.split(":")
        entry = waveforms[int(index) - 1]
        columns = numpy.load(npy)
        check_mat_python(path, columns, entry)
        checked.append((path, columns, entry))
    check_mat_octave(checked)


if sys.argv[1] == "mat":
    check_mat(sys.argv[2], sys.argv[3:])
elif sys.argv[1] == "sr":
    check_sr(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
else:
    check_wav(*sys.argv[2:7])
print("read back exactly")
