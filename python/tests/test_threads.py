"""Threads: a read or an export lets other threads run (the GIL is
released), and one capture is read from several threads at once with the
results of one."""
import sys
import threading
import time

import pytest

import quillwave
from conftest import make_capture


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    return make_capture("normal", 4_000_000, tmp_path_factory.mktemp("large") / "large.bin")


@pytest.mark.parametrize("what", ["read", "export"])
def test_another_thread_runs_during_a_read_or_an_export(large, tmp_path, what):
    # With switches between threads forced only after 100 s, the GIL changes
    # hands only where it is let go: during the read or export, if it lets
    # go of it, and in the ticking thread's sleeps. A tick stamped between
    # the working thread's two clock readings then proves it let it go.
    ticks = []
    done = threading.Event()
    if what == "read":
        def work(waveform):
            waveform.read()
    else:
        def work(waveform):
            quillwave.export(large, tmp_path, format="npy", jobs=1)

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    window = []

    def timed(waveform):
        before = time.perf_counter()
        work(waveform)
        window.extend((before, time.perf_counter()))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        with quillwave.open(large) as capture:
            ticker = threading.Thread(target=tick)
            ticker.start()
            worker = threading.Thread(target=timed, args=(capture[0],))
            worker.start()
            worker.join()
            done.set()
            ticker.join()
    finally:
        sys.setswitchinterval(interval)
    inside = [t for t in ticks if window[0] < t < window[1]]
    assert len(inside) >= 2, f"{len(inside)} ticks during {what} of {window[1] - window[0]:.3f} s"


def test_threads_on_one_capture_read_what_one_thread_reads(tmp_path):
    paths = [make_capture(kind, 200_000, tmp_path / f"{kind}.bin") for kind in ("peak", "logic")]
    # One capture of two waveforms: the sample's, and more threads than waveforms.
    from conftest import SOURCE

    with quillwave.open(SOURCE / "examples" / "sample.bin") as sample:
        expected_sample = [w.read() for w in sample]
        failures = []

        def read_sample(k):
            for _ in range(50):
                for index in (k % 6, (k + 3) % 6):
                    got = sample[index].read(index * 7)
                    for name, array in got.items():
                        if array.tobytes() != expected_sample[index][name][index * 7:].tobytes():
                            failures.append((k, index, name))

        threads = [threading.Thread(target=read_sample, args=(k,)) for k in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures
    for path in paths:
        with quillwave.open(path) as capture:
            whole = capture[0].read()
            parts = {}

            def read_part(k, waveform=capture[0]):
                parts[k] = waveform.read(k * 50_000, (k + 1) * 50_000)

            threads = [threading.Thread(target=read_part, args=(k,)) for k in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            for name, array in whole.items():
                joined = b"".join(parts[k][name].tobytes() for k in range(4))
                assert joined == array.tobytes(), (path.name, name)


def test_closing_waits_for_a_running_read(large):
    capture = quillwave.open(large)
    result = {}

    def read():
        try:
            result["rows"] = len(capture[0].read()["value"])
        except ValueError as error:  # closed before the read began
            result["closed"] = str(error)

    reader = threading.Thread(target=read)
    reader.start()
    capture.close()
    reader.join()
    assert result.get("rows") == 4_000_000 or "closed" in result
