"""The triples search: assign an unknown broadband spectrum.

    import ruvo
    guess = ruvo.read("guess.inp")               # guessed constants, dipoles
    peaks = numpy.loadtxt("peaks.txt")           # frequency (MHz), intensity
    table = ruvo.search(guess, peaks, checks=20, tolerance_MHz=0.05)
    table.hits[0]                                # the best combination
    table = ruvo.search(guess, peaks, client=client)   # on a Dask cluster

For every combination of one peak in each of three windows (around three
strong predicted lines, the triple) the rotational constants BJ, BK, B- are
solved from the three peak frequencies, the check lines predicted with them
and looked up in the peak list; the combinations are ranked by the number
of check lines on a peak, then by the rms of their deviations.  The same
inputs give the same table on any number of threads or Dask workers.
"""

from dataclasses import dataclass, field
from typing import List

import numpy as np

from ._ruvo import _search, _synthetic_spectrum

__all__ = ["search", "SearchTable", "synthetic_spectrum"]

HIT_DTYPE = np.dtype([("combination", np.uint64), ("peak1", np.int32), ("peak2", np.int32),
                      ("peak3", np.int32), ("BJ", float), ("BK", float), ("Bm", float),
                      ("matches", np.int32), ("rms_MHz", float), ("intensity_rms", float),
                      ("score", float), ("iterations", np.int32)])


@dataclass
class SearchTable:
    """The ranked combinations of a search, best first.

    hits: structured array (combination, peak1..peak3 = indices into the
    peak list, BJ, BK, Bm in GHz, matches, rms_MHz, intensity_rms, score,
    iterations); matched[i, c]: the peak that check line c landed on for
    hit i (-1: none).  triple, checks: the lines used (levels as
    (J, Ka, Kc, species, v), freq_MHz and lgint at the guess); candidates:
    the peaks in each window; combinations in the whole space, searched and
    solved (Newton converged, physical rotor) of them; interrupted: the
    search was cancelled or a part of it failed for good, and the table
    holds what was searched (failed: the messages of the parts that failed).
    """
    hits: np.ndarray
    matched: np.ndarray
    triple: list
    checks: list
    candidates: list
    combinations: int
    searched: int
    solved: int
    interrupted: bool
    guess: tuple
    failed: List[str] = field(default_factory=list)
    cpu_s: float = 0.0  # CPU seconds of the parts on a cluster (0 on one machine)

    def __len__(self):
        return len(self.hits)

    def __str__(self):
        lines = [f"{self.combinations} combinations, {self.searched} searched, "
                 f"{self.solved} solved" + (" (interrupted)" if self.interrupted else ""),
                 f"{'rank':>4} {'BJ':>12} {'BK':>12} {'B-':>12} {'matches':>7} "
                 f"{'rms/MHz':>8} {'score':>7}  peaks"]
        for i, h in enumerate(self.hits):
            lines.append(f"{i + 1:4d} {h['BJ']:12.7f} {h['BK']:12.7f} {h['Bm']:12.7f} "
                         f"{h['matches']:7d} {h['rms_MHz']:8.4f} {h['score']:7.2f}  "
                         f"{h['peak1']} {h['peak2']} {h['peak3']}")
        return "\n".join(lines)


def _table(part):
    n = len(part["score"])
    hits = np.zeros(n, HIT_DTYPE)
    hits["combination"] = part["combination"]
    for k in range(3):
        hits[f"peak{k + 1}"] = part["peaks"][:, k]
    hits["BJ"], hits["BK"], hits["Bm"] = part["constants"].T if n else ([], [], [])
    for name in ("matches", "rms_MHz", "intensity_rms", "score", "iterations"):
        hits[name] = part[name]
    return hits, np.asarray(part["matched"]).reshape(n, len(part["checks"]))


def _merge(parts, keep, failed=(), expected=None):
    """One ranked table from parts of one search (score, rms, combination)."""
    first = parts[0]
    tables = [_table(p) for p in parts]
    hits = np.concatenate([t[0] for t in tables])
    matched = np.concatenate([t[1] for t in tables])
    order = np.lexsort((hits["combination"], hits["rms_MHz"], -hits["score"]))[:keep]
    searched = sum(p["searched"] for p in parts)
    expected = first["combinations"] if expected is None else expected
    interrupted = any(p["interrupted"] for p in parts) or bool(failed) or searched < expected
    return SearchTable(hits[order], matched[order], first["triple"], first["checks"],
                       first["candidates"], first["combinations"], searched,
                       sum(p["solved"] for p in parts), interrupted, first["guess"],
                       list(failed), sum(p.get("cpu_s", 0.0) for p in parts))


def _peaks(peaks):
    a = np.asarray(peaks, dtype=float)
    if a.ndim == 1:
        return np.ascontiguousarray(a), np.zeros(0)
    if a.ndim == 2 and a.shape[1] == 2:
        return np.ascontiguousarray(a[:, 0]), np.ascontiguousarray(a[:, 1])
    if a.ndim == 2 and a.shape[0] == 2:
        return np.ascontiguousarray(a[0]), np.ascontiguousarray(a[1])
    raise ValueError("peaks: frequencies (MHz), or pairs of frequency and intensity")


def _run_part(model, freq, intensity, options, part, parts, count=2**64 - 1):
    """Part `part` of `parts` of the combination space: its runs (of up to
    4096 combinations) part, part + parts, ... (interleaved, so that the
    parts cost about the same); count=0 searches nothing (the plan)."""
    import time
    o = dict(options, first=0, count=int(count), parts=int(parts), part=int(part), threads=1)
    t = time.thread_time()
    part = _search(model, freq, intensity, o)
    part["cpu_s"] = time.thread_time() - t  # the part's own CPU time on its worker
    return part


def _progress_bar(done, total):
    import sys
    width = 40
    filled = int(width * done / total) if total else width
    sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
    if done >= total:
        sys.stderr.write("\n")
    sys.stderr.flush()


def search(model, peaks, *, triple=None, windows_MHz=(0.0, 0.0, 0.0), check_lines=None,
           checks=10, tolerance_MHz=0.1, intensity_weight=0.0, keep=20, T=300.0, jmax=-1,
           max_change=0.2, guess_uncertainty=0.02, threads=0, client=None, chunks=None,
           retries=2, progress=False):
    """Triples search of a peak list with the model's guessed constants.

    peaks: an (n, 2) array of frequency (MHz) and intensity, or frequencies
    alone.  triple: three transitions ((J, Ka, Kc[, species]), (J, Ka, Kc
    [, species])), or None for the automatic choice (strong A lines of
    different types whose frequencies fix BJ, BK, B- independently).
    windows_MHz: half widths of the three windows (0: the move of the line
    when the constants are off by guess_uncertainty).  check_lines, or the
    `checks` strongest predicted lines (the E partners of the triple first).
    tolerance_MHz: a check line within this of a peak matches.
    intensity_weight: score = matches - weight x log10 scatter of the
    intensity ratios.  keep: rows of the table.  T: temperature of the
    predicted intensities (K).

    Without a client the search shares the machine's cores (threads=0:
    all).  With client (a dask.distributed Client or a scheduler address)
    the combinations are split into `chunks` parts (default: four per
    worker thread), each searched on one thread of a worker; a part that
    fails is retried `retries` times; a Ctrl-C cancels the parts not done
    and returns the table of those that are.  progress: a bar on standard
    error.  Every way gives the same table.
    """
    freq, intensity = _peaks(peaks)
    options = dict(triple=triple, check_lines=check_lines,
                   windows_MHz=[float(w) for w in windows_MHz], checks=int(checks),
                   tolerance_MHz=float(tolerance_MHz), intensity_weight=float(intensity_weight),
                   keep=int(keep), T=float(T), jmax=int(jmax), max_change=float(max_change),
                   guess_uncertainty=float(guess_uncertainty), threads=int(threads))
    if client is None:
        o = dict(options, first=0, count=2**64 - 1)
        if progress:
            o["progress"] = _progress_bar
        return _merge([_search(model, freq, intensity, o, bool(progress))], keep)
    if isinstance(client, str):
        from distributed import Client
        with Client(client) as c:
            return search(model, peaks, triple=triple, windows_MHz=windows_MHz,
                          check_lines=check_lines, checks=checks, tolerance_MHz=tolerance_MHz,
                          intensity_weight=intensity_weight, keep=keep, T=T, jmax=jmax,
                          max_change=max_change, guess_uncertainty=guess_uncertainty,
                          client=c, chunks=chunks, retries=retries, progress=progress)
    from distributed import as_completed

    # the size of the combination space: a search of none of it
    plan = _run_part(model, freq, intensity, options, 0, 1, count=0)
    total = plan["combinations"]
    if chunks is None:
        chunks = 4 * max(1, sum(client.nthreads().values()))
    chunks = max(1, min(int(chunks), total)) if total else 1
    [m, f, i] = client.scatter([model, freq, intensity], broadcast=True)
    futures = client.map(_run_part, [m] * chunks, [f] * chunks, [i] * chunks,
                         [options] * chunks, list(range(chunks)), [chunks] * chunks,
                         retries=int(retries), pure=False)
    parts, failed, done = [], [], 0
    try:
        for fut in as_completed(futures):
            if fut.status == "error":
                failed.append(str(fut.exception()))
                continue
            part = fut.result()
            parts.append(part)
            done += part["searched"]
            if progress:
                _progress_bar(done, total)
    except KeyboardInterrupt:
        client.cancel([x for x in futures if not x.done()])
        failed.append("cancelled")
    if total and not parts and failed and failed[0] != "cancelled":
        raise RuntimeError("every part of the search failed: " + failed[0])
    return _merge(parts or [plan], keep, failed, total)


def synthetic_spectrum(catalogue, jitter_MHz=0.02, missing=0.4, distractors=1.0,
                       intensity_factor=2.0, min_lgint=-99.0, seed=1):
    """A peak list (n, 2) made from a catalogue: frequencies jittered, a share
    `missing` of the lines left out, `distractors` times as many random peaks
    added, intensities off by up to `intensity_factor`; the same seed gives
    the same list everywhere."""
    f, i = _synthetic_spectrum(catalogue, jitter_MHz, missing, distractors, intensity_factor,
                               min_lgint, seed)
    return np.column_stack([f, i])
