"""Runs a per-waveform computation over many captures on a Dask cluster,
one task per capture, and prints the results as JSON (capture -> one entry
per waveform: its peak-to-peak value, or null when it yields no samples).

    python3 dask_over_captures.py --scheduler tcp://SCHEDULER:8786 CAPTURE...
    python3 dask_over_captures.py CAPTURE...    (two local worker processes)

Every worker reads the captures by path, so they must see the same files
(a shared file system), and have quillwave installed.
"""
import argparse
import json

import numpy

import quillwave


def peak_to_peak(path):
    """The computation, on a worker: each waveform's largest minus smallest value."""
    results = []
    with quillwave.open(path) as capture:
        for waveform in capture:
            if waveform.reason is not None:
                results.append(None)
                continue
            low, high = numpy.inf, -numpy.inf
            for block in waveform.blocks(1 << 20):
                for name in waveform.names[1:]:  # every column but time
                    low = min(low, float(block[name].min()))
                    high = max(high, float(block[name].max()))
            results.append(high - low)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scheduler", help="the cluster's scheduler address (default: a local cluster)")
    parser.add_argument("captures", nargs="+")
    arguments = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    if arguments.scheduler:
        client = Client(arguments.scheduler)
    else:
        # Two worker processes on the loopback address only, no dashboard.
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        futures = client.map(peak_to_peak, arguments.captures)
        results = client.gather(futures)
    print(json.dumps(dict(zip(arguments.captures, results))))


if __name__ == "__main__":
    main()
