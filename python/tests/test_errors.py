"""Failures as the package's exceptions, with the library's message and the
path; sources other than a path; the file left as it was."""
import errno
import io
import os
import shutil
import subprocess
import sys

import pytest

import quillwave
from conftest import SOURCE, make_capture

SAMPLE = SOURCE / "examples" / "sample.bin"


def test_a_missing_file_cannot_be_opened_and_says_why(tmp_path):
    missing = tmp_path / "missing.bin"
    with pytest.raises(quillwave.CannotOpenError) as caught:
        quillwave.open(missing)
    assert isinstance(caught.value, OSError) and isinstance(caught.value, quillwave.Error)
    assert caught.value.errno == errno.ENOENT
    assert caught.value.path == str(missing)
    assert "the capture cannot be opened" in str(caught.value) and str(missing) in str(caught.value)


@pytest.mark.parametrize("content, words", [(b"", "shorter than"), (b"not a capture at all", "VX")])
def test_a_file_that_is_no_capture_is_refused(tmp_path, content, words):
    path = tmp_path / "other.bin"
    path.write_bytes(content)
    with pytest.raises(quillwave.NotACaptureError) as caught:
        quillwave.open(path)
    assert words in str(caught.value) and str(path) in str(caught.value)


def test_a_folder_cannot_be_opened(tmp_path):
    with pytest.raises(quillwave.CannotOpenError):
        quillwave.open(tmp_path)


def test_a_path_with_a_zero_byte_names_no_other_file():
    with pytest.raises(ValueError):
        quillwave.open(str(SAMPLE) + "\0.txt")


def test_a_waveform_without_samples_raises_with_its_reason(tmp_path):
    path = tmp_path / "every-type.bin"
    path.write_bytes((SOURCE / "tests/fuzz/corpus/every-type-files").read_bytes()[1:])
    with quillwave.open(path) as capture:
        waveform = next(w for w in capture if w.reason is not None)
        with pytest.raises(quillwave.NoSamplesError) as caught:
            waveform.read()
        with pytest.raises(quillwave.NoSamplesError):
            waveform.blocks(10)
    assert caught.value.reason == waveform.reason and waveform.reason in str(caught.value)


def test_a_capture_that_shrank_is_a_read_error(tmp_path):
    path = make_capture("normal", 5000, tmp_path / "shrinks.bin")
    with quillwave.open(path) as capture:
        os.truncate(path, 1000)
        with pytest.raises(quillwave.ReadError) as caught:
            capture[0].read()
    assert caught.value.path == str(path)


def test_reading_a_closed_capture_is_a_value_error():
    with quillwave.open(SAMPLE) as capture:
        waveform = capture[0]
    assert capture.closed and waveform.sample_count == 400
    with pytest.raises(ValueError):
        waveform.read()


def test_file_objects_read_as_the_path_and_keep_their_position(tmp_path):
    expected = quillwave.open(SAMPLE)[1].read()["value2"]
    with open(SAMPLE, "rb") as file:
        file.seek(7)
        with quillwave.open(file) as capture:
            assert capture[1].read()["value2"].tobytes() == expected.tobytes()
        assert file.tell() == 7
    memory = io.BytesIO(SAMPLE.read_bytes())
    memory.seek(3)
    with quillwave.open(memory) as capture:
        assert capture[1].read()["value2"].tobytes() == expected.tobytes()
    assert memory.tell() == 3
    with pytest.raises(TypeError):
        quillwave.open(io.StringIO("text"))
    with pytest.raises(TypeError):
        quillwave.open(42)


def test_a_pipe_is_read_through_a_copy():
    reader = subprocess.Popen(["cat", str(SAMPLE)], stdout=subprocess.PIPE)
    with quillwave.open(reader.stdout) as capture:
        assert len(capture) == 6 and len(capture[5].read()["byte1"]) == 400
    reader.wait()


def test_reading_leaves_the_file_as_it_was(tmp_path):
    path = tmp_path / "sample.bin"
    shutil.copy(SAMPLE, path)
    before = os.stat(path)
    with quillwave.open(path) as capture:
        for waveform in capture:
            waveform.read()
    after = os.stat(path)
    assert path.read_bytes() == SAMPLE.read_bytes()
    assert (before.st_mtime_ns, before.st_size) == (after.st_mtime_ns, after.st_size)


def test_the_command_line_describes_and_fails_per_capture(tmp_path):
    other = tmp_path / "other.txt"
    other.write_text("hello")
    run = subprocess.run([sys.executable, "-m", "quillwave", str(SAMPLE), str(other)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    assert "6 waveforms" in run.stdout and "PB_LOGIC 'D0-D15', 400 rows of time, byte1, byte2" in run.stdout
    assert str(other) in run.stderr and "not a capture" in run.stderr


def test_a_capture_no_longer_referenced_is_closed_at_once(tmp_path):
    def open_descriptors():
        return len(os.listdir("/proc/self/fd"))

    before = open_descriptors()
    capture = quillwave.open(SAMPLE)
    waveform = capture[1]
    del capture
    assert waveform.read()["value1"].size == 400
    assert open_descriptors() > before
    del waveform
    assert open_descriptors() == before


def test_wrong_kinds_of_argument_are_told_at_the_call(tmp_path):
    """A float row count or job count, or a text-mode file, is a TypeError of
    the call itself, not one from deep inside the extension (or, for blocks,
    only at the first block; a text-mode file was read as if binary)."""
    waveform = quillwave.open(SAMPLE)[0]
    with pytest.raises(TypeError):
        waveform.blocks(1.5)
    with pytest.raises(TypeError):
        quillwave.export([SAMPLE], tmp_path / "out", jobs=2.5)
    with open(SAMPLE, encoding="latin-1") as text, pytest.raises(TypeError, match="binary mode"):
        quillwave.open(text)
