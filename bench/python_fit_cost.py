#!/usr/bin/python3
"""CPU time of one fit from Python (ruvo.Model.fit) against the same fit by
the program (ruvo FILE), on one thread each; runs alternate, the medians are
compared.  CPU time rather than wall time: the machine is shared.

    PYTHONPATH=build/python bench/python_fit_cost.py build/ruvo bench/data/one_top_600_lines.inp [runs]
"""
import resource
import statistics
import subprocess
import sys
import time

import ruvo


def program_cpu(binary, path):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([binary, path], stdout=subprocess.DEVNULL, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def python_cpu(path):
    start = time.process_time()
    ruvo.read(path).fit()
    return time.process_time() - start


def main():
    binary, path = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    prog, py = [], []
    for _ in range(runs):
        prog.append(program_cpu(binary, path))
        py.append(python_cpu(path))
    p, q = statistics.median(prog), statistics.median(py)
    print(f"program {p:.3f} s  python {q:.3f} s  python/program {q / p:.3f} (median of {runs})")


if __name__ == "__main__":
    main()
