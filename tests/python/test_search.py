# The triples search from Python: a synthetic spectrum of a rigid rotor gives
# the same ranked table on one thread, on two, and in parts on a Dask
# cluster whose failing part is retried; bad peak lists raise ruvo.Error.
import numpy as np
import pytest

import ruvo
import ruvo.triples as rs

MODEL = """Search test: a rigid asymmetric rotor {}

ntop 0 freq_l 6 freq_h 26 limit 0.01

BJ 1.60 BK 3.40 B- 0.21
mu_x 1.0 mu_z 2.0

fit BJ

Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 3.2
Jup 10 K-up 0 K+up 10 Jlo 9 K-lo 0 K+lo 9 = 32.0
"""

OPTIONS = dict(jmax=10, T=10, checks=30, keep=5)
SEARCH_PART = rs._run_part
CALLS = []


def flaky_part(model, freq, intensity, options, part, parts, count=2**64 - 1):
    """The third part handed out fails once, as on a worker that is lost."""
    CALLS.append(part)
    if len(CALLS) == 3:
        raise RuntimeError("a worker lost its part")
    return SEARCH_PART(model, freq, intensity, options, part, parts, count)


@pytest.fixture(scope="module")
def spectrum():
    truth = ruvo.parse(MODEL, "truth")
    cat = truth.catalogue(fmin_MHz=6000, fmax_MHz=26000, jmax=10, T=10, fit=False)
    peaks = ruvo.synthetic_spectrum(cat, min_lgint=-5.0, seed=1)
    guess = ruvo.parse(MODEL, "guess")
    guess["BJ"], guess["BK"], guess["B-"] = 1.60 * 1.02, 3.40 * 0.98, 0.21 * 1.02
    return guess, peaks


def test_search_finds_the_truth_on_any_number_of_threads(spectrum):
    guess, peaks = spectrum
    one = ruvo.search(guess, peaks, threads=1, **OPTIONS)
    two = ruvo.search(guess, peaks, threads=2, **OPTIONS)
    best = one.hits[0]
    assert abs(best["BJ"] - 1.60) < 2e-4 and abs(best["BK"] - 3.40) < 4e-4
    assert best["matches"] >= one.hits[1]["matches"] + 3
    assert one.searched == one.combinations and not one.interrupted
    np.testing.assert_array_equal(one.hits, two.hits)
    np.testing.assert_array_equal(one.matched, two.matched)
    assert "combinations" in str(one)


def test_search_on_a_dask_cluster_retries_a_failing_part(spectrum, monkeypatch):
    distributed = pytest.importorskip("distributed")
    guess, peaks = spectrum
    local = ruvo.search(guess, peaks, threads=1, **OPTIONS)
    CALLS.clear()
    monkeypatch.setattr(rs, "_run_part", flaky_part)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        spread = ruvo.search(guess, peaks, client=client, chunks=5, **OPTIONS)
    np.testing.assert_array_equal(spread.hits, local.hits)
    np.testing.assert_array_equal(spread.matched, local.matched)
    assert spread.searched == spread.combinations and not spread.interrupted
    assert len(CALLS) >= 2 + 5  # the plan, five parts, and the one retried


def test_bad_peak_lists_raise_ruvo_errors(spectrum):
    guess, _ = spectrum
    with pytest.raises(ruvo.Error, match="peak 2 has no positive finite frequency"):
        ruvo.search(guess, [[7000.0, 1.0], [float("nan"), 1.0]])
    with pytest.raises(ValueError):
        ruvo.search(guess, np.zeros((3, 3)))
