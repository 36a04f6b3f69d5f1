"""Speed of the Python package (a benchmark, not a test): run it by hand.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_read_benchmark.py [BUILD] [SAMPLES]

BUILD is the release build folder (default build/release: its
bench/make_bench_capture writes the captures, its quillwave-export the
exports); SAMPLES per waveform, default 20M. For each type it prints the
best of three runs of:
  - waveform.read(), against the physical limit: numpy.fromfile of the same
    buffer bytes plus numpy's arange(n) * increment + origin for the times
    (the ratio should be at most 1.5);
  - what users do today: quillwave-export -f npy plus numpy.load, and a
    pandas read_csv of the CSV export (the first ratio should be at least 2);
then the peak memory of blocks() over a peak-detect waveform above the
interpreter's (should be under 64 MiB), and four threads reading four
waveforms of one capture against one thread reading them in turn (best of
five).
"""
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import threading
import time

import numpy

import quillwave

BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release")
SAMPLES = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000_000
MAKE_CAPTURE = BUILD / "bench" / "make_bench_capture"
EXPORT = BUILD / "quillwave-export"
TYPES = ("normal", "average", "peak", "histogram", "logic")
# Header sizes of the captures make_bench_capture writes: the waveform header
# and each buffer's, before its samples.
WAVEFORM_HEADER, BUFFER_HEADER = 144, 12


def best(function, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def physical_limit(path, waveform):
    """numpy's own read of the waveform's buffers and computation of its times."""
    position = waveform.offset + WAVEFORM_HEADER
    columns = {}
    for buffer, column in zip(waveform.buffers, waveform.columns[1:]):
        position += BUFFER_HEADER
        columns[column.name] = numpy.fromfile(path, dtype=column.dtype.newbyteorder("<"),
                                              count=len(waveform), offset=position)
        position += buffer.data_size
    columns["time"] = numpy.arange(len(waveform)) * waveform.time_increment + waveform.time_origin
    return columns


def export_and_load(path, folder, fmt):
    subprocess.run([str(EXPORT), "-q", "--force", "-f", fmt, "-o", str(folder), str(path)], check=True)
    name = folder / f"{path.stem}.w1.{fmt}"
    if fmt == "npy":
        return numpy.load(name)
    import pandas

    return pandas.read_csv(name)


def peak_memory_of_blocks(path):
    # The high-water mark of this process's own memory (VmHWM): ru_maxrss
    # would carry over the parent's from before exec.
    code = ("import sys, numpy, quillwave\n"
            "def peak():\n"
            "    status = open('/proc/self/status').read()\n"
            "    return int(status.split('VmHWM:')[1].split()[0])\n"
            "capture = quillwave.open(sys.argv[1])\n"
            "before = peak()\n"
            "rows = sum(len(block['time']) for block in capture[0].blocks())\n"
            "print(rows, (peak() - before) / 1024)\n")
    out = subprocess.run([sys.executable, "-c", code, str(path)], check=True, capture_output=True, text=True)
    rows, mib = out.stdout.split()
    return int(rows), float(mib)


def four_waveform_capture(folder):
    """One capture of four normal waveforms: the file header of a capture
    declaring four, then the waveform of four single-waveform captures."""
    many = folder / "many.bin"
    subprocess.run([str(MAKE_CAPTURE), "many", "4", str(many)], check=True, stdout=subprocess.DEVNULL)
    parts = [many.read_bytes()[:12]]
    for k in range(4):
        single = folder / f"single{k}.bin"
        subprocess.run([str(MAKE_CAPTURE), "normal", str(SAMPLES), str(single)], check=True,
                       stdout=subprocess.DEVNULL)
        parts.append(single.read_bytes()[12:])
        single.unlink()
    path = folder / "four.bin"
    path.write_bytes(b"".join(parts))
    return path


def main():
    print(f"{SAMPLES} samples per waveform; best of 3; libquillwave {quillwave.library_version}, "
          f"{os.cpu_count()} processors")
    print(f"{'type':<10} {'read()':>8} {'limit':>8} {'ratio':>6} {'npy+load':>9} {'ratio':>6} "
          f"{'read_csv':>9} {'ratio':>6}")
    with tempfile.TemporaryDirectory(prefix="quillwave-bench-") as work:
        folder = pathlib.Path(work)
        for kind in TYPES:
            path = folder / f"{kind}.bin"
            subprocess.run([str(MAKE_CAPTURE), kind, str(SAMPLES), str(path)], check=True,
                           stdout=subprocess.DEVNULL)
            with quillwave.open(path) as capture:
                waveform = capture[0]
                ours = waveform.read()
                limit = physical_limit(path, waveform)
                for name in waveform.names[1:]:
                    assert ours[name].tobytes() == limit[name].tobytes(), f"{kind} {name} differs"
                read_time = best(waveform.read)
                limit_time = best(lambda: physical_limit(path, waveform))
            del ours, limit
            npy_time = best(lambda: export_and_load(path, folder, "npy"))
            # The CSV export itself is left out: only pandas' reading of it.
            export_and_load(path, folder, "csv")
            csv = folder / f"{kind}.w1.csv"
            import pandas

            csv_time = best(lambda: pandas.read_csv(csv), runs=1)
            for produced in folder.glob(f"{kind}.*"):
                if produced != path:
                    produced.unlink()
            print(f"{kind:<10} {read_time:8.3f} {limit_time:8.3f} {read_time / limit_time:6.2f} "
                  f"{npy_time:9.3f} {npy_time / read_time:6.1f} {csv_time:9.3f} {csv_time / read_time:6.1f}",
                  flush=True)
            if kind == "peak":
                rows, mib = peak_memory_of_blocks(path)
                print(f"           blocks() over {rows} rows of peak detect: peak RSS {mib:.1f} MiB above "
                      "the interpreter's", flush=True)
            path.unlink()

        path = four_waveform_capture(folder)
        with quillwave.open(path) as capture:
            waveforms = list(capture)[:4]
            # Whole reads (new memory for every array, so page faults count)
            # and blocks of 2^20 rows (memory reused).
            for what, read in (("read()", lambda w: w.read()),
                               ("blocks()", lambda w: sum(len(b["time"]) for b in w.blocks()))):
                one = best(lambda: [read(w) for w in waveforms], runs=5)

                def four_threads():
                    threads = [threading.Thread(target=read, args=(w,)) for w in waveforms]
                    for thread in threads:
                        thread.start()
                    for thread in threads:
                        thread.join()

                four = best(four_threads, runs=5)
                print(f"four waveforms of one capture, {what}: one thread {one:.3f} s, four threads "
                      f"{four:.3f} s, speed-up {one / four:.2f}", flush=True)
    print(f"peak RSS of this process: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
