"""Parts of a waveform against the whole: ranges with Python's slice rules
and blocks, which must hold exactly the rows of the whole read, in order."""
import numpy
import pytest

import quillwave
from conftest import make_capture

RANGES = [(0, None), (0, 1), (5, 17), (-10, None), (-3000, -2990), (2999, None), (100, 50), (0, 10**9),
          (10**9, None), (-10**9, 5)]


@pytest.fixture(scope="module", params=["peak", "logic", "histogram"])
def waveform(request, tmp_path_factory):
    path = make_capture(request.param, 3000, tmp_path_factory.mktemp(request.param) / "capture.bin")
    with quillwave.open(path) as capture:
        yield capture[0]


def assert_same(part, whole):
    assert list(part) == list(whole)
    for name in whole:
        assert part[name].dtype == whole[name].dtype
        assert part[name].tobytes() == whole[name].tobytes(), name


@pytest.mark.parametrize("start, stop", RANGES)
def test_range_is_that_slice_of_the_whole(waveform, start, stop):
    whole = waveform.read()
    assert_same(waveform.read(start, stop), {name: array[start:stop] for name, array in whole.items()})


@pytest.mark.parametrize("rows, start, stop", [(1, 2990, None), (7, 0, None), (1000, 0, None),
                                              (4096, 0, None), (64, 13, -13), (5, 40, 40)])
def test_blocks_join_to_the_whole(waveform, rows, start, stop):
    whole = {name: array[start:stop] for name, array in waveform.read().items()}
    blocks = list(waveform.blocks(rows, start, stop))
    assert all(len(block["time"]) == rows for block in blocks[:-1])
    assert all(0 < len(block["time"]) <= rows for block in blocks)
    joined = {name: numpy.concatenate([b[name] for b in blocks]) if blocks else whole[name][:0]
              for name in whole}
    assert_same(joined, whole)


def test_blocks_refuse_an_empty_size(waveform):
    with pytest.raises(ValueError):
        waveform.blocks(0)
