"""Nelder-Mead and the particle swarm replayed step by step through fit().

An independent pure-Python walk of each search (the simplex moves and their
coefficients, the swarm's inertia, pulls, draw order and box limits) over
the same search cost predicts every point the search evaluates; the fit then
hands the predicted best point to its polish, which is replayed as a fit of
its own.  The circuit mixes decade-searched parameters with a linear one
(the CPE exponent in [0, 1]) so both coordinate kinds take part.
"""
import functools
import math

import numpy as np
import pytest

import kelvora as kv
from test_global_rng import chacha12_words, pcg32_key

FREQS = [10.0 ** (5 - 0.25 * k) for k in range(29)]
TRUTH = [10.0, 100.0, 50.0, 1e-5, 0.85]
START = [20.0, 50.0, 20.0, 3e-5, 0.7]


@pytest.fixture(scope="module")
def case():
    circuit = kv.Circuit("randles")
    z = list(np.asarray(circuit.with_values(TRUTH).impedance(FREQS)))
    return circuit.with_values(START), z


class Cost:
    """Half the sum of squared residuals at search coordinates, counting calls."""

    def __init__(self, circuit, z):
        self.circuit, self.z, self.bounds, self.calls = circuit, z, circuit.param_bounds(), 0

    def physical(self, zs):
        return [v if math.isfinite(hi) else 10.0 ** v + lo for v, (lo, hi) in zip(zs, self.bounds)]

    def coordinates(self, xs):
        return [x if math.isfinite(hi) else math.log10(max(x - lo, 1e-300)) for x, (lo, hi) in zip(xs, self.bounds)]

    def __call__(self, zs):
        self.calls += 1
        total = 0.0
        for v in self.circuit.residuals(self.physical(zs), FREQS, self.z):
            total += v * v
        return 0.5 * total


def by_cost(items):
    """Stable sort on a plain less-than of the costs."""
    return sorted(items, key=functools.cmp_to_key(lambda a, b: -1 if a[1] < b[1] else (1 if b[1] < a[1] else 0)))


def nelder_mead_walk(cost, z0, limit):
    n = len(z0)
    simplex = [list(z0)]
    for i in range(n):
        v = list(z0)
        v[i] += 0.1 * abs(z0[i]) if abs(z0[i]) > 1e-8 else 0.1
        simplex.append(v)
    simplex = by_cost([(v, cost(v)) for v in simplex])
    best, best_cost = simplex[0]
    steps = 0
    while True:
        mean = sum(c for _, c in simplex) / (n + 1)
        if math.sqrt(sum((c - mean) ** 2 for _, c in simplex) / n) < 2.0 ** -52 or steps >= limit:
            return best, best_cost, steps
        c0, c_second, c_worst = simplex[0][1], simplex[n - 1][1], simplex[n][1]
        worst = simplex[n][0]
        centroid = [0.0] * n
        for j in range(n):
            for i in range(n):
                centroid[i] += simplex[j][0][i]
        centroid = [c * (1.0 / n) for c in centroid]

        def toward(a, b, k):
            return [a[i] + k * (b[i] - a[i]) for i in range(n)]

        reflected = [centroid[i] + 1.0 * (centroid[i] - worst[i]) for i in range(n)]
        cr = cost(reflected)
        shrink = False
        if c0 <= cr < c_second:
            simplex[n] = (reflected, cr)
        elif cr < c0:
            expanded = toward(centroid, reflected, 2.0)
            ce = cost(expanded)
            simplex[n] = (expanded, ce) if ce < cr else (reflected, cr)
        elif cr < c_worst:
            contracted = toward(centroid, reflected, 0.5)
            cc = cost(contracted)
            shrink = not cc <= cr
            if not shrink:
                simplex[n] = (contracted, cc)
        else:
            contracted = toward(centroid, worst, 0.5)
            cc = cost(contracted)
            shrink = not cc < c_worst
            if not shrink:
                simplex[n] = (contracted, cc)
        if shrink:
            for j in range(1, n + 1):
                v = toward(simplex[0][0], simplex[j][0], 0.5)
                simplex[j] = (v, cost(v))
        simplex = by_cost(simplex)
        if simplex[0][1] < best_cost:
            best, best_cost = simplex[0]
        steps += 1


class Draws:
    def __init__(self, seed, words=20000):
        self.words, self.used = chacha12_words(pcg32_key(seed), words), 0

    def unit(self):
        v = self.words[self.used] | self.words[self.used + 1] << 32
        self.used += 2
        return (v >> 12) / 2.0 ** 52

    def between(self, a, b):
        if a == b:
            return a
        lo, hi = min(a, b), max(a, b)
        return lo + (hi - lo) * self.unit()


def swarm_walk(cost, lower, upper, particles, generations, seed):
    w, c1, c2 = 0.7213475204444817, 1.1931471805599454, 1.1931471805599454
    draws = Draws(seed)
    n = len(lower)
    pos = [[draws.between(lower[i], upper[i]) for i in range(n)] for _ in range(particles)]
    vel = [[draws.between(-(upper[i] - lower[i]), upper[i] - lower[i]) for i in range(n)] for _ in range(particles)]
    swarm = [[p, v, cost(p)] for p, v in zip(pos, vel)]
    swarm = [s + [list(s[0]), s[2]] for s in swarm]  # position, velocity, cost, personal best, its cost
    swarm = [s for s, _ in by_cost([(s, s[2]) for s in swarm])]
    g, g_cost = list(swarm[0][0]), swarm[0][2]
    for _ in range(generations):
        for s in swarm:
            cognitive = [c1 * draws.between(0.0, s[3][i] - s[0][i]) for i in range(n)]
            social = [c2 * draws.between(0.0, g[i] - s[0][i]) for i in range(n)]
            for i in range(n):
                s[1][i] = w * s[1][i] + cognitive[i] + social[i]
                moved = s[0][i] + s[1][i]
                above = moved if moved > lower[i] else lower[i]
                s[0][i] = above if above < upper[i] else upper[i]
        for s in swarm:
            s[2] = cost(s[0])
        for s in swarm:
            if s[2] < s[4]:
                s[3], s[4] = list(s[0]), s[2]
                if s[2] < g_cost:
                    g, g_cost = list(s[0]), s[2]
    return g, g_cost


def search_box(circuit):
    lower, upper = [], []
    for (lo, hi), x in zip(circuit.param_bounds(), circuit.param_values()):
        if math.isfinite(hi):
            lower.append(lo)
            upper.append(hi)
        else:
            a = max(abs(x), 1e-6)
            lower.append(math.log10(max(max(a * 1e-4, lo) - lo, 1e-300)))
            upper.append(math.log10(max(a * 1e4 - lo, 1e-300)))
    return lower, upper


def check_handover(result, start, z, cost, best, best_cost, search_iterations):
    """The polish starts from the predicted best point; the better of the two is reported."""
    p = len(start.param_names())
    polish = start.with_values(cost.physical(best)).fit(FREQS, z, guess_init=False)
    assert result.impedance_evals == cost.calls + (1 + 2 * p) + polish.impedance_evals
    if math.isfinite(polish.cost) and polish.cost <= best_cost:
        assert (result.params, result.iterations, result.success) == (polish.params, polish.iterations,
                                                                     polish.success)
    else:
        assert (result.iterations, result.success) == (search_iterations, True)


@pytest.mark.parametrize("limit", [1, 7, 40, 2000])
def test_nelder_mead_replayed(case, limit):
    start, z = case
    cost = Cost(start, z)
    best, best_cost, steps = nelder_mead_walk(cost, cost.coordinates(start.param_values()), limit)
    assert steps <= limit
    r = start.fit(FREQS, z, guess_init=False, method="nelder_mead", nelder_mead_iterations=limit)
    check_handover(r, start, z, cost, best, best_cost, steps)


@pytest.mark.parametrize("seed, particles, generations", [(3, 6, 4), (2**64 - 1, 4, 9)])
def test_particle_swarm_replayed(case, seed, particles, generations):
    start, z = case
    cost = Cost(start, z)
    lower, upper = search_box(start)
    best, best_cost = swarm_walk(cost, lower, upper, particles, generations, seed)
    assert cost.calls == particles * (1 + generations)
    r = start.fit(FREQS, z, guess_init=False, method="particle_swarm", num_particles=particles,
                  generations=generations, seed=seed)
    check_handover(r, start, z, cost, best, best_cost, generations)
