# The Python module against the program: listing, JSON and catalogue of the
# examples, concurrent fits, errors with their input lines, and scans on
# threads and on a Dask cluster.
import json
import re
import subprocess
import threading

import numpy as np
import pytest

import ruvo

EXAMPLES = ["rigid_rotor", "hyperfine_14n", "one_top", "two_tops", "intensity"]


def without_date(listing):
    return re.sub(r"(Calculation date and time: ).*", r"\1", listing)


def program(binary, source, name, *options):
    run = subprocess.run([str(binary), str(source / "examples" / (name + ".inp")), *options],
                         capture_output=True, text=True)
    return run


@pytest.mark.parametrize("name", EXAMPLES)
def test_fit_equals_the_programs_listing_and_json(binary, source, name):
    # a catalogue needs a dipole: only the intensity example has one
    catalogue = ("--catalog", "run.cat") if name == "intensity" else ()
    run = program(binary, source, name, "--json", "run.json", *catalogue, "--levels", "run.csv")
    # the one-top molecule's levels up to J 70 do not converge Q(300 K): the
    # program says so and exits 1, and that is its only message
    unconverged = "Warning: the partition function at 300 K is not converged"
    assert run.returncode == 0 or (run.returncode == 1 and run.stderr.startswith(unconverged)
                                   and run.stderr.count("\n") == 1), run.stderr
    doc = json.load(open("run.json"))
    fit = ruvo.read(source / "examples" / (name + ".inp")).fit()
    assert without_date(fit.listing) == without_date(open(source / "examples" / (name + ".out")).read())
    assert fit.converged == doc["fit"]["converged"]
    assert fit.cycles == doc["fit"]["cycles"]
    assert fit.sd_MHz == doc["fit"]["standard_deviation_MHz"]
    assert fit.rms_MHz == pytest.approx(doc["fit"]["rms_MHz"], rel=1e-12, abs=1e-15)
    sets = max(p["set"] for p in doc["parameters"])
    for p in doc["parameters"]:
        key = p["name"] if sets == 1 else "%s(%d)" % (p["name"], p["set"])
        assert fit.parameters[key] == p["value"], key
        assert fit.errors[key] == p["error"], key
    assert fit.fit_names == doc["correlation"]["names"]
    np.testing.assert_array_equal(fit.correlations, np.array(doc["correlation"]["matrix"]).reshape(fit.correlations.shape))
    lines = fit.lines
    assert len(lines) == len(doc["lines"])
    np.testing.assert_array_equal(lines["calc_GHz"], [l["calc_GHz"] for l in doc["lines"]])
    oc = [l["obs_minus_calc_MHz"] or 0.0 for l in doc["lines"]]
    np.testing.assert_allclose(lines["oc_MHz"], oc, rtol=0, atol=1e-9)
    # the levels of the fitted parameters, as the program's level table
    csv = np.genfromtxt("run.csv", delimiter=",", names=True, dtype=None, encoding=None)
    levels = ruvo.read(source / "examples" / (name + ".inp")).with_parameters(fit).levels().levels
    assert len(levels) == len(csv)
    for ours, theirs in (("J", "J"), ("Ka", "Ka"), ("Kc", "Kc"), ("v", "v"),
                         ("species", "species"), ("set", "set"), ("degeneracy", "degeneracy")):
        np.testing.assert_array_equal(levels[ours], csv[theirs])
    np.testing.assert_allclose(levels["E_cm"], csv["energy_cm1"], rtol=0, atol=1e-6)
    if name == "intensity":
        cat = ruvo.read(source / "examples" / (name + ".inp")).catalogue()
        assert cat.cards == open("run.cat").read()
        assert cat.Q_converged == (run.returncode == 0)
        assert len(cat.lines) == cat.cards.count("\n")
        np.testing.assert_allclose(cat.lines["freq_MHz"], [float(c[:13]) for c in cat.cards.splitlines()], atol=5e-5)


def test_parameters_by_name_levels_and_partition_function(source):
    m = ruvo.read(source / "examples" / "one_top.inp")
    assert m["V1n_1"] == 11500.0
    shifted = ruvo.parse(m.text, m.name)
    shifted["V1n_1"] = 12000.0
    assert m["V1n_1"] == 11500.0 and shifted["V1n_1"] == 12000.0
    a, b = m.calculate(), shifted.calculate()
    assert not np.array_equal(a.lines["calc_GHz"], b.lines["calc_GHz"])
    with pytest.raises(ruvo.Error):
        m["nosuch"] = 1.0
    import copy
    kept = copy.copy(shifted)
    shifted["V1n_1"] = 13000.0
    assert kept["V1n_1"] == 12000.0 and kept.settings == [("V1n_1", 1, 12000.0)]
    levels = m.levels(jmax=30)
    table = levels.levels
    assert table["J"].max() == 30 and levels.jmax == 30
    assert table["E_cm"].min() == 0.0
    assert levels.Q(300) > levels.Q(150) > 0


def test_a_model_made_in_code_fits_as_its_input_file(source):
    text = open(source / "examples" / "one_top.inp").read()
    made = ruvo.build("one top made in code", {"nzyk": 30, "ntop": 1, "defer": 1.0e-5},
                      {"BJ": 2.69, "BK": 6.45, "B-": 0.255, "DJ": 0.9e-6, "DJK": -4.5e-6,
                       "F_1": 158, "V1n_1": 11500, "rho_1": 0.051, "beta_1": 0.34},
                      ["fit BJ", "fit BK", "fit B-", "fit DJ", "fit DJK", "dqu 0.1 1 V1n_1",
                       "dqu 0.1 1 rho_1", "dqu 0.1 1 beta_1"], ["/A S 0", "/E S 1"], ["V 0"],
                      [l for l in text.splitlines() if l.startswith("Jup")])
    a, b = made.fit(), ruvo.parse(text).fit()
    assert a.sd_MHz == b.sd_MHz and a.parameters == b.parameters
    with pytest.raises(ruvo.Error):
        ruvo.build("title { opens a comment")


def test_two_models_fitted_on_threads_equal_serial_fits(source):
    models = [ruvo.read(source / "examples" / (n + ".inp")) for n in ("one_top", "two_tops")]
    serial = [m.fit() for m in models]
    results = [None, None]

    def work(i):
        results[i] = models[i].fit()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for s, c in zip(serial, results):
        np.testing.assert_array_equal(s.lines["calc_GHz"], c.lines["calc_GHz"])
        assert s.parameters == c.parameters and s.errors == c.errors
        np.testing.assert_array_equal(s.correlations, c.correlations)
        assert without_date(s.listing) == without_date(c.listing)


def test_errors_carry_the_programs_message_and_input_line(binary, source, tmp_path):
    text = open(source / "examples" / "rigid_rotor.inp").read().replace("K-up 0", "K-up 3", 1)
    (tmp_path / "bad.inp").write_text(text)
    run = subprocess.run([str(binary), "bad.inp"], capture_output=True, text=True)
    with pytest.raises(ruvo.Error) as caught:
        ruvo.parse(text, "bad.inp")
    assert caught.value.messages == run.stderr
    assert caught.value.status == run.returncode == 1
    assert caught.value.line > 0
    with pytest.raises(ruvo.Error):
        ruvo.read(tmp_path / "missing.inp")


def test_interrupt_ends_the_fit_cleanly(source):
    import os
    import signal
    m = ruvo.read(source / "examples" / "two_tops.inp")
    done = threading.Event()

    def interrupt():
        while not done.wait(0.01):
            os.kill(os.getpid(), signal.SIGINT)

    t = threading.Thread(target=interrupt)
    t.start()
    try:
        fit = m.fit()
    finally:
        done.set()
        t.join()
    # the fit returns its result: after an interrupt with its final analysis
    assert "End at Cycle" in fit.listing
    if fit.interrupted:
        assert not fit.converged
        # also when no step was made: the standard deviation of the final pass
        assert fit.sd_MHz > 0


def test_dask_scan_equals_the_threaded_scan(source):
    distributed = pytest.importorskip("distributed")
    m = ruvo.read(source / "examples" / "rigid_rotor.inp")
    axes = {"BJ": np.linspace(3.35, 3.37, 20), "DK": np.linspace(4.0e-5, 6.0e-5, 10)}
    threaded = ruvo.scan(m, axes, threads=2)
    assert len(threaded) == 200 and threaded.errors == [""] * 200
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        spread = ruvo.scan(m, axes, client=client)
    assert spread.columns == threaded.columns
    np.testing.assert_array_equal(spread.values, threaded.values)
    np.testing.assert_array_equal(spread.sd_MHz, threaded.sd_MHz)
    np.testing.assert_array_equal(spread.converged, threaded.converged)
    assert spread.errors == threaded.errors


def test_the_guides_worked_example_runs(source):
    import sys
    run = subprocess.run([sys.executable, str(source / "examples" / "python" / "one_top_scan.py")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "converged True" in run.stdout and "input error at line 29" in run.stdout
