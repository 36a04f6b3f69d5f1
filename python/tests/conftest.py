"""What the Python tests share: the programs and sources ctest names (see
python/CMakeLists.txt), and captures made, crafted and damaged in the ways
the other tests use: make_bench_capture's waveforms of every type, the
sample capture and its cuts, the fuzzer's seeds."""
import json
import os
import pathlib
import subprocess

import pytest


def _setting(name):
    value = os.environ.get(name)
    if not value:
        pytest.exit(f"{name} is not set: run the Python tests through ctest (scripts/test.sh)", returncode=2)
    return value


SOURCE = pathlib.Path(_setting("QUILLWAVE_SOURCE_DIR"))
EXPORT = _setting("QUILLWAVE_EXPORT")
MAKE_CAPTURE = _setting("QUILLWAVE_MAKE_CAPTURE")
FUZZ = SOURCE / "tests" / "fuzz"
TYPES = ("normal", "average", "peak", "histogram", "logic")


def make_capture(kind, samples, path):
    subprocess.run([MAKE_CAPTURE, kind, str(samples), str(path)], check=True, stdout=subprocess.DEVNULL)
    return path


def fuzz_input(seed, folder):
    """A fuzzer input as a capture: its first byte selects what the fuzzer
    does, the rest is the file."""
    path = folder / f"{seed.parent.name}-{seed.name}.bin"
    path.write_bytes(seed.read_bytes()[1:])
    return path


# Captures whose last buffer's samples (the file's last bytes) are replaced
# by values that only an exact copy keeps: NaNs with payloads, signalling
# NaNs, signed zeros, infinities, subnormals, extreme counts, every byte; and
# time bases that are not plain numbers. kind -> (samples, origin, increment,
# the samples as little-endian words).
_FLOAT_BITS = [0x7FC00001, 0xFFC00000, 0x7F800001, 0xFFA5A5A5, 0x00000000, 0x80000000,
               0x7F800000, 0xFF800000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0x3F800000]
SPECIAL = {
    "normal": (48, "-0", "5e-324", ("<u4", _FLOAT_BITS * 4)),
    "peak": (48, "nan", "1e-9", ("<u4", _FLOAT_BITS * 4)),
    "histogram": (6, "inf", "-nan", ("<i4", [0, -1, 2**31 - 1, -2**31, 1, 42])),
    "logic": (256, "1e300", "1e300", ("u1", list(range(256)))),
}


def make_special(kind, path):
    import numpy

    samples, origin, increment, (dtype, values) = SPECIAL[kind]
    subprocess.run([MAKE_CAPTURE, kind, str(samples), str(path), origin, increment], check=True,
                   stdout=subprocess.DEVNULL)
    tail = numpy.array(values, dtype=dtype).tobytes()
    data = bytearray(path.read_bytes())
    data[len(data) - len(tail):] = tail
    path.write_bytes(bytes(data))
    return path


SEEDS = sorted((FUZZ / "corpus").iterdir()) + sorted((FUZZ / "crashes").iterdir())
CUTS = (12, 100, 1000, 3000, -1)
#: The names of the captures of the `captures` fixture.
CAPTURE_NAMES = (TYPES + tuple(f"special-{kind}" for kind in SPECIAL) + ("sample",) + tuple(f"cut{cut}" for cut in CUTS)
                 + tuple(f"{seed.parent.name}-{seed.name}" for seed in SEEDS))


@pytest.fixture(scope="session")
def captures(tmp_path_factory):
    """name -> path of every capture the comparisons run over."""
    folder = tmp_path_factory.mktemp("captures")
    out = {}
    for kind in TYPES:
        out[kind] = make_capture(kind, 3000, folder / f"{kind}.bin")
    for kind in SPECIAL:
        out[f"special-{kind}"] = make_special(kind, folder / f"special-{kind}.bin")
    out["sample"] = SOURCE / "examples" / "sample.bin"
    sample = out["sample"].read_bytes()
    for cut in CUTS:
        out[f"cut{cut}"] = folder / f"cut{cut}.bin"
        out[f"cut{cut}"].write_bytes(sample[:cut])
    for seed in SEEDS:
        path = fuzz_input(seed, folder)
        out[path.stem] = path
    return out


def export_npy(capture, folder):
    """quillwave-export -f npy of one capture: (its JSON description, the
    folder of its files, its messages), or None when the export refuses it
    as no capture."""
    run = subprocess.run([EXPORT, "-q", "-f", "npy", "-o", str(folder), str(capture)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    description = folder / (pathlib.Path(capture).stem + ".json")
    if not description.exists():
        return None
    return json.loads(description.read_text(encoding="utf-8")), folder, run.stderr.decode("utf-8", "replace")
