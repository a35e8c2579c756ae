"""The network forward pass: kelvora against a plain NumPy pass of the same network.

For each of the eleven bundled networks, on synthetic 60-point spectra drawn
from the training prior (training/synth.py), this times

  * numpy:   the float64 NumPy pass of training/infer.py on the weights read
             from the same .eisnn blob -- one BLAS matrix product per kernel
             tap, group norm and GELU as array operations, then the head and
             the decoding (feature extraction excluded);
  * layers:  kelvora's trunk computed layer by layer, a new list per layer,
             term by term with zero weights skipped (the way the pass was
             first written, kept as the fallback; it now shares the group
             normalisation and GELU code with the blocked trunk);
  * blocked: kelvora's trunk as blocked matrix products over the grid in one
             workspace per call (what guess() and fit() use);

both kelvora figures being the pass after feature extraction (trunk, pooling,
head, decoding), timed inside the module by the private kelvora._forward
hook, which also reports the feature extraction on its own.  The three
passes take turns: each round times every pass over `--repeat` calls and
keeps the median; a spectrum's figure is its best round (so that a burst of
load from other processes on a shared machine counts against no pass), and
a model's figure the median over its spectra.  Everything runs on one
thread: OpenBLAS and friends are held to one thread unless the environment
says otherwise.  The outputs of the three passes are compared (largest
relative difference).

Also shown: the whole Circuit.guess() call (argument reading, features,
network, mapping onto the circuit).  With --fit, the default one-call fit()
of the same spectra (1 % noise) is timed and the share of it spent in the
guess is reported; the share the layer-by-layer trunk would take is derived
by adding the measured difference between the two trunks to both times.

Run: python bench/bench_forward.py [--spectra 6] [--repeat 50] [--rounds 5] [--fit] [--models rc,randles]
"""
import argparse
import os
import statistics
import sys
import time

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

import kelvora as kv  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
from training import infer, synth  # noqa: E402
from training.eisnn import read_blob  # noqa: E402
from training.features import features_exact  # noqa: E402
from training.registry import MODELS  # noqa: E402

POINTS = 60


def load_network(name):
    with open(os.path.join(ROOT, "src", "models", name + ".eisnn"), "rb") as fh:
        return read_blob(fh.read())


def spectra(model, count, seed):
    rng = np.random.default_rng(seed)
    freqs, z, _ = synth.generate(model, rng, count, POINTS, noise=0.01, kv=kv)
    return [(f.copy(), zz.copy()) for f, zz in zip(freqs, z)]


def numpy_pass(meta, tensors, features, repeat):
    """(outputs, median seconds of the pass after feature extraction)."""
    feat, s0, s1, r_s, omega_c = features
    times = []
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        y = infer.forward_raw(meta, tensors, feat, s0, s1)
        out = infer.decode(meta, tensors, y, r_s, omega_c)
        times.append(time.perf_counter() - t0)
    return out, statistics.median(times)


def relative_difference(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def time_calls(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def bench_model(model, args):
    meta, tensors = load_network(model.name)
    rows = {"numpy": [], "layers": [], "blocked": [], "features": [], "guess": []}
    diff = {"layers": 0.0, "blocked": 0.0}
    circuit = kv.Circuit(model.name)
    cases = spectra(model, args.spectra, args.seed)
    for f, z in cases:
        features = features_exact(f, z, int(meta["n_grid"]))
        best = {k: float("inf") for k in rows}
        for _ in range(args.rounds):
            ref, t_numpy = numpy_pass(meta, tensors, features, args.repeat)
            best["numpy"] = min(best["numpy"], t_numpy)
            for kernel in ("layers", "blocked"):
                values, t_feat, t_net = kv._forward(model.name, f, z, kernel=kernel, repeat=args.repeat)
                best[kernel] = min(best[kernel], t_net)
                best["features"] = min(best["features"], t_feat)
                diff[kernel] = max(diff[kernel], relative_difference(values, ref))
            best["guess"] = min(best["guess"], time_calls(lambda: circuit.guess(f, z), args.repeat))
        for k, v in best.items():
            rows[k].append(v)
    result = {k: statistics.median(v) for k, v in rows.items()}
    result["diff"] = diff
    if args.fit:
        fits, guesses = [], []
        for f, z in cases:
            fit_best = guess_best = float("inf")
            for _ in range(args.rounds):
                fit_best = min(fit_best, time_calls(lambda: circuit.fit(f, z), max(3, args.repeat // 10)))
                guess_best = min(guess_best, time_calls(lambda: circuit.guess(f, z), args.repeat))
            fits.append(fit_best)
            guesses.append(guess_best)
        result["fit"] = statistics.median(fits)
        result["fit_guess"] = statistics.median(guesses)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--spectra", type=int, default=6, help="spectra per model")
    parser.add_argument("--repeat", type=int, default=50, help="timed calls per round")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per spectrum (the best counts)")
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--fit", action="store_true", help="also time the default fit()")
    parser.add_argument("--models", default="", help="comma-separated model names (default: all)")
    args = parser.parse_args()
    chosen = [m for m in MODELS if not args.models or m.name in args.models.split(",")]

    ms = 1e3
    print("%d-point spectra, %d per model; per spectrum the best of %d rounds of %d calls (median); ms"
          % (POINTS, args.spectra, args.rounds, args.repeat))
    head = "%-15s %3s %8s %8s %8s %9s %9s %8s %8s %9s" % (
        "model", "C", "numpy", "layers", "blocked", "np/layers", "np/blocked", "features", "guess()", "max rel")
    print(head)
    print("-" * len(head))
    results = {}
    for model in chosen:
        r = bench_model(model, args)
        results[model.name] = r
        print("%-15s %3d %8.3f %8.3f %8.3f %8.2fx %9.2fx %8.3f %8.3f %9.1e" % (
            model.name, model.channels, r["numpy"] * ms, r["layers"] * ms, r["blocked"] * ms,
            r["numpy"] / r["layers"], r["numpy"] / r["blocked"], r["features"] * ms, r["guess"] * ms,
            max(r["diff"].values())))
        sys.stdout.flush()
    print("np/x: how many times faster than the NumPy pass (> 1: faster).  max rel: largest relative")
    print("difference of either kelvora pass from the NumPy pass over all outputs.")

    if args.fit:
        print()
        print("default fit() of the same spectra (guess + Levenberg-Marquardt), ms")
        head = "%-15s %8s %8s %7s %14s %9s" % ("model", "fit()", "guess()", "share", "layers fit()", "share")
        print(head)
        print("-" * len(head))
        for name, r in results.items():
            extra = r["layers"] - r["blocked"]
            print("%-15s %8.3f %8.3f %6.0f%% %14.3f %8.0f%%" % (
                name, r["fit"] * ms, r["fit_guess"] * ms, 100 * r["fit_guess"] / r["fit"],
                (r["fit"] + extra) * ms, 100 * (r["fit_guess"] + extra) / (r["fit"] + extra)))
        print("layers fit(), share: derived, the measured layers-minus-blocked trunk time added to both.")


if __name__ == "__main__":
    main()
