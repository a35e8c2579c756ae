"""Global searches on multimodal spectra, against SciPy's global optimisers.

Two synthetic cases where Levenberg-Marquardt from a poor start fails:

  * "two_rq": R0-(R1,CPE1)-(R2,CPE2), a small arc (3 to 10 ohm) and a large
    one (300 to 1000 ohm) a decade apart in time constant;
  * "sei_randles_wo": R0-(R1,CPE1)-(R2-Wo2,CPE2), an SEI arc a decade or more
    above the charge-transfer arc, with an open Warburg tail.

Each spectrum (71 points, 100 kHz to 10 mHz) carries 0.2 % complex noise.
The reference is an LM fit started from the true values; a fit succeeds
when its cost is within 1 % of the reference cost (or lower).  Every fit
starts from the catalog defaults with guess_init=False.

kelvora's six methods run with their default settings.  The SciPy peers
(differential_evolution, dual_annealing, basinhopping) drive kelvora's own
Circuit.residuals over the same search coordinates (decades for parameters
without a finite upper bound) and the same box as kelvora's particle swarm
and differential evolution, at the same evaluation budget:

  * differential_evolution: 10 x 20000 evaluations (kelvora's ten runs),
    population 15 x dim, tol = 0 so that it spends the whole budget as
    kelvora's does, L-BFGS-B polish;
  * dual_annealing: 5000 evaluations, started at the same point;
  * basinhopping: 20 hops, step 1.0, T = 1.0, L-BFGS-B local minimiser.

Run: python bench/bench_global.py [--spectra 50] [--scipy-spectra N]
"""
import argparse
import math
import statistics
import sys
import time

import numpy as np
from scipy import optimize

import kelvora as kv

TWO_PI = 6.283185307179586
FREQS = [10.0 ** (5 - 0.1 * k) for k in range(71)]


def impedance(circuit, values):
    return np.asarray(circuit.with_values(values).impedance(FREQS))


def two_rq_truth(rng):
    r0 = 10 ** rng.uniform(0, 1.5)
    r1 = 10 ** rng.uniform(0.5, 1.0)
    r2 = 10 ** rng.uniform(2.5, 3.0)
    a1, a2 = rng.uniform(0.75, 0.95, size=2)
    tau1 = 10 ** rng.uniform(-5, -3)
    tau2 = tau1 * 10.0  # a decade apart
    return [r0, r1, tau1 ** a1 / r1, a1, r2, tau2 ** a2 / r2, a2]


def sei_randles_wo_truth(rng):
    r0 = 10 ** rng.uniform(0, 1.3)
    r_sei = 10 ** rng.uniform(0.7, 2.0)
    a1 = rng.uniform(0.7, 0.95)
    tau1 = 10 ** rng.uniform(-6, -4.5)
    r_ct = 10 ** rng.uniform(1.3, 2.5)
    a2 = rng.uniform(0.75, 0.95)
    tau2 = tau1 * 10 ** rng.uniform(1.0, 2.0)
    z0 = 10 ** rng.uniform(0.7, 2.0)
    tau_w = 10 ** rng.uniform(0, 2)
    return [r0, r_sei, tau1 ** a1 / r_sei, a1, r_ct, z0, tau_w, tau2 ** a2 / r_ct, a2]


CASES = {"two_rq": two_rq_truth, "sei_randles_wo": sei_randles_wo_truth}
METHODS = ["levenberg_marquardt", "nelder_mead", "particle_swarm", "simulated_annealing",
           "differential_evolution", "basin_hopping"]


def make_spectrum(name, k):
    rng = np.random.default_rng(1000 + k)
    circuit = kv.Circuit(name)
    truth = CASES[name](rng)
    z = impedance(circuit, truth)
    noise = 0.002 * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))
    return truth, list(z + noise)


# ---- The search coordinates and box, as kelvora's searches use them ----------

def search_box(bounds, start):
    lower, upper = [], []
    for (lo, hi), x in zip(bounds, start):
        if math.isfinite(hi):
            lower.append(lo)
            upper.append(hi)
        else:
            a = max(abs(x), 1e-6)
            lower.append(math.log10(max(max(a * 1e-4, lo) - lo, 1e-300)))
            upper.append(math.log10(max(a * 1e4 - lo, 1e-300)))
    return list(zip(lower, upper))


def to_search(bounds, x):
    return np.array([v if math.isfinite(hi) else math.log10(max(v - lo, 1e-300)) for (lo, hi), v in zip(bounds, x)])


class Cost:
    """Half the sum of squared residuals from kelvora's Circuit.residuals."""

    def __init__(self, circuit, z):
        self.circuit = circuit
        self.bounds = circuit.param_bounds()
        self.open = np.array([not math.isfinite(hi) for _, hi in self.bounds])
        self.lower = np.array([lo for lo, _ in self.bounds])
        self.z = z
        self.evals = 0

    def physical(self, s):
        s = np.asarray(s, dtype=float)
        return np.where(self.open, 10.0 ** s + self.lower, s)

    def __call__(self, s):
        self.evals += 1
        r = np.asarray(self.circuit.residuals(self.physical(s).tolist(), FREQS, self.z))
        c = 0.5 * float(r @ r)
        return c if math.isfinite(c) else 1e300


def scipy_de(circuit, z, seed):
    cost = Cost(circuit, z)
    box = search_box(cost.bounds, circuit.param_values())
    dim = len(box)
    popsize = 15
    maxiter = 200000 // (popsize * dim) - 1
    r = optimize.differential_evolution(cost, box, maxiter=maxiter, popsize=popsize, seed=seed, polish=True,
                                        tol=0.0, atol=0.0)
    return r.fun, cost.evals


def scipy_dual_annealing(circuit, z, seed):
    cost = Cost(circuit, z)
    box = search_box(cost.bounds, circuit.param_values())
    x0 = np.clip(to_search(cost.bounds, circuit.param_values()), [b[0] for b in box], [b[1] for b in box])
    r = optimize.dual_annealing(cost, box, maxfun=5000, seed=seed, x0=x0)
    return r.fun, cost.evals


def scipy_basinhopping(circuit, z, seed):
    cost = Cost(circuit, z)
    x0 = to_search(cost.bounds, circuit.param_values())
    r = optimize.basinhopping(cost, x0, niter=20, T=1.0, stepsize=1.0, seed=seed,
                              minimizer_kwargs={"method": "L-BFGS-B"})
    return r.fun, cost.evals


SCIPY = {"differential_evolution": scipy_de, "dual_annealing": scipy_dual_annealing,
         "basinhopping": scipy_basinhopping}
PEER = {"differential_evolution": "differential_evolution", "simulated_annealing": "dual_annealing",
        "basin_hopping": "basinhopping"}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--spectra", type=int, default=50, help="synthetic spectra per case")
    ap.add_argument("--scipy-spectra", type=int, default=None,
                    help="spectra for the SciPy peers (default: the same as --spectra)")
    ap.add_argument("--cases", nargs="*", default=list(CASES), choices=list(CASES), help="cases to run (default: all)")
    args = ap.parse_args()
    n_scipy = args.spectra if args.scipy_spectra is None else args.scipy_spectra

    for name in args.cases:
        rows = {}
        errors = {}
        for k in range(args.spectra):
            truth, z = make_spectrum(name, k)
            circuit = kv.Circuit(name)
            ref = circuit.with_values(truth).fit(FREQS, z, guess_init=False).cost
            target = ref * 1.01

            def record(label, cost, seconds, evals):
                ok, times, ev = rows.setdefault(label, ([], [], []))
                ok.append(cost <= target)
                times.append(seconds)
                ev.append(evals)

            for m in METHODS:
                t0 = time.perf_counter()
                try:
                    res = circuit.fit(FREQS, z, guess_init=False, method=m, seed=k)
                    cost, evals = res.cost, res.impedance_evals
                except ValueError as e:  # a search that ended in an error counts as a failure
                    errors.setdefault("kelvora " + m, []).append(str(e))
                    cost, evals = math.inf, 0
                record("kelvora " + m, cost, time.perf_counter() - t0, evals)
            if k < n_scipy:
                for label, fn in SCIPY.items():
                    t0 = time.perf_counter()
                    cost, evals = fn(circuit, z, k)
                    record("scipy " + label, cost, time.perf_counter() - t0, evals)
            print(f"  {name}: spectrum {k + 1}/{args.spectra} done", file=sys.stderr, flush=True)

        print(f"\n{name}: {args.spectra} spectra (SciPy peers on {min(n_scipy, args.spectra)}), "
              "success = cost within 1% of LM from the true values")
        print(f"  {'method':38s} {'success':>9s} {'median time':>12s} {'median evals':>13s} {'us/eval':>8s}")
        for label, (ok, times, ev) in rows.items():
            share = f"{sum(ok)}/{len(ok)}"
            # kelvora's basin hopping counts only its final statistics as
            # impedance evaluations, so no rate is shown for it.
            rates = [t / e for t, e in zip(times, ev) if e]
            per_eval = "-" if label.endswith("basin_hopping") or not rates else \
                f"{statistics.median(rates) * 1e6:.1f}"
            print(f"  {label:38s} {share:>9s} {statistics.median(times) * 1e3:9.1f} ms {statistics.median(ev):13.0f}"
                  f" {per_eval:>8s}")
        for label, messages in errors.items():
            print(f"  {label}: {len(messages)} fit(s) ended in an error, e.g. {messages[0]}")
        for ours, theirs in PEER.items():
            a, b = rows["kelvora " + ours], rows.get("scipy " + theirs)
            if not b:
                continue
            m = len(b[0])
            share_a = sum(a[0][:m]) / m
            share_b = sum(b[0]) / m
            speed = statistics.median(b[1]) / statistics.median(a[1][:m])
            print(f"  {ours} vs scipy {theirs}: success {share_a:.0%} vs {share_b:.0%} on the same "
                  f"{m} spectra, median time per fit {speed:.1f}x lower")


if __name__ == "__main__":
    main()
