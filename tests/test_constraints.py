"""Custom bounds and fixed parameters: the rules of with_bounds/with_fixed,
and every fit method honouring them."""
import math

import numpy as np
import pytest

import kelvora as kv

F = np.logspace(-1, 5, 40)
RQ = "R0-(R1,CPE1)"
TRUE = [10.0, 50.0, 1e-5, 0.85]
Z = kv.Circuit(RQ).with_values(TRUE).impedance(F) * (1 + 0.01 * np.sin(np.arange(len(F))))


def start():
    return kv.Circuit(RQ).with_values([5.0, 20.0, 1e-4, 0.7])


def test_bounds_and_fixed_set_are_reported_and_kept():
    c = start().with_bounds({"CPE1.alpha": (0.5, 1.0), "R1.r": (0, 1e3)}).with_fixed({"R0.r": 0.0158})
    assert c.param_bounds() == [(1e-12, math.inf), (0.0, 1000.0), (1e-12, math.inf), (0.5, 1.0)]
    assert c.fixed_params() == ["R0.r"] and c.param_values()[0] == 0.0158
    # Current values, added to the set; rebuilding and combining keep everything.
    c2 = c.with_fixed(["CPE1.alpha"])
    assert c2.fixed_params() == ["R0.r", "CPE1.alpha"] and c2.param_values() == c.param_values()
    assert c.with_values([1, 2, 3, 0.9]).fixed_params() == ["R0.r"]
    moved = c.with_values([0.5, 2, 3, 0.9])  # a fixed value may move within its bounds
    assert kv.Circuit.from_dict(moved.to_dict()) == moved
    assert c.with_named_values(dict(zip(c.param_names(), TRUE))).param_bounds() == c.param_bounds()
    s = kv.Series([kv.Circuit("R9"), c])
    assert s.fixed_params() == ["R0.r"] and s.param_bounds()[1:] == c.param_bounds()
    assert kv.Parallel([c, kv.C(1e-6)]).param_bounds()[:4] == c.param_bounds()
    # The flag is the circuit's own: a text circuit still starts from a guess.
    assert kv.Circuit(RQ).with_fixed(["R0.r"]).to_dict()["explicit_values"] is False


@pytest.mark.parametrize("call, message", [
    (lambda c: c.with_bounds({"R0.r": (-1.0, 10.0)}), r'bounds of "R0.r" must lie within \[0, inf\], got \(-1, 10\)'),
    (lambda c: c.with_bounds({"CPE1.alpha": (0.5, 1.5)}), r'bounds of "CPE1.alpha" must lie within \[0, 1\]'),
    (lambda c: c.with_bounds({"R1.r": (5.0, 5.0)}), 'lower bound of "R1.r" must be below its upper bound'),
    (lambda c: c.with_bounds({"R1.r": (math.nan, 5.0)}), 'bounds of "R1.r" must not be NaN'),
    (lambda c: c.with_bounds({"R1.rr": (0.0, 5.0)}), r'unknown parameter "R1.rr" \(did you mean "R1.r"\?\)'),
    (lambda c: c.with_fixed(["CPE1.alfa"]), r'unknown parameter "CPE1.alfa" \(did you mean "CPE1.alpha"\?\)'),
    (lambda c: c.with_fixed({"CPE1.alpha": 1.2}), r'fixed value of "CPE1.alpha" lies outside its bounds \(0, 1\): 1.2'),
    (lambda c: c.with_fixed({"R0.r": math.nan}), 'fixed value of "R0.r" must not be NaN'),
    (lambda c: c.with_fixed({"R0.r": math.inf}), 'fixed value of "R0.r" must be finite, got inf'),
    (lambda c: c.with_values([math.inf, 2.0, 3.0, 0.9]).with_fixed(["R0.r"]), 'fixed value of "R0.r" must be finite'),
    (lambda c: c.with_fixed(["R0.r"]).with_bounds({"R0.r": (6.0, 9.0)}), 'fixed value of "R0.r" lies outside'),
    # New values keep the rules of the fixed set, or the circuit would save
    # and then refuse to load, and a fit would move the "fixed" value.
    (lambda c: c.with_bounds({"R0.r": (1.0, 8.0)}).with_fixed(["R0.r"]).with_values([1e3, 2.0, 3.0, 0.9]),
     r'fixed value of "R0.r" lies outside its bounds \(1, 8\): 1000'),
    (lambda c: c.with_fixed(["R0.r"]).with_values([math.nan, 2.0, 3.0, 0.9]), 'fixed value of "R0.r" must not be NaN'),
    (lambda c: c.with_fixed(["R0.r"]).with_values([math.inf, 2.0, 3.0, 0.9]), 'fixed value of "R0.r" must be finite'),
    (lambda c: c.with_fixed(["CPE1.alpha"]).with_named_values({"R0.r": 1.0, "R1.r": 2.0, "CPE1.q": 3.0,
                                                              "CPE1.alpha": 1.5}),
     r'fixed value of "CPE1.alpha" lies outside its bounds \(0, 1\): 1.5'),
])
def test_constraint_rules_name_the_parameter(call, message):
    with pytest.raises(ValueError, match=message):
        call(start())


@pytest.mark.parametrize("call", [
    lambda c: c.with_bounds([("R0.r", (0, 1))]),
    lambda c: c.with_bounds({"R0.r": 5.0}),
    lambda c: c.with_fixed("R0.r"),
    lambda c: c.with_fixed([1]),
    lambda c: c.with_fixed({"R0.r": "x"}),
])
def test_constraint_arguments_of_the_wrong_type_are_type_errors(call):
    with pytest.raises(TypeError):
        call(start())


METHODS = {
    "levenberg_marquardt": {},
    "nelder_mead": {},
    "particle_swarm": dict(seed=1, num_particles=30, generations=60),
    "simulated_annealing": dict(seed=1, sa_iterations=800),
    "differential_evolution": dict(de_evaluations=3000),
    "basin_hopping": dict(seed=1, basin_hopping_hops=3),
    "multi_start": dict(seed=1),
}


@pytest.mark.parametrize("method", METHODS)
def test_every_method_leaves_fixed_parameters_and_keeps_custom_bounds(method):
    c = start().with_fixed({"R0.r": 10.25}).with_bounds({"CPE1.alpha": (0.5, 0.8), "R1.r": (1.0, 500.0)})
    r = c.fit(F, Z, method=method, **METHODS[method])
    assert r.params["R0.r"] == 10.25 and r.stderr["R0.r"] == 0.0
    assert 0.5 <= r.params["CPE1.alpha"] <= 0.8 and 1.0 <= r.params["R1.r"] <= 500.0
    assert r.circuit.fixed_params() == ["R0.r"] and r.circuit.param_bounds() == c.param_bounds()
    # The true alpha lies above the box, so the best fit sits on its edge.
    assert r.params["CPE1.alpha"] == pytest.approx(0.8, abs=1e-6)


@pytest.mark.parametrize("method", ["levenberg_marquardt", "nelder_mead", "basin_hopping", "multi_start"])
def test_fixed_series_resistance_equals_fitting_the_rest_to_the_data_minus_it(method):
    # With unit weights the residuals of R0 + Z_rq(p) - z and Z_rq(p) - (z - R0)
    # are the same function of the free parameters.
    r0 = 10.0
    fixed = start().with_fixed({"R0.r": r0}).fit(F, Z, weight="unit", method=method, **METHODS[method])
    rest = kv.Circuit("(R1,CPE1)").with_values([20.0, 1e-4, 0.7]).fit(F, Z - r0, weight="unit", method=method,
                                                                          **METHODS[method])
    free = {k: v for k, v in fixed.params.items() if k != "R0.r"}
    np.testing.assert_allclose(list(free.values()), list(rest.params.values()), rtol=1e-6)
    assert fixed.cost == pytest.approx(rest.cost, rel=1e-8)
    np.testing.assert_allclose([fixed.stderr[k] for k in free], list(rest.stderr.values()), rtol=1e-4)


def test_every_parameter_fixed_reports_the_statistics_at_the_given_values():
    c = start().with_fixed(["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"])
    r = c.fit(F, Z)
    assert r.params == dict(zip(c.param_names(), c.param_values())) and r.iterations == 0
    assert set(r.stderr.values()) == {0.0}
    assert r.cost == pytest.approx(0.5 * np.sum(np.square(c.residuals(c.param_values(), F, Z))), rel=1e-14)


def test_a_guess_proposes_only_the_free_parameters():
    text = kv.Circuit("R0-(R1,C1)")  # a trained topology: fit() guesses
    z = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5]).impedance(F)
    guess = text.guess(F, z)
    r = text.with_fixed({"R0.r": 9.5}).fit(F, z)
    assert r.params["R0.r"] == 9.5
    assert r.initial.param_values() == [9.5] + guess[1:]
