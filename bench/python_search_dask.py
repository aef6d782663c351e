"""Overhead of the triples search on a Dask cluster: the same search of about
10^6 combinations on the 2 threads of this machine and on a LocalCluster of 2
single-thread worker processes, side by side: wall-clock times, and the CPU
time the search took (this process's threads; the workers' processes), which
a busy machine does not blur.

Usage: PYTHONPATH=build/python python3 bench/python_search_dask.py
"""
import resource
import time

import ruvo

MODEL = """Benchmark: rigid asymmetric rotor {}

ntop 0 freq_l 6 freq_h 26 limit 0.01

BJ 1.60 BK 3.40 B- 0.21
DJ 1.0e-7
mu_x 1.0 mu_z 2.0

fit BJ

Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 3.2
"""


def cpu():
    """CPU seconds of this process, all its threads."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    truth = ruvo.parse(MODEL, "truth")
    cat = truth.catalogue(fmin_MHz=6000, fmax_MHz=26000, jmax=10, T=10, fit=False)
    peaks = ruvo.synthetic_spectrum(cat, min_lgint=-7.0, distractors=12.0, seed=3)
    guess = ruvo.parse(MODEL, "guess")
    guess["BJ"], guess["BK"], guess["B-"] = 1.60 * 1.02, 3.40 * 0.98, 0.21 * 1.02
    options = dict(jmax=10, T=10, checks=10, keep=20)

    t, c = time.perf_counter(), cpu()
    local = ruvo.search(guess, peaks, threads=2, **options)
    threads, local_cpu = time.perf_counter() - t, cpu() - c
    print(f"{local.combinations} combinations, {len(peaks)} peaks")
    print(f"2 threads:               {threads:8.2f} s  "
          f"CPU {local_cpu:8.2f} s ({local.combinations / local_cpu:,.0f} combinations per CPU second)")

    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        before = sum(client.run(cpu).values())
        t, c = time.perf_counter(), cpu()
        spread = ruvo.search(guess, peaks, client=client, **options)
        cluster_time = time.perf_counter() - t
        cluster_cpu = sum(client.run(cpu).values()) - before + cpu() - c
    assert (spread.hits == local.hits).all()
    print(f"LocalCluster 2 x 1:      {cluster_time:8.2f} s  CPU {cluster_cpu:8.2f} s  "
          f"overhead: wall {100 * (cluster_time / threads - 1):+.1f} %, "
          f"CPU {100 * (cluster_cpu / local_cpu - 1):+.1f} %  (same table: yes)")
    print(f"  of which the parts' own searches: CPU {spread.cpu_s:8.2f} s "
          f"({100 * (spread.cpu_s / local_cpu - 1):+.1f} % over the threads' search); "
          f"Dask and the workers' processes: {cluster_cpu - spread.cpu_s:.2f} s")


if __name__ == "__main__":
    main()
