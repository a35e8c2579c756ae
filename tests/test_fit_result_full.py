"""The full FitResult: covariance and correlation (checked against SciPy),
residuals, degrees of freedom, information criteria, method, message,
initial circuit and summary."""
import math

import numpy as np
import pytest

import kelvora as kv

scipy_optimize = pytest.importorskip("scipy.optimize")

F = np.logspace(-1, 5, 40)
RQ = "R0-(R1,CPE1)"
Z = kv.Circuit(RQ).with_values([10.0, 50.0, 1e-5, 0.85]).impedance(F) * (1 + 0.01 * np.sin(np.arange(len(F))))
START = kv.Circuit(RQ).with_values([5.0, 20.0, 1e-4, 0.7])


def scipy_covariance(circuit, params, free, weight):
    """chi2/dof (J^T J)^-1 from SciPy's own Jacobian of the same weighted
    residuals.  SciPy differentiates with steps relative to max(1, |x|), so
    it works on u = x / x_solution (all ones) and the result is scaled back."""
    params = np.asarray(params, dtype=float)
    scale = params[free]

    def fun(u):
        full = params.copy()
        full[free] = u * scale
        return np.asarray(circuit.residuals(list(full), F, Z, weight=weight))

    ones = np.ones(len(free))
    res = scipy_optimize.least_squares(fun, ones, jac="3-point", method="trf", max_nfev=1)
    np.testing.assert_array_equal(res.x, ones)  # evaluated at the reported solution
    r = fun(ones)
    dof = len(r) - len(free)
    cov_u = np.linalg.inv(res.jac.T @ res.jac) * (r @ r) / dof
    return cov_u * np.outer(scale, scale)


@pytest.mark.parametrize("fixed, weight", [([], "modulus"), ([], "unit"), (["R0.r"], "modulus")])
def test_covariance_matches_scipy_and_stderr(fixed, weight):
    circuit = START.with_fixed(fixed) if fixed else START
    result = circuit.fit(F, Z, weight=weight)
    names = circuit.param_names()
    free = [i for i, n in enumerate(names) if n not in fixed]
    cov = result.covariance
    assert cov.shape == (4, 4) and cov.dtype == np.float64
    expected = scipy_covariance(circuit, [result.params[n] for n in names], free, weight)
    np.testing.assert_allclose(cov[np.ix_(free, free)], expected, rtol=1e-6)
    for i in set(range(4)) - set(free):
        assert not cov[i].any() and not cov[:, i].any()
    np.testing.assert_array_equal(np.sqrt(np.diag(cov)), [result.stderr[n] for n in names])
    corr = result.correlation
    d = np.sqrt(np.diag(cov)[free])
    np.testing.assert_allclose(corr[np.ix_(free, free)], cov[np.ix_(free, free)] / np.outer(d, d), rtol=1e-12)
    np.testing.assert_allclose(np.diag(corr)[free], 1.0)


def test_statistics_follow_their_closed_forms():
    result = START.with_fixed(["R0.r"]).fit(F, Z)
    r = result.residuals
    params = [result.params[n] for n in START.param_names()]
    np.testing.assert_allclose(r, START.residuals(params, F, Z), rtol=1e-15, atol=0)
    n_obs, k = 2 * len(F), 3
    rss = float(r @ r)
    assert result.chi_square == pytest.approx(rss, rel=1e-14)
    assert result.dof == n_obs - k
    assert result.reduced_chi_square == result.chi_square / (n_obs - k)
    assert result.aic == pytest.approx(n_obs * math.log(rss / n_obs) + 2 * k, rel=1e-12)
    assert result.bic == pytest.approx(n_obs * math.log(rss / n_obs) + k * math.log(n_obs), rel=1e-12)


@pytest.mark.parametrize("method, kwargs, message", [
    ("levenberg_marquardt", {}, "reductions of the sum of squares"),
    ("nelder_mead", {"nelder_mead_iterations": 30}, "the simplex took nelder_mead_iterations steps"),
    ("particle_swarm", {"seed": 2, "num_particles": 10, "generations": 5}, "the swarm ran all its generations"),
    ("basin_hopping", {"seed": 2, "basin_hopping_hops": 2}, "basin hopping made all basin_hopping_hops hops"),
])
def test_method_and_message_say_what_ran_and_why_it_stopped(method, kwargs, message):
    result = START.fit(F, Z, method=method, **kwargs)
    assert result.method == method and message in result.message


def test_initial_is_the_start_circuit_given_or_guessed():
    given = START.with_bounds({"CPE1.alpha": (0.5, 1.0)})
    result = given.fit(F, Z)
    assert result.initial == given
    text = kv.Circuit("R0-(R1,C1)")
    guessed = text.fit(F, Z, guess_init=True)
    assert guessed.initial.param_values() == text.guess(F, Z)
    assert guessed.initial.param_names() == text.param_names()


def test_summary_marks_a_parameter_that_ran_off():
    # A blocking electrode (R0 in series with a capacitor) fitted with randles:
    # the faradaic branch runs off towards an open circuit (R1 or the Warburg
    # coefficient without bound), which the fit reports as converged.
    f = np.logspace(5, -2, 40)
    z = 10.0 + 1.0 / (1j * 2 * np.pi * f * 1e-5)
    start = kv.Circuit("randles").with_values([5.0, 50.0, 100.0, 1e-4, 0.8])
    result = start.fit(f, z)
    rows = {line.split()[0]: line for line in result.summary().splitlines()[3:]}
    diverged = [name for name, row in rows.items() if row.endswith("diverged")]
    begun = dict(zip(start.param_names(), start.param_values()))
    assert diverged and all(result.params[n] > 1e6 * begun[n] for n in diverged)
    assert "R0.r" not in diverged and "CPE1.q" not in diverged
    # A good fit marks nothing.
    good = kv.Circuit("randles").with_values([5.0, 50.0, 100.0, 1e-4, 0.8]).fit(
        f, kv.Circuit("randles").with_values([10.0, 50.0, 100.0, 1e-5, 0.85]).impedance(f))
    assert "diverged" not in good.summary()


def test_summary_marks_fixed_parameters_and_those_at_a_bound():
    result = START.with_fixed({"R0.r": 10.0}).with_bounds({"CPE1.alpha": (0.5, 0.8)}).fit(F, Z)
    lines = result.summary().splitlines()
    assert lines[0].startswith("Fit by levenberg_marquardt (success): ")
    assert f"dof = {result.dof}" in lines[1]
    rows = {line.split()[0]: line for line in lines[3:]}
    assert list(rows) == START.param_names()
    assert rows["R0.r"].endswith("fixed") and rows["CPE1.alpha"].endswith("at bound")
    assert "[ohm]" in rows["R1.r"] and "±" in rows["R1.r"] and "%" in rows["R1.r"]
    rel = float(rows["R1.r"].split("±")[1].split()[1])
    assert rel == pytest.approx(100 * result.stderr["R1.r"] / result.params["R1.r"], rel=1e-5)


def test_without_standard_errors_there_is_no_covariance():
    one_point = kv.Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 3.0]).fit([10.0], [1 + 1j])
    assert one_point.stderr is None and one_point.covariance is None and one_point.correlation is None
    assert one_point.dof == -1 and math.isnan(one_point.reduced_chi_square)
    assert "-" in one_point.summary().splitlines()[-1]


def _analytic_columns(expression, values, f):
    """dZ/dp of the series chains below, worked out by hand."""
    w = 2 * np.pi * np.asarray(f)
    if expression.startswith("R"):  # R0-R1-...: every column is 1
        return [np.ones(len(w), dtype=complex) for _ in values]
    return [1j / (w * c * c) for c in values]  # C0-C1: d/dc of 1/(j w c)


@pytest.mark.parametrize("expression, values", [
    ("R0-R1", [3.0, 7.0]),
    ("R0-R1-R2", [1.0, 2.0, 7.0]),
    ("C0-C1", [1e-5, 2e-5]),
])
@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("seed", range(4))
def test_singular_jacobian_gives_no_standard_errors(expression, values, weight, seed):
    # Only the sum of the resistances (the series capacitance) shows in the
    # spectrum: the Jacobian's columns are linearly dependent, J^T J is
    # singular, and no standard error can be given -- not NaN, zero or
    # rounding noise passed off as a value.
    circuit = kv.Circuit(expression).with_values(values)
    rng = np.random.default_rng(seed)
    f = np.logspace(-1, 5, 20)
    z = np.asarray(circuit.impedance(f)) * (1 + 0.01 * (rng.standard_normal(20) + 1j * rng.standard_normal(20)))
    result = circuit.fit(f, z, guess_init=False, weight=weight)
    fitted = [result.params[n] for n in circuit.param_names()]
    scale = np.abs(z) if weight == "modulus" else 1.0
    jac = np.array([np.concatenate([(c / scale).real, (c / scale).imag])
                    for c in _analytic_columns(expression, fitted, f)]).T
    assert np.linalg.matrix_rank(jac) < len(values)  # the oracle: rank deficient
    assert result.stderr is None and result.covariance is None and result.correlation is None
    assert "±" in result.summary() and math.isfinite(result.chi_square)


ALL_BUT_PHI = ["R0.r", "R1.r", "Gs1.rg", "Gs1.tg"]


@pytest.mark.parametrize("method, fixed", [
    *[(m, []) for m in ["levenberg_marquardt", "basin_hopping", "multi_start", "simulated_annealing"]],
    # (The simplex meets a NaN cost beside the infinite start when every
    # parameter is free, and refuses with its documented error.)
    *[(m, ALL_BUT_PHI) for m in ["levenberg_marquardt", "nelder_mead", "basin_hopping", "multi_start",
                                 "simulated_annealing"]],
])
def test_a_parameter_at_infinity_gives_no_standard_errors_not_nan(method, fixed):
    # A Gs length phi of infinity (an open upper bound) is a finite-length
    # element without its reflection: the spectrum is finite, and phi has no
    # effect on it.  The finite-difference step of infinity leaves the numbers
    # (inf - inf), so no standard error can be measured: None, as for any
    # parameter without effect, not NaN for every parameter of a fit that
    # reports success at a cost of zero.
    f = np.logspace(-2, 5, 40)
    circuit = kv.Circuit("R0-(R1,Gs1)")
    z = circuit.with_values([1.0, 1.0, 1.5, 2.0, 50.0]).impedance(f)
    start = circuit.with_values([1.0, 1.0, 1.5, 2.0, math.inf])
    if fixed:
        start = start.with_fixed(fixed)
    result = start.fit(f, z, method=method, seed=1, guess_init=False, sa_iterations=200, basin_hopping_hops=2)
    assert result.params["Gs1.phi"] == math.inf and math.isfinite(result.cost) and result.success
    assert result.stderr is None and result.covariance is None and result.correlation is None
    assert "nan" not in result.summary()


@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("f, bounds", [
    (np.array([1e3, 10.0]), None),                   # two points: four residuals, one degree of freedom
    (np.logspace(-1, 5, 30), {"R1.r": (1.0, 40.0)}),  # R1 ends on its upper bound
])
def test_covariance_with_few_points_or_at_a_bound_matches_scipy(f, bounds, weight):
    truth = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5])
    rng = np.random.default_rng(4)
    z = np.asarray(truth.impedance(f)) * (1 + 0.02 * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))))
    circuit = truth.with_bounds(bounds) if bounds else truth
    result = circuit.fit(f, z, guess_init=False, weight=weight)
    x = np.array([result.params[n] for n in circuit.param_names()])
    if bounds:
        assert x[1] == 40.0 and "at bound" in result.summary()

    def fun(u):  # relative coordinates, see scipy_covariance
        return np.asarray(circuit.residuals(list(u * x), f, z, weight=weight))

    res = scipy_optimize.least_squares(fun, np.ones(3), jac="3-point", method="trf", max_nfev=1)
    r = fun(np.ones(3))
    assert result.dof == len(r) - 3
    expected = np.linalg.inv(res.jac.T @ res.jac) * (r @ r) / (len(r) - 3) * np.outer(x, x)
    np.testing.assert_allclose(result.covariance, expected, rtol=1e-6)
    assert result.reduced_chi_square == pytest.approx(r @ r / (len(r) - 3), rel=1e-12)
