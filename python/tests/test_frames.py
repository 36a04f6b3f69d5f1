"""pandas and xarray objects hold the arrays read() gives, with the header;
neither library is imported until asked for."""
import subprocess
import sys

import pytest

import quillwave
from conftest import SOURCE

SAMPLE = SOURCE / "examples" / "sample.bin"


def test_importing_the_package_imports_neither_pandas_nor_xarray():
    code = "import sys, quillwave; quillwave.open(sys.argv[1])[0].read(); " \
           "print(sorted(m for m in ('pandas', 'xarray', 'matplotlib', 'distributed') if m in sys.modules))"
    done = subprocess.run([sys.executable, "-c", code, str(SAMPLE)], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "[]", done.stderr


@pytest.mark.parametrize("index", range(6))
def test_frame_holds_the_columns_and_the_header(index):
    pytest.importorskip("pandas")
    waveform = quillwave.open(SAMPLE)[index]
    columns = waveform.read(10, 20)
    frame = waveform.to_pandas(10, 20)
    assert list(frame.columns) == list(columns)
    for name, array in columns.items():
        assert frame[name].dtype == array.dtype and frame[name].to_numpy().tobytes() == array.tobytes()
    assert frame.attrs["type"] == waveform.type and frame.attrs["time_increment"] == waveform.time_increment


@pytest.mark.parametrize("index", range(6))
def test_dataset_has_time_as_coordinate_and_a_variable_per_column(index):
    pytest.importorskip("xarray")
    waveform = quillwave.open(SAMPLE)[index]
    columns = waveform.read()
    dataset = waveform.to_xarray()
    assert list(dataset.coords) == ["time"] and list(dataset.data_vars) == list(columns)[1:]
    assert dataset.time.values.tobytes() == columns["time"].tobytes()
    for name in list(columns)[1:]:
        assert dataset[name].dtype == columns[name].dtype
        assert dataset[name].values.tobytes() == columns[name].tobytes()
    assert dataset.attrs["summary_text1"] == waveform.source and dataset.attrs["sample_count"] == 400
