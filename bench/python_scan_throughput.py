#!/usr/bin/python3
"""Throughput of a 200-point scan (fits from a V3 x rho grid of start values
of an input with one top) on threads and on a Dask LocalCluster of 1 and 2
workers; wall time, points per second.

    PYTHONPATH=build/python bench/python_scan_throughput.py examples/one_top.inp
"""
import sys
import time

import numpy as np

import ruvo


def timed(label, run):
    start = time.perf_counter()
    table = run()
    seconds = time.perf_counter() - start
    print(f"{label:28s} {seconds:7.2f} s  {len(table) / seconds:7.1f} points/s")
    return table


def main():
    from distributed import Client, LocalCluster
    m = ruvo.read(sys.argv[1])
    axes = {"V1n_1": np.linspace(11000, 13000, 20), "rho_1": np.linspace(0.048, 0.054, 10)}
    reference = timed("threads 1", lambda: ruvo.scan(m, axes, threads=1))
    timed("threads 2", lambda: ruvo.scan(m, axes, threads=2))
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.submit(lambda: None).result()  # the workers are up
            table = timed(f"dask LocalCluster {workers} worker(s)",
                          lambda: ruvo.scan(m, axes, client=client))
        assert np.array_equal(table.values, reference.values, equal_nan=True)


if __name__ == "__main__":
    main()
