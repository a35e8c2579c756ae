"""Circuit.fit with Levenberg-Marquardt: results, edge cases, argument
conversion, the guess decision and the FitResult class."""
import math
import re
import threading
import warnings

import numpy as np
import pytest

import kelvora as kv

F = np.logspace(-1, 5, 40)
RC_TRUE = [10.0, 50.0, 1e-5]


def rc(values=RC_TRUE):
    return kv.Circuit("R0-(R1,C1)").with_values(values)


def noisy(z, scale=0.01, seed=3):
    rng = np.random.default_rng(seed)
    return z + scale * abs(z) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))


Z_EXACT = rc().impedance(F)
Z_NOISY = noisy(Z_EXACT)


def test_recovers_parameters_from_noisy_data():
    result = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY)
    assert result.success
    assert list(result.params) == ["R0.r", "R1.r", "C1.c"]
    np.testing.assert_allclose(list(result.params.values()), RC_TRUE, rtol=0.05)
    assert result.chi_square == 2 * result.cost
    assert set(result.stderr) == set(result.params) and all(v > 0 for v in result.stderr.values())
    # The cost is that of the weighted residuals at the reported values.
    r = np.array(rc().residuals(list(result.params.values()), F, Z_NOISY))
    assert result.cost == pytest.approx(0.5 * np.sum(r * r), rel=1e-14)


def test_exact_start_ends_after_one_run_with_the_minimum_evaluation_count():
    # Values whose search coordinates map back exactly, so the solver starts
    # on the exact residual zero.
    exact = [10.0, 50.0, 0.25]
    result = rc(exact).fit(F, rc(exact).impedance(F))
    p = 3
    # Nine candidates, the solver's first evaluation, the run's cost and
    # build_outcome's 1 + 2p.
    assert result.impedance_evals == 12 + 2 * p
    assert result.iterations == 1
    assert result.success and result.cost == 0.0 and result.chi_square == 0.0
    assert result.stderr == {"R0.r": 0.0, "R1.r": 0.0, "C1.c": 0.0}
    assert "chi_square=0.000000e0" in repr(result)


def test_repeated_fits_are_identical():
    a = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY)
    b = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY)
    assert repr(a) == repr(b) and a.params == b.params and a.stderr == b.stderr
    assert (a.iterations, a.impedance_evals, a.cost) == (b.iterations, b.impedance_evals, b.cost)


def test_concurrent_fits_match_sequential_ones():
    start = rc([5.0, 20.0, 1e-4])
    expected = repr(start.fit(F, Z_NOISY))
    results = [None] * 4

    def work(i):
        results[i] = repr(start.fit(F, Z_NOISY))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


def test_values_are_clamped_into_bounds():
    # Data from an R-(R,C) with a series inductance pushes a CPE exponent up;
    # whatever the fit does, reported values respect the bounds.
    f = np.logspace(0, 6, 50)
    z = kv.Circuit("L0-R0-(R1,C1)").with_values([2e-4, 10.0, 50.0, 1e-6]).impedance(f)
    c = kv.Circuit("R0-(R1,CPE1)").with_values([10.0, 50.0, 1e-6, 0.9])
    result = c.fit(f, z)
    for (lo, hi), v in zip(c.param_bounds(), result.params.values()):
        assert lo <= v <= hi
    assert result.params["CPE1.alpha"] == 1.0
    # The re-fit with alpha pinned at 1 is better than the clamped best run
    # and better than the start.
    r0 = np.array(c.residuals(c.param_values(), f, z))
    assert result.success and result.cost < 0.5 * np.sum(r0 * r0)


def test_one_point_two_parameters_has_no_standard_errors():
    c = kv.Circuit("R0-C1").with_values([5.0, 1e-4])
    result = c.fit([10.0], c.impedance([10.0]) * 1.01)
    assert result.stderr is None


def test_parameter_without_influence_gives_no_standard_errors():
    # With phi * v far beyond 20 the tanh of Gs is exactly 1, so the
    # residuals do not depend on phi: a zero column, a singular J^T J.
    c = kv.Circuit("Gs0").with_values([10.0, 1e-3, 100.0])
    result = c.fit(F, noisy(c.impedance(F)))
    assert result.stderr is None
    assert result.params["Gs0.phi"] == pytest.approx(100.0, rel=1e-12)


def test_redundant_parameters_do_not_crash():
    # Two resistors in series: only their sum is determined.
    c = kv.Circuit("R0-R1").with_values([3.0, 4.0])
    result = c.fit(F, noisy(np.full(len(F), 10.0 + 0j)))
    assert sum(result.params.values()) == pytest.approx(10.0, rel=1e-2)


@pytest.mark.parametrize(
    "freqs, z, message",
    [
        ([], [], "frequencies and impedances must not be empty"),
        (F[:3], Z_EXACT[:2], "frequencies and impedances must have the same length"),
    ],
)
def test_spectrum_errors(freqs, z, message):
    with pytest.raises(ValueError) as info:
        rc().fit(freqs, z)
    assert str(info.value) == message


def test_circuit_without_parameters():
    with pytest.raises(ValueError) as info:
        kv.Series([]).fit(F, Z_EXACT, guess_init=False)
    assert str(info.value) == "circuit topology has no parameters to fit"


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_non_finite_data_ends_without_crash(bad):
    z = Z_NOISY.copy()
    z[5] = complex(bad, bad)
    result = rc([5.0, 20.0, 1e-4]).fit(F, z)
    assert isinstance(result, kv.FitResult)
    assert not math.isfinite(result.cost)
    assert not result.success


def test_all_nan_spectrum():
    result = rc().fit(F, np.full(len(F), complex(math.nan, math.nan)))
    assert not result.success and math.isnan(result.cost)


def test_unknown_method():
    with pytest.raises(ValueError) as info:
        rc().fit(F, Z_EXACT, method="LM")
    assert str(info.value) == (
        'unknown fit method "LM", expected one of "levenberg_marquardt", "particle_swarm", "nelder_mead", '
        '"differential_evolution", "simulated_annealing", "basin_hopping", "multi_start"'
    )


def test_bad_weight_fails_before_guessing():
    with pytest.raises(ValueError, match='^unknown weight scheme "bad"'):
        rc().fit(F, Z_EXACT, weight="bad", weights="no/such/file.eisnn")


@pytest.mark.parametrize(
    "kwargs, error, pattern",
    [
        ({"max_iterations": -1}, OverflowError, None),
        ({"max_iterations": 2**32}, OverflowError, "^out of range integral type conversion attempted$"),
        ({"de_evaluations": 2**32}, OverflowError, "^out of range integral type conversion attempted$"),
        ({"generations": 2**64}, OverflowError, None),
        ({"seed": -1}, OverflowError, None),
        ({"max_iterations": 1.5}, TypeError, "^argument 'max_iterations': "),
        ({"max_iterations": None}, TypeError, "^argument 'max_iterations': "),
        ({"ftol": "small"}, TypeError, "^argument 'ftol': "),
        ({"guess_init": 1}, TypeError, "^argument 'guess_init': "),
        ({"weights": 3}, TypeError, "^argument 'weights': "),
        ({"weight": None}, TypeError, "^argument 'weight': "),
        ({"method": b"levenberg_marquardt"}, TypeError, "^argument 'method': "),
        ({"seed": 1.0}, TypeError, "^argument 'seed': "),
        ({"nonsense": 1}, TypeError, None),
    ],
)
def test_argument_conversion_errors(kwargs, error, pattern):
    with pytest.raises(error, match=pattern):
        rc().fit(F, Z_EXACT, **kwargs)


def test_conversion_happens_in_order_before_the_spectrum():
    # guess_init is converted before max_iterations, both before the spectrum.
    with pytest.raises(TypeError, match="^argument 'guess_init': "):
        rc().fit("not a spectrum", None, 1, max_iterations=-1)
    with pytest.raises(OverflowError):
        rc().fit("not a spectrum", max_iterations=-1)


def test_missing_frequencies_and_too_many_arguments():
    with pytest.raises(TypeError):
        rc().fit()
    with pytest.raises(TypeError):
        rc().fit(*([F, Z_EXACT] + [None] * 18))


def test_accepted_argument_forms():
    positional = rc().fit(F, Z_EXACT, False, None, "modulus", "levenberg_marquardt", 200, 1e-8, 1e-8, 200, 1000,
                          2000, 20000, 5000, 2.0, 20, 1.0, 1.0, None)
    assert positional.success
    assert rc().fit(F, Z_EXACT, guess_init=np.bool_(False), ftol=0, xtol=1, max_iterations=True,
                    seed=2**64 - 1).success


@pytest.mark.parametrize("settings, message", [
    ({"ftol": -0.0}, "ftol"),
    ({"ftol": -1.0}, "ftol"),
    ({"ftol": math.nan}, "ftol"),
    ({"xtol": -1e-9}, "xtol"),
    ({"xtol": -math.nan}, "xtol"),
    ({"xtol": -1.0, "ftol": math.nan}, "ftol"),  # ftol is checked first
])
# Multi-start runs full Levenberg-Marquardt fits with these tolerances.
@pytest.mark.parametrize("method", ["levenberg_marquardt", "multi_start"])
def test_bad_tolerances_are_value_errors(settings, message, method):
    with pytest.raises(ValueError, match=f"^{message} must be >= 0$"):
        rc().fit(F, Z_EXACT, method=method, seed=1, **settings)
    # Refused with the arguments, before the spectrum is read.
    with pytest.raises(ValueError, match=f"^{message} must be >= 0$"):
        rc().fit("not a spectrum", [1j], method=method, **settings)


def test_tolerances_bind_levenberg_marquardt_only():
    assert rc().fit(F, Z_EXACT, ftol=0.0).success
    assert rc().fit(F, Z_EXACT, method="nelder_mead", ftol=-1.0, xtol=math.nan).success


def test_zero_max_iterations_acts_as_one():
    result = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY, max_iterations=0)
    # Each run may use at most p + 1 = 4 evaluations; at most ten runs.
    assert 1 <= result.iterations <= 10 * 4
    assert result.iterations == rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY, max_iterations=1).iterations


def test_weighting_changes_the_problem():
    unit = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY, weight="unit")
    modulus = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY)
    r = np.array(rc().residuals(list(unit.params.values()), F, Z_NOISY, weight="unit"))
    assert unit.cost == pytest.approx(0.5 * np.sum(r * r), rel=1e-14)
    assert unit.cost != modulus.cost


# ---- the guess decision ---------------------------------------------------------

NO_MODEL = (
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to silence this. "
    "Models available for "
)


def test_no_model_warns_once_and_fits_from_current_values():
    c = kv.Circuit("R0-C1")
    z = c.with_values([5.0, 1e-4]).impedance(F)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = c.fit(F, z)
    assert len(caught) == 1 and caught[0].category is UserWarning
    assert str(caught[0].message).startswith(NO_MODEL) and "'randles'" in str(caught[0].message)
    assert caught[0].filename == __file__  # stack level 1: the caller's line
    assert result.success
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c.fit(F, z, guess_init=False)
        with pytest.raises(UserWarning):
            c.fit(F, z)
    with pytest.raises(ValueError):
        c.fit(F, z, guess_init=True)


def test_text_circuit_with_a_model_guesses_without_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = kv.Circuit("R0-(R1,C1)").fit(F, Z_NOISY)
    np.testing.assert_allclose(list(result.params.values()), RC_TRUE, rtol=0.05)


def test_weights_path_forces_a_guess_unless_guess_init_is_false():
    with pytest.raises(ValueError):
        rc().fit(F, Z_EXACT, weights="no/such/file.eisnn")
    assert rc().fit(F, Z_EXACT, weights="no/such/file.eisnn", guess_init=False).success


def test_guess_comes_before_an_empty_spectrum_error():
    with pytest.raises(ValueError) as info:
        kv.Circuit("R0-C1").fit([], [], guess_init=True)
    assert "must not be empty" not in str(info.value)


def test_fitted_circuit_does_not_guess_again():
    first = kv.Circuit("R0-C1").with_values([5.0, 1e-4]).fit(F, Z_EXACT, guess_init=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        first.circuit.fit(F, Z_EXACT)


def test_user_circuit_is_never_modified():
    c = rc([5.0, 20.0, 1e-4])
    c.fit(F, Z_NOISY)
    assert c.param_values() == [5.0, 20.0, 1e-4]


# ---- FitResult ------------------------------------------------------------------


def test_fit_result_attributes_are_fresh_read_only_values():
    result = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY)
    assert result.params is not result.params and result.params == result.params
    assert result.circuit is not result.circuit
    assert isinstance(result.circuit, kv.Circuit)
    assert result.circuit.param_values() == list(result.params.values())
    result.params["R0.r"] = -1.0
    assert result.params["R0.r"] != -1.0
    for name in ["circuit", "params", "stderr", "success", "iterations", "impedance_evals", "cost", "chi_square"]:
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    assert isinstance(result.success, bool)
    assert isinstance(result.iterations, int) and isinstance(result.impedance_evals, int)
    assert isinstance(result.cost, float) and isinstance(result.chi_square, float)


def test_fit_result_has_no_constructor():
    with pytest.raises(TypeError) as info:
        kv.FitResult()
    assert str(info.value) == "No constructor defined for FitResult"
    assert kv.FitResult.__doc__ is None


def test_fit_result_repr():
    result = rc([5.0, 20.0, 1e-4]).fit(F, Z_NOISY)
    text = repr(result)
    m = re.fullmatch(
        r"FitResult\(success=(true|false), iterations=(\d+), impedance_evals=(\d+), "
        r"chi_square=(-?\d\.\d{6}e-?\d+), params=\{(.*)\}\)",
        text,
    )
    assert m, text
    assert m.group(1) == "true"
    assert int(m.group(2)) == result.iterations and int(m.group(3)) == result.impedance_evals
    assert float(m.group(4)) == pytest.approx(result.chi_square, rel=1e-6)
    entries = dict(re.findall(r'"([^"]+)": ([^,]+)(?:, |$)', m.group(5)))
    assert {k: float(v) for k, v in entries.items()} == result.params


def test_fit_result_repr_number_forms():
    c = kv.Circuit("R0").with_values([1.0])
    result = c.fit([1.0, 2.0], [1.0, 1.0])
    assert repr(result) == (
        f"FitResult(success=true, iterations=1, impedance_evals={12 + 2}, chi_square=0.000000e0, "
        'params={"R0.r": 1.0})'
    )
    small = kv.Circuit("R0").with_values([2.0**-24]).fit([1.0], [2.0**-24])
    assert 'params={"R0.r": 5.960464477539063e-8}' in repr(small)


def test_failed_fit_repr_says_false():
    z = Z_NOISY.copy()
    z[0] = complex(math.nan, 0)
    assert "success=false" in repr(rc().fit(F, z))
