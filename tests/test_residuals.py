"""Circuit.residuals and Circuit.jacobian: weighting, shapes, the finite-difference
step, and the failure texts."""
import math

import numpy as np
import pytest

import kelvora as kv

CBRT_EPS = float(np.cbrt(np.finfo(float).eps))
F = np.logspace(-1, 5, 25)
RC = kv.Circuit("R0-(R1,C1)")
RC_VALUES = [10.0, 50.0, 1e-5]


def measured(circuit=RC, values=RC_VALUES, freqs=F):
    z = circuit.with_values(values).impedance(freqs)
    return z * (1 + 0.02 * np.sin(np.arange(len(freqs))))


def interleave(z):
    return np.column_stack([z.real, z.imag]).ravel()


def test_unit_weight_gives_model_minus_measurement():
    z = measured()
    model = RC.with_values([12.0, 40.0, 2e-5]).impedance(F)
    r = RC.residuals([12.0, 40.0, 2e-5], F, z, weight="unit")
    assert isinstance(r, list) and len(r) == 2 * len(F)
    np.testing.assert_array_equal(r, interleave(model - z))


def test_modulus_weight_divides_by_measured_modulus():
    z = measured()
    model = RC.with_values([12.0, 40.0, 2e-5]).impedance(F)
    r = RC.residuals([12.0, 40.0, 2e-5], F, z)
    w = np.hypot(z.real, z.imag)
    np.testing.assert_array_equal(r, np.column_stack([(model - z).real / w, (model - z).imag / w]).ravel())


def test_zero_measured_impedance_is_divided_by_the_floor():
    r = kv.Circuit("R0").residuals([2.0], [1.0], [0j])
    assert r == [2.0 / 1e-30, 0.0]


@pytest.mark.parametrize("n", [1, 7])
def test_perfect_model_gives_zeros(n):
    freqs = F[:n]
    z = RC.with_values(RC_VALUES).impedance(freqs)
    assert RC.residuals(RC_VALUES, freqs, z) == [0.0] * (2 * n)


def test_jacobian_shape_rows_first():
    jac = RC.jacobian(RC_VALUES, F, measured())
    assert isinstance(jac, list) and len(jac) == 2 * len(F)
    assert all(isinstance(row, list) and len(row) == 3 for row in jac)


@pytest.mark.parametrize("value", [0.0, 1e6, 37.5, -2.0, math.nan])
def test_jacobian_is_the_central_difference_with_the_documented_step(value):
    params = [value, 50.0, 1e-5]
    z = measured()
    h = CBRT_EPS * (1e-8 if math.isnan(value) else max(abs(value), 1e-8))
    plus = RC.residuals([value + h, 50.0, 1e-5], F, z)
    minus = RC.residuals([value - h, 50.0, 1e-5], F, z)
    expected = [(a - b) / (h + h) for a, b in zip(plus, minus)]
    column = [row[0] for row in RC.jacobian(params, F, z)]
    np.testing.assert_array_equal(column, expected)


def test_documented_step_sizes():
    assert CBRT_EPS * 1e-8 == pytest.approx(6.05545445239334e-14, rel=1e-14)
    assert CBRT_EPS * 1e6 == pytest.approx(6.05545445239334, rel=1e-14)


def test_extra_parameters_give_zero_columns():
    jac = RC.jacobian(RC_VALUES + [3.0, 4.0], F, measured())
    assert all(row[3] == 0.0 and row[4] == 0.0 for row in jac)
    assert any(row[0] != 0.0 for row in jac)


def test_parallel_jacobian_equals_the_sequential_central_differences():
    # Enough work for the worker pool: columns must still come back in order
    # and bit-identical to differences of residuals evaluated one by one.
    c = kv.Circuit("sei_randles_wo")
    values = [5.0, 20.0, 1e-4, 0.85, 30.0, 2.0, 1.0, 1e-3, 0.8]
    freqs = np.logspace(-2, 6, 3000)
    z = measured(c, values, freqs)
    jac = np.array(c.jacobian(values, freqs, z))
    for k, x in enumerate(values):
        h = CBRT_EPS * max(abs(x), 1e-8)
        up, down = list(values), list(values)
        up[k] += h
        down[k] -= h
        expected = (np.array(c.residuals(up, freqs, z)) - np.array(c.residuals(down, freqs, z))) / (h + h)
        np.testing.assert_array_equal(jac[:, k], expected)
    np.testing.assert_array_equal(jac, np.array(c.jacobian(values, freqs, z)))


def test_jacobian_agrees_with_the_analytic_derivative():
    z = measured()
    jac = np.array(RC.jacobian(RC_VALUES, F, z, weight="unit"))
    w = 6.283185307179586 * F
    r0, r1, c1 = RC_VALUES
    d = 1 + 1j * w * r1 * c1
    analytic = np.column_stack([np.ones_like(w), 1 / d**2, -1j * w * r1**2 / d**2])
    # Rounding in the differences is about eps |r| / h, 1e-4 here in absolute terms.
    np.testing.assert_allclose(jac[0::2], analytic.real, rtol=1e-6, atol=1e-3)
    np.testing.assert_allclose(jac[1::2], analytic.imag, rtol=1e-6, atol=1e-3)


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_empty_spectrum_gives_an_empty_list(method):
    # Even a too-short vector: with no points nothing is evaluated.
    assert getattr(RC, method)(RC_VALUES, [], []) == []
    assert getattr(RC, method)([], [], []) == []


def test_empty_params_jacobian_is_an_empty_list():
    assert RC.jacobian([], F, measured()) == []


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
@pytest.mark.parametrize("params", [[1.0, 2.0], [1.0]])
def test_too_short_vector_is_a_value_error(method, params):
    # The caller's mistake, caught by an ordinary ``except Exception``.
    with pytest.raises(ValueError, match=f"^expected 3 parameter values, got {len(params)}$"):
        getattr(RC, method)(params, F, measured())
    with pytest.raises(ValueError):
        RC.residuals([], F, measured())


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
def test_weight_errors(method):
    call = getattr(RC, method)
    with pytest.raises(ValueError) as info:
        call(RC_VALUES, F, measured(), weight="Modulus")
    assert str(info.value) == 'unknown weight scheme "Modulus", expected "modulus" or "unit"'
    with pytest.raises(TypeError, match="^argument 'weight': "):
        call(RC_VALUES, F, measured(), weight=None)
    # Spectrum errors come before the weight scheme; params errors first of all.
    with pytest.raises(ValueError, match="same length"):
        call(RC_VALUES, F, measured()[:-1], weight="bad")
    with pytest.raises(TypeError, match="^argument 'params': "):
        call("abc", F, [1.0], weight="bad")


def test_non_finite_values_propagate():
    r = RC.residuals([math.inf, 50.0, 1e-5], F[:2], measured()[:2])
    assert math.isinf(r[0]) and r[1] == pytest.approx(RC.residuals(RC_VALUES, F[:2], measured()[:2])[1])
    assert all(math.isnan(v) for v in RC.residuals([math.nan] * 3, F[:2], measured()[:2]))


def test_dataframe_input():
    z = measured()
    frame = {"frequency_hertz": list(F), "real_impedance_ohm": list(z.real), "imaginary_impedance_ohm": list(z.imag)}
    assert RC.residuals(RC_VALUES, frame) == RC.residuals(RC_VALUES, F, z)
    assert RC.jacobian(RC_VALUES, frame, None, "unit") == RC.jacobian(RC_VALUES, F, z, "unit")


def test_concurrent_parallel_jacobians_agree():
    # Several interpreter threads share the worker pool at once.
    import threading

    c = kv.Circuit("randles")
    values = [10.0, 50.0, 100.0, 1e-5, 0.85]
    freqs = np.logspace(-2, 6, 4000)
    z = measured(c, values, freqs)
    expected = c.jacobian(values, freqs, z)
    results = [None] * 3

    def work(i):
        results[i] = c.jacobian(values, freqs, z)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)
