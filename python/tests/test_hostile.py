"""Every committed fuzz input, opened and read to its end in child
processes under a timeout: none may crash or hang the interpreter; each
either reads or raises the package's exceptions."""
import pathlib
import subprocess
import sys

import pytest

from conftest import FUZZ

INPUTS = sorted(p for folder in sorted(FUZZ.iterdir()) if folder.is_dir()
                for p in folder.iterdir() if p.is_file())
BATCH = 100

CHILD = r"""
import sys, quillwave
for seed in sys.argv[1:]:
    data = open(seed, "rb").read()[1:]
    path = seed + ".bin"
    with open(path, "wb") as copy:
        copy.write(data)
    for source in (path, open(path, "rb")):
        try:
            with quillwave.open(source) as capture:
                repr(capture)
                for waveform in capture:
                    repr(waveform), waveform.texts, waveform.buffers, waveform.dtype
                    try:
                        for block in waveform.blocks(1 << 16):
                            pass
                        waveform.read(-5)
                    except quillwave.NoSamplesError:
                        pass
        except quillwave.Error:
            pass
print("survived", len(sys.argv) - 1)
"""


@pytest.mark.parametrize("first", range(0, len(INPUTS), BATCH))
def test_fuzz_inputs_neither_crash_nor_hang(first, tmp_path):
    assert len(INPUTS) > 100, "the fuzz inputs are missing"
    seeds = []
    for k, seed in enumerate(INPUTS[first:first + BATCH]):
        copy = tmp_path / f"{k}-{seed.parent.name}-{seed.name}"
        copy.write_bytes(seed.read_bytes())
        seeds.append(str(copy))
    try:
        run = subprocess.run([sys.executable, "-c", CHILD, *seeds], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"a Python process hung on one of inputs {first}..{first + len(seeds) - 1}")
    assert run.returncode == 0, f"exit {run.returncode} on inputs {first}..: {run.stderr[-2000:]}"
    assert run.stdout.strip() == f"survived {len(seeds)}"
