"""Quality of the bundled initial-parameter networks on held-out synthetic spectra.

For each model: spectra from the training prior (training/synth.py) drawn with a
seed that training never uses, at 1% proportional noise. Reported per parameter:
the median |log10(guess / true)| in decades (exponents: median absolute
difference). When Circuit.fit is available, also the Levenberg-Marquardt
success rate started from the guess and from the catalog defaults, where a fit
succeeds when its cost is within 1% of the cost of a fit started from the true
values.

    python bench/guess_quality.py [--models rc,randles] [--n 200] [--fit-n 100] [--no-fit]
                                  [--real 60] [--prior wide] [--weights DIR] [--tied-orders]

--prior wide draws the spectra from the second-generation prior
(training/prior2.py: wider windows, depressed and partly visible arcs, arcs of
very different sizes, tails of every length) without its drift and outliers,
at the same noise and a held-out seed. --weights DIR guesses with the
<model>.eisnn files of DIR (for instance a training run's blobs) through
Circuit.guess(weights=...), beside nothing else: run once with and once
without to compare.

--tied-orders also measures the two-arc models against the nearer of two
answers: the drawn values and, where the spectrum does not tell the arcs'
order, the fit started from the drawn values with the arcs exchanged (within
1% of the fit from the drawn values). The plain figure counts a guess in the
other order as an error of about a decade.

Needs kelvora importable (PYTHONPATH pointing at a build) and NumPy; without a
working Circuit.guess the guesses come from the NumPy reference forward pass of
the blob files (reported as such).
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from training import eisnn, infer, prior2, synth  # noqa: E402
from training.registry import BY_NAME, MODELS  # noqa: E402
from training.seeds import seeds  # noqa: E402

try:
    import kelvora as kv
except ImportError:  # pragma: no cover
    kv = None

KEY_KINDS = ("r", "c", "q")  # the kinds the 0.15-decade target applies to


def held_out(model, n_spectra, noise, prior="training"):
    rng = np.random.default_rng(seeds(model.name)["bench"])
    out = []
    while len(out) < n_spectra:
        if prior == "wide":
            n = int(rng.integers(prior2.N_POINTS[0], prior2.N_POINTS[1] + 1))
            f, z, p = prior2.generate_wide(model, rng, 1, n, synth.load_kelvora(), artefacts=False,
                                           noise=noise)
        else:
            n = int(rng.integers(synth.N_POINTS[0], synth.N_POINTS[1] + 1))
            f, z, p = synth.generate(model, rng, 1, n, noise=noise, kv=synth.load_kelvora())
        if np.all(np.isfinite(z)):
            out.append((f[0], z[0], p[0]))
    return out


def guesser(model, from_files=False, weights_dir=None):
    """Function (f, z) -> guess, and the name of the path it takes."""
    path = os.path.join(weights_dir or "", model.name + ".eisnn")
    if weights_dir is not None and os.path.exists(path):  # otherwise the bundled network
        circuit = kv.Circuit(model.name)
        return (lambda f, z: np.array(circuit.guess(f, z, weights=path))), "weights " + path
    if kv is not None and not from_files:
        try:
            circuit = kv.Circuit(model.name)
            f = np.logspace(4, -1, 30)
            circuit.guess(f, kv.Circuit(model.name).impedance(f))
            return (lambda f, z: np.array(circuit.guess(f, z))), "kelvora"
        except Exception:  # guess not built yet
            pass
    with open(os.path.join(ROOT, "src", "models", model.name + ".eisnn"), "rb") as fh:
        meta, t = eisnn.read_blob(fh.read())
    return (lambda f, z: infer.guess(meta, t, f, z)), "numpy reference"


def fit_cost(circuit, values, f, z):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = circuit if values is None else circuit.with_values([float(v) for v in values])
        return start.fit(f, z, guess_init=False).cost


def fit_available():
    if kv is None:
        return False
    try:
        f = np.logspace(3, -1, 20)
        c = kv.Circuit("rc")
        fit_cost(c, None, f, c.impedance(f))
        return True
    except Exception:
        return False


def nearer_tied_order(model, data, guesses, err):
    """Errors against the nearer of the drawn values and their tied fit in the
    other arc order, row by row (the mean error over the R/C/Q parameters
    decides); and how many rows take the other order."""
    names = list(model.param_names)
    pairs = prior2._paired_columns(names)
    if not pairs:
        return err, 0
    circuit = kv.Circuit(model.name)
    order = circuit.param_names()
    key = [i for i, n in enumerate(names) if n.split(".")[1] in KEY_KINDS]
    out, taken = err.copy(), 0
    for row, ((f, z, p), g) in enumerate(zip(data, guesses)):
        drawn = dict(zip(names, map(float, p)))
        twin = dict(drawn)
        for a, b in pairs:
            twin[a], twin[b] = drawn[b], drawn[a]
        fitted = prior2._tied_fit(circuit, [drawn[n] for n in order], lambda: [twin[n] for n in order], f, z)
        if fitted is None:
            continue
        alt = infer.log_error(names, g[None], np.array([[fitted[n] for n in names]]))[0]
        if np.nanmean(alt[key]) < np.nanmean(err[row, key]):
            out[row], taken = alt, taken + 1
    return out, taken


def run(model, n_spectra, fit_n, noise, do_fit, from_files=False, prior="training", weights_dir=None,
        tied_orders=False):
    data = held_out(model, n_spectra, noise, prior)
    guess, path = guesser(model, from_files, weights_dir)
    t = time.time()
    guesses = np.array([guess(f, z) for f, z, _ in data])
    per_guess = (time.time() - t) / len(data)
    truth = np.array([p for _, _, p in data])
    err = infer.log_error(model.param_names, guesses, truth)
    med = np.nanmedian(err, axis=0)
    row = {"model": model.name, "path": path, "median": dict(zip(model.param_names, med)),
           "guess_ms": 1e3 * per_guess}
    if tied_orders and kv is not None:
        near, taken = nearer_tied_order(model, data, guesses, err)
        row["median_nearer"] = dict(zip(model.param_names, np.nanmedian(near, axis=0)))
        row["other_order"] = taken
    if do_fit and fit_n > 0:
        circuit = kv.Circuit(model.name)
        ok_guess = ok_default = 0
        for (f, z, p), g in zip(data[:fit_n], guesses[:fit_n]):
            ref = fit_cost(circuit, p, f, z)
            tol = 1.01 * ref + 1e-12
            ok_guess += fit_cost(circuit, g, f, z) <= tol
            ok_default += fit_cost(circuit, None, f, z) <= tol
        m = min(fit_n, len(data))
        row["fit_from_guess"] = ok_guess / m
        row["fit_from_default"] = ok_default / m
        row["fit_n"] = m
    return row


REAL_DIR = os.path.join(ROOT, "..", "shared", "realdata")
REAL_MODELS = ("rq", "two_rq", "randles", "sei_randles", "sei_randles_wo", "two_rq_l")


def real_spectra(limit):
    """Every limit-th real spectrum (frequencies, impedances, name), or [] when absent."""
    import csv
    manifest = os.path.join(REAL_DIR, "manifest.csv")
    if not os.path.exists(manifest):
        return []
    with open(manifest) as fh:
        rows = list(csv.DictReader(fh))
    step = max(1, len(rows) // limit)
    out = []
    for row in rows[::step]:
        d = np.loadtxt(os.path.join(REAL_DIR, "spectra", row["file"]), delimiter=",", skiprows=1,
                       ndmin=2)
        out.append((d[:, 0], d[:, 1] + 1j * d[:, 2], row["file"]))
    return out


def real_check(limit):
    """On real spectra: the LM fit from the guess against the fit from the defaults."""
    data = real_spectra(limit)
    if not data:
        print("real spectra not available; skipped")
        return
    print()
    print("real measured spectra (%d, validation only): share of spectra where the fit from"
          " the guess reaches a cost within 1%% of the better of the two starts" % len(data))
    for name in REAL_MODELS:
        circuit = kv.Circuit(name)
        wins = [0, 0]
        for f, z, _ in data:
            g = circuit.guess(f, z)
            cg = fit_cost(circuit, g, f, z)
            cd = fit_cost(circuit, None, f, z)
            best = min(cg, cd)
            wins[0] += cg <= 1.01 * best + 1e-15
            wins[1] += cd <= 1.01 * best + 1e-15
        print("%-15s from guess %3.0f%%, from defaults %3.0f%%" % (
            name, 100 * wins[0] / len(data), 100 * wins[1] / len(data)), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--models", default=",".join(m.name for m in MODELS))
    ap.add_argument("--n", type=int, default=200, help="spectra per model for the guess error")
    ap.add_argument("--fit-n", type=int, default=100, help="spectra per model for the fit rates")
    ap.add_argument("--noise", type=float, default=0.01)
    ap.add_argument("--no-fit", action="store_true")
    ap.add_argument("--blob-files", action="store_true",
                    help="guess with the NumPy forward pass of src/models/*.eisnn instead of the"
                         " networks compiled into the module (for blobs newer than the build)")
    ap.add_argument("--real", type=int, default=0, metavar="N",
                    help="also compare fit starts on about N real spectra (shared real-data set)")
    ap.add_argument("--prior", choices=("training", "wide"), default="training",
                    help="the first generation's training prior or the wider second one")
    ap.add_argument("--weights", metavar="DIR",
                    help="guess with DIR/<model>.eisnn instead of the bundled networks")
    ap.add_argument("--tied-orders", action="store_true",
                    help="also measure two-arc guesses against the nearer of the drawn values and"
                         " their tied fit with the arcs exchanged")
    args = ap.parse_args()
    do_fit = not args.no_fit and fit_available()
    print("held-out synthetic spectra (%s prior), %.0f%% noise, %d per model%s" % (
        args.prior, 100 * args.noise, args.n, (", fits on the first %d" % args.fit_n) if do_fit else
        ", fit rates skipped (--no-fit)" if args.no_fit else ", fit rates skipped (Circuit.fit unavailable)"))
    print("median guess error: decades (|log10 guess/true|); exponents: absolute difference")
    print()
    for name in args.models.split(","):
        model = BY_NAME[name]
        row = run(model, args.n, args.fit_n, args.noise, do_fit, args.blob_files, args.prior, args.weights,
                  args.tied_orders)
        key = [v for k, v in row["median"].items() if k.split(".")[1] in KEY_KINDS]
        parts = ["%s %.3f" % (k, v) for k, v in row["median"].items()]
        line = "%-15s worst R/C/Q %.3f | %s" % (name, max(key), ", ".join(parts))
        if "fit_n" in row:
            line += " | LM success from guess %3.0f%%, from defaults %3.0f%% (n=%d)" % (
                100 * row["fit_from_guess"], 100 * row["fit_from_default"], row["fit_n"])
        line += " | %.2f ms/guess [%s]" % (row["guess_ms"], row["path"])
        print(line, flush=True)
        if "median_nearer" in row:
            near = row["median_nearer"]
            print("%-15s worst R/C/Q %.3f against the nearer tied order (%d rows take the other) | %s" % (
                "", max(v for k, v in near.items() if k.split(".")[1] in KEY_KINDS), row["other_order"],
                ", ".join("%s %.3f" % item for item in near.items())), flush=True)
    if args.real and do_fit:
        real_check(args.real)


if __name__ == "__main__":
    main()
