"""The package against quillwave-export's NPY files and JSON description:
the same waveforms, the same reasons, the same texts, and arrays equal bit
for bit, for every type and on damaged captures."""
import numpy
import pytest

import quillwave
from conftest import CAPTURE_NAMES, export_npy


def bits(array):
    """The array's elements as unsigned integers of the same size, in the
    host's byte order, so that NaN payloads and signed zeros compare too."""
    unsigned = numpy.dtype(f"u{array.dtype.itemsize}").newbyteorder(array.dtype.byteorder)
    return array.view(unsigned).astype(f"=u{array.dtype.itemsize}")


@pytest.mark.parametrize("name", CAPTURE_NAMES)
def test_capture_equals_its_npy_export(name, captures, tmp_path):
    exported = export_npy(captures[name], tmp_path)
    if exported is None:
        with pytest.raises(quillwave.NotACaptureError):
            quillwave.open(captures[name])
        return
    description, folder, messages = exported
    entries = description["waveforms"]
    with quillwave.open(captures[name]) as capture:
        assert len(capture) == len(entries) and capture.version == description["version"]
        assert (capture.walk_end == "declared") == (capture.walk_text == "")
        assert capture.walk_text in messages
        for waveform, entry in zip(capture, entries):
            where = f"waveform {waveform.index}"
            assert waveform.sample_count == entry["sampleCount"], where
            assert waveform.summary_number == entry["summaryNumber"], where
            for field, ours in (("timeIncrement", waveform.time_increment), ("timeOrigin", waveform.time_origin)):
                if isinstance(entry[field], (int, float)):  # finite: NaN and infinities are written otherwise
                    assert ours == entry[field], f"{where} {field}"
            texts = [entry[f"summaryText{k}"] for k in range(1, 5)]
            assert list(waveform.texts) == (texts if entry["sampleCount"] is not None else [""] * 4), where
            assert [(c.name, c.dtype.str) for c in waveform.columns] == \
                [(c["name"], numpy.dtype(c["dtype"]).newbyteorder("=").str) for c in entry["columns"]], where
            if entry["file"] is None:
                assert waveform.reason == entry["status"], where
                with pytest.raises(quillwave.NoSamplesError):
                    waveform.read()
                continue
            assert waveform.reason is None, where
            table = numpy.load(folder / entry["file"])
            assert table.dtype == waveform.dtype, where
            columns = waveform.read()
            assert list(columns) == list(table.dtype.names), where
            for column_name, array in columns.items():
                assert array.flags.c_contiguous and array.dtype.isnative, where
                assert numpy.array_equal(bits(array), bits(table[column_name])), f"{where} {column_name}"
