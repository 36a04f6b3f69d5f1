"""The recipes of python/examples (the README's), run as a user runs them,
each checked against what the package reads itself."""
import subprocess
import sys

import pytest

import quillwave
from conftest import SOURCE, make_capture

EXAMPLES = SOURCE / "python" / "examples"
SAMPLE = SOURCE / "examples" / "sample.bin"


def run(script, *arguments):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, arguments)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_read_recipe_lists_every_waveform():
    out = run("read_capture.py", SAMPLE)
    assert out.startswith("version 1.0, 6 waveforms\n")
    assert "1: PB_PEAK_DETECT CH2, 400 samples from -0.0005 s" in out
    assert "    byte1 (uint8): 0 .. 255\n" in out


def test_plot_recipe_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "peak.png"
    run("plot_waveform.py", SAMPLE, 1, picture)
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_pandas_recipe_keeps_the_dtypes_and_the_header():
    pytest.importorskip("pandas")
    out = run("with_pandas.py", SAMPLE, 1)
    assert out.split("\n")[:3] == ["time      float64", "value1    float32", "value2    float32"]
    assert "source: CH2 increment: 2.5e-06" in out


def test_xarray_recipe_selects_by_time():
    pytest.importorskip("xarray")
    out = run("with_xarray.py", SAMPLE, 1)
    assert "value1   (time) float32" in out and "value2   (time) float32" in out
    assert "first 10 increments: 11 samples" in out


def test_blocks_recipe_sees_every_row(tmp_path):
    path = make_capture("histogram", 2_500_000, tmp_path / "histogram.bin")
    counts = quillwave.open(path)[0].read()["count"]
    out = run("blocks.py", path, 0)
    assert f"count: min {counts.min()!r} max {counts.max()!r}" in out


def test_export_recipe_writes_the_files_and_lists_them(tmp_path):
    out = run("export_captures.py", tmp_path / "out", SAMPLE)
    lines = out.splitlines()
    assert len(lines) == 6 and lines[0] == f"{SAMPLE} 1: {tmp_path / 'out' / 'sample.w1.npy'}"
    assert (tmp_path / "out" / "sample.json").exists()


def test_the_readmes_python_code_is_the_recipes_own():
    """Every Python block of the README's Python section stands, line for
    line, in one of the recipes that the tests above run."""
    readme = (SOURCE / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Using quillwave from Python", 1)[1].split("\n## ", 1)[0]
    blocks = [block.split("```", 1)[0] for block in section.split("```python\n")[1:]]
    assert len(blocks) >= 7
    recipes = [path.read_text(encoding="utf-8") for path in EXAMPLES.glob("*.py")]
    for block in blocks:
        assert any(block in recipe for recipe in recipes), block
