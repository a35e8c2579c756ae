"""Levenberg-Marquardt on circuit problems against SciPy's MINPACK lmder.

SciPy's leastsq is given the very problem a kelvora run solves: the weighted
residuals in search coordinates (decades for open parameters) with the
chain-rule Jacobian built from Circuit.jacobian, the same start (the cheapest
of the nine candidates) and the same settings.  Final costs must agree, and
the evaluation counts too.
"""
import math

import numpy as np
import pytest

import kelvora as kv

optimize = pytest.importorskip("scipy.optimize")

LN10 = 2.302585092994046


def candidates(x0, bounds):
    out = [list(x0) for _ in range(9)]
    for c, (scale, frac) in enumerate(zip([3.0, 0.3333333333333333, 8.0, 0.125], [0.2, 0.4, 0.6, 0.8])):
        for i, (lo, hi) in enumerate(bounds):
            if math.isfinite(hi):
                out[5 + c][i] = lo + frac * (hi - lo)
            else:
                out[1 + c][i] = x0[i] * scale
    return out


class SearchProblem:
    def __init__(self, circuit, f, z, weight):
        self.c, self.f, self.z, self.weight = circuit, f, z, weight
        self.bounds = circuit.param_bounds()

    def physical(self, zv):
        return [zi if math.isfinite(hi) else 10.0 ** zi + lo for zi, (lo, hi) in zip(zv, self.bounds)]

    def coordinates(self, x):
        return [xi if math.isfinite(hi) else math.log10(max(xi - lo, 1e-300)) for xi, (lo, hi) in zip(x, self.bounds)]

    def residuals(self, zv):
        return np.array(self.c.residuals(self.physical(zv), self.f, self.z, self.weight))

    def jacobian(self, zv):
        x = self.physical(zv)
        jac = np.array(self.c.jacobian(x, self.f, self.z, self.weight))
        for k, (lo, hi) in enumerate(self.bounds):
            if not math.isfinite(hi):
                jac[:, k] = jac[:, k] * (x[k] - lo) * LN10
        return jac

    def cost(self, x):
        r = np.array(self.c.residuals(x, self.f, self.z, self.weight))
        return 0.5 * float(np.sum(r * r))


CASES = [
    ("R0-(R1,C1)", [10.0, 50.0, 1e-5], [4.0, 120.0, 3e-6]),
    ("randles", [10.0, 50.0, 100.0, 1e-5, 0.8], [5.0, 20.0, 300.0, 1e-4, 0.7]),
    ("sei_randles_wo", [5.0, 20.0, 1e-4, 0.85, 30.0, 2.0, 1.0, 1e-3, 0.8],
     [4.0, 30.0, 2e-4, 0.8, 20.0, 3.0, 0.5, 2e-3, 0.75]),
]


@pytest.mark.parametrize("name, truth, start", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("weight", ["modulus", "unit"])
@pytest.mark.parametrize("seed", [0, 1])
def test_single_clean_run_matches_minpack(name, truth, start, weight, seed):
    rng = np.random.default_rng(seed)
    f = np.logspace(-2, 5, 60)
    z0 = kv.Circuit(name).with_values(truth).impedance(f)
    z = z0 + 0.01 * abs(z0) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
    circuit = kv.Circuit(name).with_values(start)
    problem = SearchProblem(circuit, f, z, weight)

    costs = [problem.cost(x) for x in candidates(start, problem.bounds)]
    first = candidates(start, problem.bounds)[int(np.argmin(costs))]
    p = len(start)
    zf, _, info, _, ier = optimize.leastsq(problem.residuals, problem.coordinates(first), Dfun=problem.jacobian,
                                           full_output=True, ftol=1e-8, xtol=1e-8, gtol=1e-8, maxfev=200 * (p + 1))
    reference_cost = problem.cost(problem.physical(zf))

    result = circuit.fit(f, z, weight=weight, guess_init=False)
    assert result.success == (ier in (1, 2, 3, 4))
    assert result.cost == pytest.approx(reference_cost, rel=1e-8)
    # One run from the cheapest candidate ended cleanly, so the fit's
    # iteration total is that run's function-evaluation count.
    assert result.iterations == info["nfev"]
    # Candidates, the run (its Jacobians on the counter too), the run's cost
    # and the statistics: 9 + nfev + 2p njev + 1 + (1 + 2p).
    assert result.impedance_evals == 9 + info["nfev"] + 2 * p * info["njev"] + 1 + 1 + 2 * p


def test_cost_matches_least_squares_method_lm():
    # SciPy's least_squares(method="lm") with jac scaling is the same lmder.
    f = np.logspace(-2, 5, 60)
    z = kv.Circuit("randles").with_values([10.0, 50.0, 100.0, 1e-5, 0.8]).impedance(f) * (1 + 0.01j)
    circuit = kv.Circuit("randles").with_values([5.0, 20.0, 300.0, 1e-4, 0.7])
    problem = SearchProblem(circuit, f, z, "modulus")
    costs = [problem.cost(x) for x in candidates(circuit.param_values(), problem.bounds)]
    first = candidates(circuit.param_values(), problem.bounds)[int(np.argmin(costs))]
    ref = optimize.least_squares(problem.residuals, problem.coordinates(first), jac=problem.jacobian, method="lm",
                                 x_scale="jac", ftol=1e-8, xtol=1e-8, gtol=1e-8, max_nfev=200 * 6)
    result = circuit.fit(f, z, guess_init=False)
    assert result.cost == pytest.approx(ref.cost, rel=1e-8)
