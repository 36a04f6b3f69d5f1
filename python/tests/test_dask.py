"""The Dask recipe: a per-waveform computation over many captures on a
LocalCluster of two worker processes on the loopback address gives what a
local loop gives."""
import json
import subprocess
import sys

import pytest

from conftest import SOURCE, TYPES, make_capture

pytest.importorskip("distributed")
sys.path.insert(0, str(SOURCE / "python" / "examples"))
from dask_over_captures import peak_to_peak  # noqa: E402


def test_dask_results_equal_a_local_loop(tmp_path):
    paths = [str(make_capture(kind, 50_000 * (k + 1), tmp_path / f"{kind}.bin")) for k, kind in enumerate(TYPES)]
    paths.append(str(SOURCE / "examples" / "sample.bin"))
    damaged = tmp_path / "damaged.bin"
    damaged.write_bytes((SOURCE / "tests/fuzz/corpus/every-type-files").read_bytes()[1:])
    paths.append(str(damaged))
    try:
        done = subprocess.run([sys.executable, str(SOURCE / "python/examples/dask_over_captures.py"), *paths],
                              capture_output=True, text=True, timeout=180)
    except subprocess.TimeoutExpired:
        pytest.fail("the Dask recipe did not finish in 180 s")
    assert done.returncode == 0, done.stderr[-3000:]
    assert json.loads(done.stdout) == {path: peak_to_peak(path) for path in paths}
