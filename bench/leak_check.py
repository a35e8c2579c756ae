"""Calls every public entry point many times, with good and bad input so
that error paths run too, and reports how the interpreter's allocated blocks
and the process's resident memory move between a warm-up round and the
measured rounds.

Run: python bench/leak_check.py [calls-per-entry-point] [--uniform]
(default 100000; heavier calls run proportionally fewer times unless --uniform)
"""
import argparse
import atexit
import gc
import os
import pickle
import shutil
import sys
import tempfile
import types
import warnings

import numpy as np

import kelvora as kv

F = np.logspace(-2, 5, 30)
CIRCUIT = kv.Circuit("rc")
TRUE = [5.0, 40.0, 2e-5]
Z = CIRCUIT.with_values(TRUE).impedance(F)
Z_LIST = Z.tolist()


# A spectrum file for the readers, and a file that is none.
_FILES = tempfile.mkdtemp(prefix="kelvora-leak-")
atexit.register(shutil.rmtree, _FILES, True)
SWEEP_CSV = os.path.join(_FILES, "sweep.csv")
NOT_A_SPECTRUM = os.path.join(_FILES, "notes.txt")
with open(SWEEP_CSV, "w") as fh:
    fh.write("frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm\n")
    fh.writelines(f"{float(f)!r},{float(z.real)!r},{float(z.imag)!r}\n" for f, z in zip(F, Z))
with open(NOT_A_SPECTRUM, "w") as fh:
    fh.write("no numbers here\n")


def rss_kb():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def expect_error(fn, *exc):
    try:
        fn()
    except exc:
        return
    raise AssertionError("expected an error")


# (name, cost weight, callable); heavier calls run proportionally fewer times
ENTRY_POINTS = [
    ("Circuit(text)", 1, lambda: kv.Circuit("R0-(R1,C1)-(R2,CPE2)")),
    ("Circuit(bad)", 1, lambda: expect_error(lambda: kv.Circuit("R0-(R1,C1]"), ValueError)),
    ("Circuit(non-str)", 1, lambda: expect_error(lambda: kv.Circuit(5), TypeError)),
    ("element + repr", 1, lambda: repr(kv.Zarc(1.0, 2e-3, 0.8))),
    ("element(bad)", 1, lambda: expect_error(lambda: kv.R("x"), TypeError)),
    ("Series/Parallel", 1, lambda: kv.Series([kv.R(1.0), kv.Parallel([kv.R(2.0), kv.C(1e-6)])])),
    ("Parallel(bad)", 1, lambda: expect_error(lambda: kv.Parallel([kv.R(1.0), 3]), TypeError)),
    ("repr(Circuit)", 1, lambda: repr(CIRCUIT)),
    ("param lists", 1, lambda: (CIRCUIT.param_names(), CIRCUIT.param_units(), CIRCUIT.param_bounds(),
                                CIRCUIT.param_values(), kv.Circuit.ml_circuits())),
    ("with_values", 1, lambda: CIRCUIT.with_values(TRUE)),
    ("with_values(bad)", 1, lambda: expect_error(lambda: CIRCUIT.with_values([1.0]), ValueError)),
    ("with_named_values(bad)", 1,
     lambda: expect_error(lambda: CIRCUIT.with_named_values({"R0.t": 1.0}), ValueError)),
    ("impedance(array)", 1, lambda: CIRCUIT.impedance(F)),
    ("impedance(list)", 1, lambda: CIRCUIT.impedance([1.0, 2.0, 3.0])),
    ("impedance(bad)", 1, lambda: expect_error(lambda: CIRCUIT.impedance({"x": [1.0]}), ValueError)),
    ("residuals", 1, lambda: CIRCUIT.residuals(TRUE, F, Z)),
    ("residuals(bad)", 1, lambda: expect_error(lambda: CIRCUIT.residuals(TRUE, F, Z_LIST[:3]), ValueError)),
    ("jacobian", 2, lambda: CIRCUIT.jacobian(TRUE, F, Z)),
    ("guess", 10, lambda: CIRCUIT.guess(F, Z)),
    ("guess(bad)", 1, lambda: expect_error(lambda: kv.Circuit("R0-C1").guess(F, Z), ValueError)),
    ("fit", 50, lambda: CIRCUIT.with_values(TRUE).fit(F, Z, guess_init=False)),
    ("fit(bad)", 1, lambda: expect_error(lambda: CIRCUIT.fit(F, Z, method="LM", guess_init=False), ValueError)),
    ("fit result attributes", 50,
     lambda: (lambda r: (r.params, r.stderr, r.circuit, repr(r)))(CIRCUIT.fit(F, Z, guess_init=False))),
    ("fit result statistics", 50,
     lambda: (lambda r: (r.covariance, r.correlation, r.residuals, r.dof, r.reduced_chi_square, r.aic, r.bic,
                         r.method, r.message, r.initial, r.summary(), r == r))(
         CIRCUIT.with_fixed(["R0.r"]).fit(F, Z, guess_init=False))),
    ("constraints", 1,
     lambda: CIRCUIT.with_bounds({"R1.r": (0.0, 1e3)}).with_fixed({"R0.r": 1.0}).fixed_params()),
    ("constraints(bad)", 1,
     lambda: (expect_error(lambda: CIRCUIT.with_bounds({"R0.t": (0.0, 1.0)}), ValueError),
              expect_error(lambda: CIRCUIT.with_fixed({"R0.r": -1.0}), ValueError))),
    ("values: eq, hash, pickle", 1,
     lambda: (CIRCUIT == kv.Circuit("R0-(R1,C1)-(R2,CPE2)"), hash(CIRCUIT), hash(kv.R(1.0)),
              pickle.loads(pickle.dumps(CIRCUIT)), pickle.loads(pickle.dumps(kv.Zarc(1.0, 2e-3, 0.8))))),
    ("expression + dicts", 1,
     lambda: (CIRCUIT.expression, kv.Circuit.from_dict(CIRCUIT.to_dict()),
              expect_error(lambda: kv.Circuit.from_dict({"type": "Circuit", "version": 9}), ValueError))),
    ("fit result dict", 50,
     lambda: (lambda r: kv.FitResult.from_dict(r.to_dict()))(CIRCUIT.fit(F, Z, guess_init=False))),
    ("lin_kk + attributes", 5,
     lambda: (lambda r: (r.impedance, r.residuals_real, r.residuals_imag, r.resistances, r.time_constants,
                         r.inductance, r.capacitance, repr(r)))(kv.lin_kk(F, Z, add_capacitance=True))),
    ("lin_kk result dict, pickle, eq", 5,
     lambda: (lambda r: (kv.KKResult.from_dict(r.to_dict()) == pickle.loads(pickle.dumps(r)),
                         expect_error(lambda: kv.KKResult.from_dict(dict(r.to_dict(), m=0)), ValueError)))(
                             kv.lin_kk(F, Z))),
    ("lin_kk(bad)", 1, lambda: expect_error(lambda: kv.lin_kk(F, Z_LIST[:3]), ValueError)),
    ("read_spectra, read_spectrum", 2, lambda: (kv.read_spectra(SWEEP_CSV), kv.read_spectrum(SWEEP_CSV, format="csv"))),
    ("read_spectra(bad)", 1,
     lambda: (expect_error(lambda: kv.read_spectra(NOT_A_SPECTRUM), ValueError),
              expect_error(lambda: kv.read_spectrum(os.path.join(_FILES, "absent.DTA")), OSError),
              expect_error(lambda: kv.read_spectra(SWEEP_CSV, format="none"), ValueError))),
    ("fit_many + results_table", 250,
     lambda: kv.results_table(kv.fit_many(CIRCUIT, [(F, Z), {"frequency_hertz": F}, (F, Z_LIST[:3]), (F, Z)],
                                          threads=2, guess_init=False, progress=lambda done, total: None))),
    ("fit_many chain", 250, lambda: kv.fit_many(CIRCUIT, [(F, Z)] * 3, chain=True, guess_init=False)),
    ("fit_many(bad)", 5,
     lambda: (expect_error(lambda: kv.fit_many(CIRCUIT, [(F, Z)], method="LM"), ValueError),
              expect_error(lambda: kv.fit_many(CIRCUIT, [(F, Z)], progress=lambda d, t: 1 / 0), ZeroDivisionError),
              expect_error(lambda: kv.fit_many(CIRCUIT, types.MappingProxyType({"frequency_hertz": F})), TypeError))),
]


def measure(calls, uniform=False, names=None):
    """(name, calls, change of allocated blocks, change of resident kB) per
    entry point, or per entry point in `names` when given."""
    warnings.simplefilter("ignore")
    rows = []
    for name, weight, fn in ENTRY_POINTS:
        if names is not None and name not in names:
            continue
        n = calls if uniform else max(calls // weight, 100)
        for _ in range(max(n // 10, 10)):  # warm-up: caches, free lists, the worker pool
            fn()
        gc.collect()
        blocks0, rss0 = sys.getallocatedblocks(), rss_kb()
        for _ in range(n):
            fn()
        gc.collect()
        rows.append((name, n, sys.getallocatedblocks() - blocks0, rss_kb() - rss0))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("calls", nargs="?", type=int, default=100_000, help="calls per entry point (default 100000)")
    parser.add_argument("--uniform", action="store_true",
                        help="run heavy calls as often as light ones (by default they run proportionally fewer times)")
    args = parser.parse_args()
    print(f"{'entry point':26s} {'calls':>8s} {'Δ blocks':>9s} {'Δ RSS kB':>9s}")
    for name, n, blocks, rss in measure(args.calls, args.uniform):
        print(f"{name:26s} {n:8d} {blocks:9d} {rss:9d}")


if __name__ == "__main__":
    main()
