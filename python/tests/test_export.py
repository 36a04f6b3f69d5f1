"""quillwave.export: the library's export from Python writes the files
quillwave-export writes, tells what happened to each waveform, and stops
cleanly when its progress callback raises."""
import io
import signal
import subprocess
import sys

import pytest

import quillwave
from conftest import EXPORT, SOURCE, make_capture

SAMPLE = SOURCE / "examples" / "sample.bin"


@pytest.mark.parametrize("format", ["csv", "npy", "wav", "mat"])
def test_files_equal_those_of_the_program(tmp_path, format):
    damaged = tmp_path / "damaged.bin"
    damaged.write_bytes((SOURCE / "tests/fuzz/corpus/every-type-files").read_bytes()[1:])
    captures = [SAMPLE, make_capture("peak", 20_000, tmp_path / "peak.bin"), damaged]
    ticks = []
    result = quillwave.export(captures, tmp_path / "ours", format=format, jobs=2,
                              progress=lambda done, written: ticks.append((done, written)))
    subprocess.run([EXPORT, "-q", "-f", format, "-o", str(tmp_path / "theirs"), *map(str, captures)])
    ours = sorted(p.name for p in (tmp_path / "ours").iterdir())
    assert ours == sorted(p.name for p in (tmp_path / "theirs").iterdir())
    for name in ours:
        assert (tmp_path / "ours" / name).read_bytes() == (tmp_path / "theirs" / name).read_bytes(), name
    assert not result.ok and [w.waveform for w in result.waveforms if w.capture == str(SAMPLE)] == [1, 2, 3, 4, 5, 6]
    failed = [w for w in result.waveforms if not w.ok]
    assert len(failed) == 1 and failed[0].capture == str(damaged) and "unknown waveform type" in failed[0].message
    assert set(result.descriptions) == set(map(str, captures))


def test_existing_files_are_refused_unless_forced(tmp_path):
    quillwave.export(SAMPLE, tmp_path)
    again = quillwave.export(SAMPLE, tmp_path)
    assert not again.ok
    assert quillwave.export(SAMPLE, tmp_path, force=True).ok


def test_a_capture_that_cannot_be_opened_is_a_problem_not_an_exception(tmp_path):
    result = quillwave.export([tmp_path / "missing.bin", SAMPLE], tmp_path / "out")
    assert len(result.problems) == 1 and "missing.bin" in result.problems[0]
    assert len(result.waveforms) == 6 and all(w.ok for w in result.waveforms)


def test_an_exception_in_the_callback_stops_the_export(tmp_path):
    big = make_capture("normal", 2_000_000, tmp_path / "big.bin")

    def stop(done, written):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        quillwave.export([big, SAMPLE], tmp_path / "out", progress=stop)
    assert not any(p.suffix == ".csv" for p in (tmp_path / "out").iterdir() if p.stem.startswith("sample"))


def test_arguments_out_of_range_are_refused(tmp_path):
    with pytest.raises(ValueError):
        quillwave.export(SAMPLE, tmp_path, format="xlsx")
    with pytest.raises(ValueError):
        quillwave.export(SAMPLE, tmp_path, jobs=0)


def test_file_objects_are_exported_under_their_names(tmp_path):
    with open(SAMPLE, "rb") as file:
        result = quillwave.export([file, io.BytesIO(SAMPLE.read_bytes())], tmp_path, format="npy")
    assert result.ok and set(result.descriptions) == {str(SAMPLE), "capture 1"}
    for k in range(1, 7):
        assert (tmp_path / f"sample.w{k}.npy").read_bytes() == (tmp_path / f"capture1.w{k}.npy").read_bytes()


def test_ctrl_c_stops_a_long_export_and_leaves_no_partial_file(tmp_path):
    big = make_capture("normal", 20_000_000, tmp_path / "big.bin")
    child = ("import sys, quillwave\n"
             "def progress(done, written):\n"
             "    if written:\n"
             "        print('writing', flush=True)\n"
             "quillwave.export(sys.argv[1], sys.argv[2], progress=progress)\n"
             "print('finished', flush=True)\n")
    out = tmp_path / "out"
    process = subprocess.Popen([sys.executable, "-c", child, str(big), str(out)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline() == "writing\n"
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert "KeyboardInterrupt" in stderr and "finished" not in stdout
    assert not (out / "big.w1.csv").exists()
