"""Batch fitting: fit_many on every core against one thread, a fit() loop,
impedance.py and a Dask cluster.

Two data sets, side by side in one run:
  * synthetic: --n randles spectra (default 2000) of 60 points, 10 mHz to
    100 kHz, values drawn around a nominal cell, 1 % complex noise;
  * measured: every spectrum of ../shared/realdata/spectra (relative to the
    repository), fitted with the same randles circuit.

Every kelvora fit starts from the trained network's guess (Circuit("randles")
from text guesses); impedance.py's CustomCircuit.fit (weight_by_modulus=True)
starts from the same values, computed beforehand with Circuit.guess, on the
first --impy-n spectra of each set; its time is scaled per spectrum.

Reported per data set, as wall time of the whole batch and per spectrum:
  fit_many, all threads       kv.fit_many(circuit, spectra)
  fit_many, 1 thread          kv.fit_many(circuit, spectra, threads=1)
  fit() loop                  [circuit.fit(s) for s in spectra]
  impedance.py loop           CustomCircuit(...).fit(...) per spectrum
  fit() same starts           circuit.with_values(start).fit(f, z, guess_init=False)
                              per spectrum, the very starts impedance.py gets
  Dask, local cluster         kelvora.dask.fit_bag over --workers worker
                              processes (one thread each), --partitions
                              partitions, rows gathered with compute()
and the ratios against the targets: all threads over one thread >= 1.9x on
2 cores; the fit() loop no faster than fit_many on one thread; impedance.py
>= 300x slower than fit_many on all threads; the Dask path's overhead per
spectrum (its time minus fit_many's on the same number of cores).  Each
kelvora time is the best of --repeat interleaved runs; the CPU time of that
run (the process's, all threads) is shown beside it, since wall times on a
busy machine say little.  The results of every kelvora path
are checked to equal those of the fit() loop.

Run: python bench/bench_batch.py [--n 2000] [--impy-n 60] [--repeat 3] [--no-dask]
Needs the optional `bench` extra (impedance==1.7.1, Dask).
"""
import argparse
import glob
import math
import os
import sys
import time
import warnings

import numpy as np

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REALDATA = os.path.join(os.path.dirname(ROOT), "shared", "realdata", "spectra")
FREQS = np.logspace(5, -2, 60)
MODEL = "randles"
IMPY_CIRCUIT = "R0-p(R1-W1,CPE1)"  # the same parameters in the same order
NOMINAL = [10.0, 50.0, 100.0, 1e-5, 0.85]


def synthetic(n, seed):
    rng = np.random.default_rng(seed)
    circuit = kv.Circuit(MODEL)
    spectra = []
    for _ in range(n):
        values = [v * 10 ** rng.uniform(-0.5, 0.5) for v in NOMINAL[:4]] + [rng.uniform(0.7, 0.95)]
        z = circuit.with_values(values).impedance(FREQS)
        z = z + 0.01 * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))
        spectra.append((FREQS, z))
    return spectra


def measured():
    return [kv.read_spectrum(path, format="csv") for path in sorted(glob.glob(os.path.join(REALDATA, "*.csv")))]


def as_pair(spectrum):
    if isinstance(spectrum, dict):
        f = np.asarray(spectrum["frequency_hertz"])
        return f, np.asarray(spectrum["real_impedance_ohm"]) + 1j * np.asarray(spectrum["imaginary_impedance_ohm"])
    return np.asarray(spectrum[0]), np.asarray(spectrum[1])


def best_of(repeat, fns):
    """Each function run `repeat` times, interleaved so that a burst of load on a
    shared machine hits them alike; per function the best wall time, the
    process CPU time of that run, and its output."""
    best = {name: (math.inf, math.inf, None) for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0, c0 = time.perf_counter(), time.process_time()
            out = fn()
            wall, cpu = time.perf_counter() - t0, time.process_time() - c0
            if wall < best[name][0]:
                best[name] = (wall, cpu, out)
    return best


def same(a, b):
    """Two results (or exceptions in their slots) equal, NaN equal to NaN."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    return a == b


def fit_loop(circuit, spectra):
    results = []
    for s in spectra:
        try:
            results.append(circuit.fit(s) if isinstance(s, dict) else circuit.fit(*s))
        except ValueError as e:
            results.append(e)
    return results


def impy_loop(circuit, spectra):
    """Wall and CPU seconds per spectrum of impedance.py's fit from kelvora's guesses, the
    number fitted and how many of them failed."""
    from impedance.models.circuits import CustomCircuit

    starts = []
    for s in spectra:
        f, z = as_pair(s)
        try:
            starts.append((f, z, circuit.guess(f, z)))
        except ValueError:
            pass
    failed = 0
    t0, c0 = time.perf_counter(), time.process_time()
    for f, z, start in starts:
        model = CustomCircuit(IMPY_CIRCUIT, initial_guess=list(start))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                model.fit(f, z, weight_by_modulus=True)
        except Exception:  # curve_fit gives up
            failed += 1
    count = max(len(starts), 1)
    impy = (time.perf_counter() - t0) / count, (time.process_time() - c0) / count
    # kelvora from the very same starts: Levenberg-Marquardt only, no guess, one thread.
    t0, c0 = time.perf_counter(), time.process_time()
    for f, z, start in starts:
        try:
            circuit.with_values(start).fit(f, z, guess_init=False)
        except ValueError:
            pass
    same_start = (time.perf_counter() - t0) / count, (time.process_time() - c0) / count
    return impy, same_start, len(starts), failed


def start_cluster(workers):
    from distributed import Client, LocalCluster

    # The workers import kelvora from wherever this process found it.
    package_parent = os.path.dirname(os.path.dirname(kv.__file__))
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in [package_parent, os.environ.get("PYTHONPATH")] if p)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return cluster, Client(cluster)


def dask_fit(client, spectra, partitions):
    import dask.bag as db

    from kelvora.dask import fit_bag

    bag = db.from_sequence(spectra, npartitions=partitions)
    return fit_bag(MODEL, bag).compute()


def line(label, seconds, n, cpu, note=""):
    cpu_text = f"{cpu / n * 1e6:>15.1f} us" if math.isfinite(cpu) else f"{'-':>18}"
    print(f"  {label:<26}{seconds:>9.3f} s{seconds / n * 1e6:>11.1f} us{cpu_text}{note}")


def run(name, spectra, args, client):
    circuit = kv.Circuit(MODEL)
    n = len(spectra)
    cores = os.cpu_count() or 1
    print(f"\n{name}: {n} spectra, model {MODEL}, {cores} processors, load average "
          f"{os.getloadavg()[0]:.1f}")
    print(f"  {'':<26}{'batch':>11}{'per spectrum':>14}{'CPU per spectrum':>18}")
    paths = {
        "fit_many, all threads": lambda: kv.fit_many(circuit, spectra),
        "fit_many, 1 thread": lambda: kv.fit_many(circuit, spectra, threads=1),
        "fit() loop": lambda: fit_loop(circuit, spectra),
    }
    if client is not None:
        paths[f"Dask, {args.workers} workers"] = lambda: dask_fit(client, spectra, args.partitions)
    best = best_of(args.repeat, paths)
    (t_all, _, r_all), (t_one, _, r_one), (t_loop, _, r_loop) = (best[k] for k in list(paths)[:3])
    ok = sum(isinstance(r, kv.FitResult) and r.success for r in r_all)
    for label, (wall, cpu, _) in best.items():
        note = f"   ({ok}/{n} converged)" if label == "fit_many, all threads" else ""
        if label.startswith("Dask"):
            cpu, note = math.nan, f"   ({args.partitions} partitions; CPU in the workers)"
        line(label, wall, n, cpu, note)
    equal = all(same(a, b) for a, b in zip(r_all, r_loop)) and all(same(a, b) for a, b in zip(r_one, r_loop))
    t_impy = None
    if args.impy_n > 0:
        (t_impy, cpu_impy), (t_start, cpu_start), fitted, failed = impy_loop(circuit, spectra[: args.impy_n])
        line("impedance.py loop", t_impy * n, n, cpu_impy * n, f"   (scaled from {fitted} spectra, {failed} failed)")
        line("fit() same starts, 1 th.", t_start * n, n, cpu_start * n, "   (no guess; the same spectra)")
    t_dask = None
    if client is not None:
        from kelvora.dask import table_rows

        expected = table_rows(kv.results_table(r_all))
        t_dask, _, rows = best[f"Dask, {args.workers} workers"]
        equal = equal and len(rows) == len(expected) and all(rows_equal(a, b) for a, b in zip(rows, expected))
    print(f"  results equal to the fit() loop's: {'yes' if equal else 'NO'}")
    print(f"  all threads vs 1 thread:      {t_one / t_all:6.2f}x   (target >= 1.9x on 2 cores)")
    print(f"  fit() loop vs 1 thread:       {t_loop / t_one:6.2f}x   (target >= 1.0x)")
    if t_impy is not None:
        print(f"  impedance.py vs all threads:  {t_impy * n / t_all:6.0f}x   (kelvora's time includes its guess)")
        print(f"  impedance.py vs same starts:  {t_impy / t_start:6.0f}x on 1 thread, "
              f"{t_impy / t_start * t_one / t_all:.0f}x scaled by the thread speed-up"
              f"   (target >= 300x)")
    if t_dask is not None:
        overhead = (t_dask - t_all * cores / min(cores, args.workers)) / n
        print(f"  Dask overhead per spectrum:   {overhead * 1e6:6.1f} us over fit_many on {args.workers} threads")


def rows_equal(a, b):
    if a.keys() != b.keys():
        return False
    for k in a:
        x, y = a[k], b[k]
        if isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y):
            continue
        if x != y:
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2000, help="synthetic spectra (default 2000)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--impy-n", type=int, default=60,
                        help="spectra of each set that impedance.py fits (0: skip it; default 60)")
    parser.add_argument("--repeat", type=int, default=3, help="kelvora runs per timing, best kept (default 3)")
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask cluster")
    parser.add_argument("--workers", type=int, default=2, help="Dask worker processes (default 2)")
    parser.add_argument("--partitions", type=int, default=8, help="Dask partitions (default 8)")
    parser.add_argument("--no-realdata", action="store_true", help="skip the measured spectra")
    args = parser.parse_args()
    if not hasattr(kv, "fit_many"):
        sys.exit("this kelvora has no fit_many")
    if args.impy_n > 0:
        try:
            import impedance  # noqa: F401
        except ImportError:
            sys.exit("impedance.py is needed: pip install '.[bench]' (or run with --impy-n 0)")

    sets = [("synthetic", synthetic(args.n, args.seed))]
    if not args.no_realdata:
        if os.path.isdir(REALDATA):
            sets.append(("measured (../shared/realdata)", measured()))
        else:
            print("../shared/realdata is not present: measured spectra skipped")
    circuit = kv.Circuit(MODEL)
    kv.fit_many(circuit, sets[0][1][:50])  # warm-up: networks decoded, worker pool started

    cluster = client = None
    if not args.no_dask:
        try:
            import kelvora.dask  # noqa: F401
            cluster, client = start_cluster(args.workers)
        except ImportError:
            print("Dask is not installed: the Dask path is skipped (pip install '.[dask]')")
    try:
        if client is not None:
            dask_fit(client, sets[0][1][:100], args.workers)  # warm-up: workers import kelvora
        for name, spectra in sets:
            run(name, spectra, args, client)
    finally:
        if client is not None:
            client.close()
            cluster.close()


if __name__ == "__main__":
    main()
