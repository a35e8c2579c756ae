"""Levenberg-Marquardt fits against impedance.py's CustomCircuit.fit.

Both libraries fit the same synthetic spectra (60 points, 10 mHz to 100 kHz,
1 % complex noise) from the same starting values, with modulus weighting
(impedance.py: weight_by_modulus=True, its scipy curve_fit/TRF fit with its
default bounds; kelvora: Circuit.fit(guess_init=False), weight "modulus").

Circuits and their impedance.py spellings (same parameter order and
conventions: CPE (Q, alpha), W (Aw), Wo (Z0, tau)):
  R0-(R1,C1)      R0-p(R1,C1)
  randles         R0-p(R1-W1,CPE1)
  sei_randles_wo  R0-p(R1,CPE1)-p(R2-Wo2,CPE2)

Reported per circuit:
  * median wall time per fit and the speed ratio;
  * the share of spectra where kelvora's final cost is no worse than
    impedance.py's (both costs computed by the same function, 0.5 sum r^2
    of the modulus-weighted residuals, relative tolerance 1e-6), and the
    shares where either ends more than 1 % above the other (a different
    local minimum);
  * impedance evaluations per fit (median; impedance.py: calls of its
    circuit function, each over the whole spectrum);
  * time per impedance evaluation (fit time over evaluations, median).

With --realdata, the same comparison runs on measured spectra (every
eighth file of ../shared/realdata/spectra, relative to the repository), both
libraries starting from kelvora's guessed values.

Run: python bench/bench_fit.py [--spectra 40] [--seed 1] [--realdata]
Needs the optional `bench` extra (impedance==1.7.1).
"""
import argparse
import csv
import glob
import os
import statistics
import sys
import time
import warnings

import numpy as np

import kelvora as kv

CustomCircuit = impy_fitting = None  # impedance.py, imported once the arguments are read


def import_peer():
    global CustomCircuit, impy_fitting
    try:
        from impedance.models.circuits import CustomCircuit
        from impedance.models.circuits import fitting as impy_fitting
    except ImportError:  # pragma: no cover
        sys.exit("impedance.py is needed: pip install '.[bench]'")

FREQS = np.logspace(-2, 5, 60)

CASES = {
    # kelvora circuit: (impedance.py string, nominal values, indices of exponents)
    "R0-(R1,C1)": ("R0-p(R1,C1)", [10.0, 50.0, 1e-5], []),
    "randles": ("R0-p(R1-W1,CPE1)", [10.0, 50.0, 100.0, 1e-5, 0.85], [4]),
    "sei_randles_wo": ("R0-p(R1,CPE1)-p(R2-Wo2,CPE2)", [5.0, 20.0, 1e-4, 0.85, 30.0, 20.0, 1.0, 1e-3, 0.8],
                       [3, 8]),
}


class EvaluationCount:
    """Counts calls of impedance.py's wrapped circuit function."""

    def __init__(self):
        self.calls = 0
        self._original = impy_fitting.wrapCircuit

        def counting_wrap(circuit, constants):
            fn = self._original(circuit, constants)

            def counted(f, *params):
                self.calls += 1
                return fn(f, *params)

            return counted

        impy_fitting.wrapCircuit = counting_wrap


def draw(rng, nominal, exponents, spread):
    values = []
    for i, v in enumerate(nominal):
        if i in exponents:
            values.append(float(np.clip(v + rng.uniform(-0.1, 0.1), 0.5, 0.99)))
        else:
            values.append(float(v * 10 ** rng.uniform(-spread, spread)))
    return values


def cost(circuit, values, z, freqs=FREQS):
    r = np.asarray(circuit.residuals(values, freqs, z))
    return 0.5 * float(np.sum(r * r))


def compare(circuit, impy_string, start, freqs, z, counter):
    """One fit by each library from the same start; (times, costs, evaluations, success)."""
    t0 = time.perf_counter()
    result = circuit.with_values(start).fit(freqs, z, guess_init=False)
    t_kv = time.perf_counter() - t0
    kv_cost = cost(circuit, list(result.params.values()), z, freqs)

    model = CustomCircuit(impy_string, initial_guess=list(start))
    counter.calls = 0
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model.fit(np.asarray(freqs), np.asarray(z), weight_by_modulus=True)
        impy_cost = cost(circuit, [float(v) for v in model.parameters_], z, freqs)
    except Exception:  # impedance.py raises when curve_fit gives up
        impy_cost = float("inf")
    t_impy = time.perf_counter() - t0
    return (t_kv, t_impy, kv_cost, impy_cost, result.impedance_evals, counter.calls, result.success)


def run_case(name, impy_string, nominal, exponents, spectra, rng, counter):
    circuit = kv.Circuit(name)
    rows = []
    for _ in range(spectra):
        truth = draw(rng, nominal, exponents, 0.3)
        start = draw(rng, truth, exponents, 0.3)
        z0 = circuit.with_values(truth).impedance(FREQS)
        z = z0 + 0.01 * np.abs(z0) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))

        rows.append(compare(circuit, impy_string, start, FREQS, z, counter))
    return rows


def realdata_rows(name, impy_string, counter):
    root = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "..", "shared", "realdata")
    files = sorted(glob.glob(os.path.join(root, "spectra", "*.csv")))[::8]
    circuit = kv.Circuit(name)
    rows = []
    for path in files:
        with open(path, newline="") as fh:
            data = list(csv.DictReader(fh))
        freqs = [float(r["frequency_hertz"]) for r in data]
        z = [complex(float(r["real_impedance_ohm"]), float(r["imaginary_impedance_ohm"])) for r in data]
        rows.append(compare(circuit, impy_string, circuit.guess(freqs, z), freqs, z, counter))
    return rows


def report(name, rows):
    t_kv = statistics.median(r[0] for r in rows)
    t_impy = statistics.median(r[1] for r in rows)
    no_worse = sum(1 for r in rows if r[2] <= r[3] * (1 + 1e-6)) / len(rows)
    kv_worse = sum(1 for r in rows if r[2] > r[3] * 1.01) / len(rows)
    impy_worse = sum(1 for r in rows if r[3] > r[2] * 1.01) / len(rows)
    kv_success = sum(1 for r in rows if r[6]) / len(rows)
    kv_evals = statistics.median(r[4] for r in rows)
    impy_evals = statistics.median(r[5] for r in rows)
    kv_per_eval = statistics.median(r[0] / r[4] for r in rows) * 1e6
    impy_per_eval = statistics.median(r[1] / max(r[5], 1) for r in rows) * 1e6
    print(f"{name:<16}{t_kv * 1e3:>11.3f}{t_impy * 1e3:>10.2f}{t_impy / t_kv:>9.0f}x{no_worse:>10.0%}"
          f"{kv_worse:>13.0%}{impy_worse:>15.0%}{kv_success:>11.0%}"
          f"{kv_evals:>10.0f}{impy_evals:>11.0f}{kv_per_eval:>12.2f}{impy_per_eval:>13.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--realdata", action="store_true", help="also compare on measured spectra")
    args = parser.parse_args()
    import_peer()
    counter = EvaluationCount()
    rng = np.random.default_rng(args.seed)

    # Warm up both libraries (imports, worker pool, first-call costs).
    kv.Circuit("R0-(R1,C1)").with_values([1.0, 1.0, 1e-3]).fit(FREQS, np.ones(60, complex), guess_init=False)

    print(f"{args.spectra} spectra per circuit, 60 points, 1% noise, modulus weighting, same starts\n")
    header = (f"{'circuit':<16}{'kelvora ms':>11}{'impy ms':>10}{'speed-up':>10}{'no worse':>10}"
              f"{'kv >1% worse':>13}{'impy >1% worse':>15}{'kv success':>11}"
              f"{'kv evals':>10}{'impy evals':>11}{'kv us/eval':>12}{'impy us/eval':>13}")
    print(header)
    print("-" * len(header))
    for name, (impy_string, nominal, exponents) in CASES.items():
        rows = run_case(name, impy_string, nominal, exponents, args.spectra, rng, counter)
        report(name, rows)
    if args.realdata:
        print("\nmeasured spectra (every eighth file), both from kelvora's guess")
        for name in ["R0-(R1,C1)", "randles"]:
            report(name, realdata_rows(name, CASES[name][0], counter))
    print("\ntargets: speed-up >= 20x, no worse on >= 95% of spectra")


if __name__ == "__main__":
    main()
