"""kv.fit_many and kv.results_table: input order, equality with one fit()
call at a time, failures kept in their slots, chained fits, progress,
interruption, and the table of columns."""
import os
import re
import signal
import subprocess
import sys
import threading
import time
import types
import warnings

import numpy as np
import pytest

import kelvora as kv

F = np.logspace(5, -1, 40)


def randles_spectra(count, seed=0, drift=False):
    """Noisy randles spectra, with values drifting slowly along the list when `drift`."""
    rng = np.random.default_rng(seed)
    out = []
    for k in range(count):
        if drift:
            values = [10 + 0.05 * k, 40 + 0.3 * k, 30 - 0.1 * k, 2e-5, 0.85]
        else:
            values = [rng.uniform(5, 20), rng.uniform(20, 80), rng.uniform(5, 50), rng.uniform(1e-5, 1e-4),
                      rng.uniform(0.7, 0.95)]
        z = kv.Circuit("randles").with_values(values).impedance(F)
        z = z + 0.01 * abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))
        out.append((F, z))
    return out


def bad_spectra():
    """Spectra that fit() refuses, each for its own reason."""
    f, z = randles_spectra(1, seed=9)[0]
    return [
        (f, z[:-1]),                             # lengths differ
        (np.array([]), np.array([], complex)),   # no points
        (f, np.where(np.arange(len(z)) == 3, np.nan, z)),  # a NaN impedance
        ("not numbers", z),                      # not a sequence of numbers
        {"frequency_hertz": f},                  # a dict without impedance columns
        42,                                      # not a spectrum at all
    ]


def one_at_a_time(circuit, spectra, **options):
    """What a loop of fit() calls gives: a result or the exception, per spectrum."""
    out = []
    for s in spectra:
        args = s if isinstance(s, tuple) else (s,)
        try:
            out.append(circuit.fit(*args, **options))
        except Exception as e:
            out.append(e)
    return out


def assert_same(batch, sequential):
    assert len(batch) == len(sequential)
    for got, want in zip(batch, sequential):
        if isinstance(want, Exception):
            assert type(got) is type(want) and str(got) == str(want)
            continue
        assert isinstance(got, kv.FitResult)
        assert np.array_equal(list(got.params.values()), list(want.params.values()), equal_nan=True)
        assert np.array_equal(got.cost, want.cost, equal_nan=True)
        assert (got.iterations, got.impedance_evals, got.success) == (want.iterations, want.impedance_evals,
                                                                      want.success)
        assert got == want


METHODS = [
    ("levenberg_marquardt", {}),
    ("nelder_mead", {"nelder_mead_iterations": 300}),
    ("particle_swarm", {"num_particles": 20, "generations": 30, "seed": 5}),
    ("simulated_annealing", {"sa_iterations": 300, "seed": 6}),
    ("basin_hopping", {"basin_hopping_hops": 3, "seed": 7}),
    ("differential_evolution", {"de_evaluations": 400, "seed": 8}),
    ("multi_start", {"seed": 9}),
]


@pytest.mark.parametrize("method, options", METHODS)
@pytest.mark.parametrize("threads", [1, 3])
def test_equals_fits_one_at_a_time_with_failures_mixed_in(method, options, threads):
    spectra = randles_spectra(8)
    bad = bad_spectra()
    mixed = spectra[:3] + bad[:3] + spectra[3:6] + bad[3:] + spectra[6:]
    circuit = kv.Circuit("randles")
    got = kv.fit_many(circuit, mixed, threads=threads, method=method, **options)
    assert_same(got, one_at_a_time(circuit, mixed, method=method, **options))


def test_given_values_and_guessing_follow_fit():
    spectra = randles_spectra(5, seed=2)
    start = kv.Circuit("randles").with_values([8.0, 30.0, 5e-5, 0.8, 20.0])
    assert_same(kv.fit_many(start, spectra), one_at_a_time(start, spectra))
    assert_same(kv.fit_many(start, spectra, guess_init=True), one_at_a_time(start, spectra, guess_init=True))
    # A circuit named by a str is Circuit(str).
    assert_same(kv.fit_many("randles", spectra), one_at_a_time(kv.Circuit("randles"), spectra))


def test_spectrum_forms():
    pd = pytest.importorskip("pandas")
    f, z = randles_spectra(1, seed=4)[0]
    columns = {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
    forms = [(f, z), [f, z], (list(f), list(z)), columns, pd.DataFrame(columns)]
    results = kv.fit_many("randles", forms, threads=2)
    for r in results[1:]:
        assert r == results[0]


def test_empty_batch():
    assert kv.fit_many("randles", []) == []
    assert kv.fit_many("randles", iter([])) == []


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"threads": 0}, ValueError, "threads must be a positive integer, got 0"),
        ({"threads": -2}, ValueError, "threads must be a positive integer, got -2"),
        ({"threads": 1.5}, TypeError, "argument 'threads'"),
        ({"threads": True}, TypeError, "argument 'threads'"),
        ({"chain": None}, TypeError, "argument 'chain'"),
        ({"progress": 3}, TypeError, "argument 'progress'"),
        ({"method": "LM"}, ValueError, 'unknown fit method "LM"'),
        ({"weight": "bad"}, ValueError, 'unknown weight scheme "bad"'),
        ({"ftol": -1.0}, ValueError, "ftol must be >= 0"),
        ({"max_iterations": -1}, OverflowError, None),
        ({"max_iterations": 2.0}, TypeError, "argument 'max_iterations'"),
        ({"frequencies": F}, TypeError, "unexpected keyword argument 'frequencies'"),
        ({"impedances": F}, TypeError, "unexpected keyword argument 'impedances'"),
        ({"tolerance": 1}, TypeError, "unexpected keyword argument 'tolerance'"),
    ],
)
def test_arguments_are_checked_before_any_work(kwargs, error, text):
    calls = []
    with pytest.raises(error, match=None if text is None else re.escape(text)):
        kv.fit_many("randles", randles_spectra(2), progress=lambda d, t: calls.append(d), **kwargs)
    assert calls == []


@pytest.mark.parametrize(
    "args", [(), ("randles",), ("randles", "a str"), ("randles", {"frequency_hertz": F}), (3, []), ("randles", 5)]
)
def test_circuit_and_spectra_arguments(args):
    with pytest.raises(TypeError):
        kv.fit_many(*args)


def one_spectrum_as_a_frame(kind):
    f, z = randles_spectra(1, seed=4)[0]
    columns = {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
    if kind == "mapping":
        return types.MappingProxyType(columns)
    if kind == "instrument names":
        columns = {"Frequency / Hz": f, "Real Impedance / ohm": z.real, "Imaginary Impedance / ohm": z.imag}
    return pytest.importorskip("pandas").DataFrame(columns)


@pytest.mark.parametrize("kind", ["mapping", "dataframe", "instrument names"])
def test_one_spectrum_is_not_taken_for_a_list_of_them(kind):
    # Iterating a dataframe gives its column names: each would fail as a spectrum of its own.
    frame = one_spectrum_as_a_frame(kind)
    with pytest.raises(TypeError, match="argument 'spectra': expected a sequence of spectra"):
        kv.fit_many("randles", frame)
    assert isinstance(kv.fit_many("randles", [frame])[0], kv.FitResult)


class RecordColumns(list):
    """A list of spectra that also gives each column across them, as arrays of records do."""

    def __getitem__(self, key):
        return [s[key] for s in self] if isinstance(key, str) else super().__getitem__(key)


def test_a_list_of_spectra_with_columns_across_them_is_a_list():
    f, z = randles_spectra(1, seed=4)[0]
    one = {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
    results = kv.fit_many("randles", RecordColumns([one, one]))
    assert results[0] == results[1] and isinstance(results[0], kv.FitResult)


def test_threads_beyond_the_work_and_default():
    spectra = randles_spectra(3, seed=8)
    want = kv.fit_many("randles", spectra, threads=1)
    assert kv.fit_many("randles", spectra, threads=10**30) == want
    assert kv.fit_many("randles", spectra) == want


def test_no_model_warning_comes_once():
    circuit = kv.Circuit("R0-(R1,C1)-L2-L3")  # no network serves this topology
    spectra = [(F, kv.Circuit("R0-(R1,C1)-L2-L3").with_values([10, 50, 1e-5, 1e-7, 1e-7]).impedance(F))] * 3
    with pytest.warns(UserWarning, match="There is no ML model") as caught:
        results = kv.fit_many(circuit, spectra)
    assert len([w for w in caught if issubclass(w.category, UserWarning)]) == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            kv.fit_many(circuit, spectra)
    assert all(isinstance(r, kv.FitResult) for r in results)


def chain_by_hand(circuit, spectra, **options):
    """Each fit from the previous successful result's circuit, the first from `circuit`."""
    out, previous = [], None
    for s in spectra:
        try:
            if previous is None:
                r = circuit.fit(*s, **options)
            else:
                r = previous.circuit.fit(*s, **{**options, "guess_init": False})
        except ValueError as e:
            out.append(e)
            continue
        out.append(r)
        if r.success:
            previous = r
    return out


@pytest.mark.parametrize("method, options", [METHODS[0], METHODS[1], ("levenberg_marquardt", {"guess_init": True})])
def test_chain_equals_a_loop_by_hand(method, options):
    spectra = randles_spectra(12, seed=1, drift=True)
    spectra[0:0] = bad_spectra()[:1]  # a failure before the first success: the next starts from the guess
    spectra[6:6] = bad_spectra()[:2]  # failures inside the chain are skipped
    circuit = kv.Circuit("randles")
    got = kv.fit_many(circuit, spectra, chain=True, threads=4, method=method, **options)
    want = chain_by_hand(circuit, spectra, method=method, **options)
    assert_same(got, want)
    # Later fits start where the previous one ended.
    assert got[2].initial.param_values() == got[1].circuit.param_values()


def test_chain_differs_from_independent_fits_only_in_the_start():
    spectra = randles_spectra(6, seed=3, drift=True)
    chained = kv.fit_many("randles", spectra, chain=True)
    independent = kv.fit_many("randles", spectra)
    assert chained[0] == independent[0]
    for a, b in zip(chained, independent):
        np.testing.assert_allclose(list(a.params.values()), list(b.params.values()), rtol=1e-4)


@pytest.mark.parametrize("threads, chain", [(1, False), (2, False), (2, True)])
def test_progress_callable(threads, chain):
    spectra = randles_spectra(30, seed=5) + bad_spectra()
    calls = []
    kv.fit_many("randles", spectra, threads=threads, chain=chain, progress=lambda d, t: calls.append((d, t)))
    total = len(spectra)
    assert calls[-1] == (total, total)
    assert all(t == total for _, t in calls)
    done = [d for d, _ in calls]
    assert done == sorted(set(done)) and 0 <= done[0]


@pytest.mark.parametrize("flag", [True, np.True_])  # a NumPy bool, as chain= takes it
def test_progress_bar_without_tqdm(monkeypatch, capfd, flag):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import fails
    kv.fit_many("randles", randles_spectra(4), progress=flag)
    err = capfd.readouterr().err
    assert err.endswith(" 4/4\n") and "fit_many |" in err
    kv.fit_many("randles", randles_spectra(2), progress=np.False_)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("tqdm", [None, "installed"])
def test_progress_bar_without_stderr(monkeypatch, tqdm):
    if tqdm is None:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    else:
        pytest.importorskip("tqdm")
    spectra = randles_spectra(3)
    want = kv.fit_many("randles", spectra)
    monkeypatch.setattr(sys, "stderr", None)  # as under pythonw
    assert kv.fit_many("randles", spectra, progress=True) == want


def test_progress_bar_with_tqdm(capfd):
    pytest.importorskip("tqdm")
    kv.fit_many("randles", randles_spectra(4), progress=True)
    assert "4/4" in capfd.readouterr().err


SLOW = {"method": "particle_swarm", "num_particles": 400, "generations": 1_000_000, "seed": 1}


@pytest.mark.parametrize("error", [KeyboardInterrupt, RuntimeError])
@pytest.mark.parametrize("chain", [False, True])
def test_exception_from_progress_stops_the_batch(error, chain):
    calls = []

    def progress(done, total):
        calls.append(done)
        if len(calls) == 2:
            raise error("stop")

    # The failure is done at once, the searches would run for hours.
    spectra = bad_spectra()[1:2] + randles_spectra(4)
    start = time.monotonic()
    with pytest.raises(error, match="stop"):
        kv.fit_many("randles", spectra, threads=2, chain=chain, progress=progress, **SLOW)
    assert time.monotonic() - start < 1.0
    assert len(calls) == 2


CHILD = r"""
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
import time
import numpy as np
import kelvora as kv
f = np.logspace(-2, 5, 60)
z = kv.Circuit("randles").with_values([10, 40, 30, 2e-5, 0.85]).impedance(f)
print("ready", flush=True)
start = time.monotonic()
try:
    kv.fit_many("randles", [(f, z)] * 8, threads=2, method="particle_swarm", num_particles=400,
                generations=1_000_000, seed=1)
    print("finished", time.monotonic() - start, flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start, flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_stops_the_batch():
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=30)
        assert out.split()[0] == "interrupted"
        assert time.monotonic() - sent < 1.5
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_other_python_threads_run_during_a_batch():
    spectra = randles_spectra(1) * 2
    counts = []
    stop = threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
        counts.append(n)

    t = threading.Thread(target=count)
    t.start()
    try:
        begin = time.monotonic()
        kv.fit_many("randles", spectra, threads=2, method="particle_swarm", num_particles=50, generations=2000, seed=2)
        elapsed = time.monotonic() - begin
    finally:
        stop.set()
        t.join()
    assert elapsed > 0.1
    # The counting thread got the interpreter for most of the batch (well over a million steps a second).
    assert counts[0] > 100_000 * elapsed


def test_results_table_columns():
    spectra = randles_spectra(3, seed=6)
    results = kv.fit_many("randles", spectra[:2] + bad_spectra()[:1] + spectra[2:])
    table = kv.results_table(results)
    names = list(results[0].params)
    assert list(table) == names + [n + "_stderr" for n in names] + [
        "cost", "chi_square", "success", "iterations", "method", "message", "error",
        "dof", "reduced_chi_square", "aic", "bic"]
    assert all(len(column) == 4 for column in table.values())
    for i in (0, 1, 3):
        r = results[i]
        assert [table[n][i] for n in names] == list(r.params.values())
        assert [table[n + "_stderr"][i] for n in names] == list(r.stderr.values())
        assert (table["cost"][i], table["chi_square"][i], table["success"][i]) == (r.cost, r.chi_square, r.success)
        assert (table["method"][i], table["message"][i], table["error"][i]) == (r.method, r.message, "")
        assert (table["dof"][i], table["reduced_chi_square"][i], table["aic"][i], table["bic"][i]) == (
            r.dof, r.reduced_chi_square, r.aic, r.bic)
    assert table["dof"].dtype == np.int64 and table["aic"].dtype == np.float64
    assert all(np.isnan(table[n][2]) for n in names + ["cost", "reduced_chi_square", "aic", "bic"])
    assert not table["success"][2] and table["iterations"][2] == 0 and table["dof"][2] == 0
    assert table["message"][2] == ""
    assert table["error"][2] == "ValueError: " + str(results[2])


def test_results_table_mixes_circuits_and_feeds_dataframes():
    pd = pytest.importorskip("pandas")
    rc = kv.Circuit("R0-(R1,C1)").with_values([10, 50, 1e-5])
    results = [kv.fit_many("randles", randles_spectra(1))[0], rc.fit(F, rc.impedance(F)), ValueError("bad")]
    table = kv.results_table(results)
    frame = pd.DataFrame(table)
    assert frame.shape == (3, len(table))
    assert frame["R0.r"].notna().tolist() == [True, True, False]
    assert frame["CPE1.q"].notna().tolist() == [True, False, False]
    assert frame["C1.c"].notna().tolist() == [False, True, False]
    assert frame["error"].tolist() == ["", "", "ValueError: bad"]
    assert frame["success"].dtype == bool
    try:
        import polars as pl
    except ImportError:
        return
    assert pl.DataFrame(table).shape == (3, len(table))


def test_results_table_refuses_other_items():
    with pytest.raises(TypeError, match="FitResult objects or exceptions"):
        kv.results_table([1.0])
    with pytest.raises(TypeError, match="circuit must be a Circuit"):
        kv.results_table([], circuit=3)
    assert list(kv.results_table([])) == ["cost", "chi_square", "success", "iterations", "method", "message", "error",
                                          "dof", "reduced_chi_square", "aic", "bic"]


@pytest.mark.parametrize("circuit", ["R0-(R1,C1)", kv.Circuit("R0-(R1,C1)")])
def test_results_table_of_failures_keeps_the_circuits_columns(circuit):
    # A batch (or a cluster partition) where every fit failed still has the
    # parameter columns, so its rows line up with those of other batches.
    f = np.logspace(4, 0, 10)
    results = kv.fit_many("R0-(R1,C1)", [(f, np.ones(9, complex)), (f[:3], np.ones(4, complex))])
    assert all(isinstance(r, ValueError) for r in results)
    table = kv.results_table(results, circuit=circuit)
    assert list(table)[:6] == ["R0.r", "R1.r", "C1.c", "R0.r_stderr", "R1.r_stderr", "C1.c_stderr"]
    assert np.isnan(table["R1.r"]).all() and table["error"][0].startswith("ValueError")
    ok = kv.fit_many("R0-(R1,C1)", [(f, kv.Circuit("R0-(R1,C1)").impedance(f))])
    assert list(kv.results_table(ok, circuit=circuit)) == list(kv.results_table(ok))


NO_THREADS = r"""
import resource
import numpy as np
import kelvora as kv
f = np.logspace(-2, 5, 40)
z = kv.Circuit("randles").with_values([10, 50, 100, 1e-5, 0.85]).impedance(f)
# Room for the interpreter's small allocations, none for an 8 MiB thread stack.
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), resource.RLIM_INFINITY))
try:
    kv.fit_many("randles", [(f, z)] * 4, threads=2)
except Exception as e:
    print(f"{type(e).__name__}: {e}")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(os.environ.get("KELVORA_SANITIZED") == "1", reason="the sanitizer needs its address space")
def test_no_thread_to_be_had_raises_runtime_error():
    # As threading.Thread.start() reports it: a limit of the system, not a broken invariant.
    out = subprocess.run([sys.executable, "-c", NO_THREADS], capture_output=True, text=True, timeout=120)
    assert out.stdout.startswith("RuntimeError: can't start new thread"), out.stdout + out.stderr
