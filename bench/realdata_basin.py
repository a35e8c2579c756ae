"""How often a fit lands in the best basin known, on real measured spectra.

Every spectrum of ../shared/realdata/spectra (or N per source) is fitted with
each of the eleven models of kelvora.Circuit.ml_circuits().  Per pair the best
basin known is the lowest cost seen by
  * Levenberg-Marquardt from --restarts random starts (default 30), drawn in
    log-ranges scaled to the spectrum (resistances up to a few times |Z|max,
    time constants across the measured frequency range and a decade beyond,
    exponents 0.4-1, inductances and Warburg terms from the spectrum's ends);
  * basin hopping (method="basin_hopping", seeded) from the guess and from the
    best random restart;
  * the default one-call fit() and method="multi_start".
A fit lands when its cost is at most 1% above that best.  The best costs (and
parameters) are cached in bench/realdata_basin_cache.json, keyed by file name,
content hash and model, so a rerun only fits the two methods measured.

Reported per model: the landing share of the default fit and of multi_start,
the share of all pairs where the fit misses by more than 1.2x, and the median
times of both (a fit's time includes the guess, as a one-call fit does; each
the least of --repeat runs, default 3, which keeps a busy machine's noise out
of the ratio) with their ratio.

    PYTHONPATH=build/dev python bench/realdata_basin.py [--models two_rq,sei_randles]
        [--per-source 6] [--workers 1] [--quick] [--restarts 30] [--repeat 3] [--export PATH]
        [--weights DIR] [--by-source]

--quick: 2 spectra per source unless --per-source says otherwise, at most 10
restarts for pairs not in the cache, and the cache left as it is (so with
every pair cached it reports the two methods against the cached best basins).
--weights DIR measures candidate networks: a model with DIR/<model>.eisnn has
both measured fits started from that network instead of the bundled one.
--by-source adds the landing shares per source of the spectra.
--ceiling SIGMA measures what a better network could reach at best: per cached
pair, Levenberg-Marquardt started from the best basin known with every
parameter moved by a normal draw of SIGMA decades (exponents by SIGMA/3 in
value, at least 0.05), against the default fit (seeded; cache untouched).
--export writes the best costs of the pairs run to PATH (the regression test's
subset, tests/data/realdata_basin_subset.json, is made with
`--quick --per-source 1 --models two_rq,two_rq_l,sei_randles,sei_randles_wo --export ...`).
"""

import argparse
import csv
import hashlib
import json
import math
import multiprocessing
import os
import statistics
import sys
import time
import warnings

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SPECTRA = os.path.join(ROOT, "..", "shared", "realdata", "spectra")
CACHE = os.path.join(ROOT, "bench", "realdata_basin_cache.json")
LANDING = 1.01     # within 1% of the best cost known
VISIBLE_MISS = 1.2  # a miss by more than this is a visibly wrong fit
NEW_METHOD = "multi_start"

kv = None  # imported in the workers


def load(path):
    with open(path, newline="") as fh:
        rows = list(csv.DictReader(fh))
    f = np.array([float(r["frequency_hertz"]) for r in rows])
    z = np.array([complex(float(r["real_impedance_ohm"]), float(r["imaginary_impedance_ohm"])) for r in rows])
    return f, z


def content_hash(path):
    with open(path, "rb") as fh:
        return hashlib.sha256(fh.read()).hexdigest()[:16]


def pair_key(path, digest, model):
    return f"{os.path.basename(path)}|{digest}|{model}"


def select_files(per_source):
    files = sorted(p for p in os.listdir(SPECTRA) if p.endswith(".csv"))
    by_source = {}
    for name in files:
        by_source.setdefault(name.split("__", 1)[0], []).append(name)
    chosen = []
    for names in by_source.values():
        if per_source is None or per_source >= len(names):
            chosen += names
        else:  # evenly spread over the source, first and last included
            idx = sorted({round(i * (len(names) - 1) / max(per_source - 1, 1)) for i in range(per_source)})
            chosen += [names[i] for i in idx]
    return [os.path.join(SPECTRA, n) for n in chosen]


def random_start(names, f, z, rng):
    """One random start, each parameter drawn in a log-range set by the spectrum."""
    zmax = float(np.max(np.abs(z)))
    wmin, wmax = 2 * np.pi * float(np.min(f)), 2 * np.pi * float(np.max(f))

    def logu(lo, hi):
        return 10.0 ** rng.uniform(math.log10(lo), math.log10(hi))

    def tau():
        return logu(0.1 / wmax, 10.0 / wmin)

    values = {}
    for name in names:
        element, kind = name.split(".")
        if kind == "alpha":
            values[name] = values.get(name, rng.uniform(0.4, 0.99))
        elif kind == "r":
            values[name] = logu(1e-4 * zmax, 3 * zmax)
        elif kind in ("c", "q"):
            a = values.setdefault(element + ".alpha", rng.uniform(0.4, 0.99)) if kind == "q" else 1.0
            values[name] = tau() ** a / logu(1e-3 * zmax, zmax)
        elif kind == "l":
            values[name] = logu(1e-4, 3.0) * zmax / wmax
        elif kind == "aw":
            values[name] = logu(1e-3, 1.0) * zmax * math.sqrt(wmin)
        elif kind == "z0":
            values[name] = logu(1e-3 * zmax, 3 * zmax)
        elif kind == "tau":
            values[name] = tau()
        else:  # a kind none of the models has: its catalog default
            values[name] = None
    return [values[n] for n in names]


def init_worker():
    global kv
    import kelvora
    kv = kelvora
    warnings.simplefilter("ignore")


def timed_fit(circuit, f, z, **kw):
    t0 = time.perf_counter()
    try:
        r = circuit.fit(f, z, **kw)
    except Exception as e:  # a failed fit counts as a miss
        return math.inf, None, time.perf_counter() - t0, str(e)
    return r.cost, list(r.params.values()), time.perf_counter() - t0, None


def best_of(repeat, circuit, f, z, **kw):
    """timed_fit run `repeat` times (the fits are deterministic): its result, the least time."""
    cost, params, seconds, error = timed_fit(circuit, f, z, **kw)
    for _ in range(repeat - 1):
        seconds = min(seconds, timed_fit(circuit, f, z, **kw)[2])
    return cost, params, seconds, error


def run_pair(task):
    path, digest, model, cached, restarts, repeat, weights = task
    kw = {"weights": weights} if weights else {}
    f, z = load(path)
    circuit = kv.Circuit(model)
    best_cost, best_params = (cached["cost"], cached["params"]) if cached else (math.inf, None)
    searched = cached.get("restarts", 0) if cached else 0

    def offer(cost, params):
        nonlocal best_cost, best_params
        if params is not None and math.isfinite(cost) and cost < best_cost:
            best_cost, best_params = cost, params

    # The two fits measured, run first so the timings see a quiet cache.
    default_cost, params, default_time, default_error = best_of(repeat, circuit, f, z, **kw)
    offer(default_cost, params)
    new_cost, params, new_time, new_error = best_of(repeat, circuit, f, z, method=NEW_METHOD, seed=0, **kw)
    offer(new_cost, params)

    if searched < restarts:
        names = circuit.param_names()
        rng = np.random.default_rng(int(digest, 16) % 2**32 + restarts)
        restart_best = (math.inf, None)
        for _ in range(restarts - searched):
            cost, params, _, _ = timed_fit(circuit.with_values(random_start(names, f, z, rng)), f, z,
                                           guess_init=False)
            offer(cost, params)
            if params is not None and cost < restart_best[0]:
                restart_best = (cost, params)
        starts = [circuit.with_values(circuit.guess(f, z))] if default_error is None else []
        if restart_best[1] is not None:
            starts.append(circuit.with_values(restart_best[1]))
        for k, start in enumerate(starts):
            cost, params, _, _ = timed_fit(start, f, z, guess_init=False, method="basin_hopping", seed=k)
            offer(cost, params)
        searched = restarts
    return dict(key=pair_key(path, digest, model), model=model, file=os.path.basename(path),
                best=best_cost, params=best_params, restarts=searched,
                default=default_cost, default_time=default_time, default_error=default_error,
                new=new_cost, new_time=new_time, new_error=new_error)


def perturbed_start(names, params, z, sigma, rng):
    """The best parameters known moved by about sigma decades each."""
    zmax = float(np.max(np.abs(z)))
    out = []
    for name, v in zip(names, params):
        if name.endswith(".alpha"):
            out.append(min(max(v + rng.normal(0.0, sigma / 3.0), 0.05), 1.0))
        elif name.endswith(".r"):  # a resistance at its bound moves off it
            out.append(max(v, 1e-6 * zmax) * 10.0 ** rng.normal(0.0, sigma))
        else:
            out.append(v * 10.0 ** rng.normal(0.0, sigma))
    return out


def run_ceiling(task):
    path, digest, model, cached, sigma, weights = task
    kw = {"weights": weights} if weights else {}
    f, z = load(path)
    circuit = kv.Circuit(model)
    rng = np.random.default_rng([int(digest, 16) % 2**32, round(sigma * 1000)])
    start = perturbed_start(circuit.param_names(), cached["params"], z, sigma, rng)
    near, _, _, _ = timed_fit(circuit.with_values(start), f, z, guess_init=False)
    default, _, _, _ = timed_fit(circuit, f, z, **kw)
    return dict(model=model, file=os.path.basename(path), best=cached["cost"], near=near, default=default)


def report_ceiling(results, models, sigma):
    print(f"landing of the default fit and of LM started {sigma:g} decades from the best basin known (%)")
    print(f"{'model':16s} {'pairs':>5s} {'default':>8s} {'near best':>10s}")
    for model in models + [None]:
        rows = [r for r in results if model is None or r["model"] == model]
        if not rows or (model is None and len(models) == 1):
            continue
        n = len(rows)
        d = 100 * sum(lands(r["default"], r["best"]) for r in rows) / n
        c = 100 * sum(lands(r["near"], r["best"]) for r in rows) / n
        print(f"{model or 'all':16s} {n:5d} {d:7.1f}% {c:9.1f}%")


def lands(cost, best):
    return math.isfinite(cost) and cost <= LANDING * best + 1e-300


def visible_miss(cost, best):
    return not math.isfinite(cost) or cost > VISIBLE_MISS * best


def read_cache():
    if not os.path.exists(CACHE):
        return {}
    with open(CACHE) as fh:
        return json.load(fh)


def write_cache(cache):
    tmp = CACHE + ".tmp"
    with open(tmp, "w") as fh:
        json.dump(dict(sorted(cache.items())), fh, indent=0, separators=(",", ":"))
        fh.write("\n")
    os.replace(tmp, CACHE)


def compact(params):
    return [float(f"{v:.10g}") for v in params] if params is not None else None


def report(results, models):
    print(f"{'model':16s} {'pairs':>5s} {'default':>8s} {NEW_METHOD:>11s} {'>1.2x def':>9s} {'>1.2x new':>9s} "
          f"{'t default':>10s} {'t ' + NEW_METHOD:>14s} {'ratio':>6s}")
    totals = dict(n=0, d=0, m=0, dv=0, mv=0)
    ratios_all = []
    for model in models:
        rows = [r for r in results if r["model"] == model]
        if not rows:
            continue
        n = len(rows)
        d = sum(lands(r["default"], r["best"]) for r in rows)
        m = sum(lands(r["new"], r["best"]) for r in rows)
        dv = sum(visible_miss(r["default"], r["best"]) for r in rows)
        mv = sum(visible_miss(r["new"], r["best"]) for r in rows)
        td = statistics.median(r["default_time"] for r in rows)
        tm = statistics.median(r["new_time"] for r in rows)
        ratios_all += [r["new_time"] / r["default_time"] for r in rows]
        for k, v in zip("n d m dv mv".split(), (n, d, m, dv, mv)):
            totals[k] += v
        print(f"{model:16s} {n:5d} {100 * d / n:7.1f}% {100 * m / n:10.1f}% {100 * dv / n:8.1f}% {100 * mv / n:8.1f}% "
              f"{1e3 * td:8.2f}ms {1e3 * tm:12.2f}ms {tm / td:6.1f}")
    n = totals["n"]
    if n:
        print(f"{'all':16s} {n:5d} {100 * totals['d'] / n:7.1f}% {100 * totals['m'] / n:10.1f}% "
              f"{100 * totals['dv'] / n:8.1f}% {100 * totals['mv'] / n:8.1f}%   median per-pair time ratio "
              f"{statistics.median(ratios_all):.1f}")
    errors = [r for r in results if r["new_error"] or r["default_error"]]
    for r in errors[:10]:
        print(f"  error {r['file']} {r['model']}: default {r['default_error']!r}, {NEW_METHOD} {r['new_error']!r}")


def source_of(row):
    return row["file"].split("__")[0]


def report_by_source(results, models):
    sources = sorted({source_of(r) for r in results})
    print(f"\nlanding per source, default / {NEW_METHOD} (%)")
    print(f"{'model':16s} " + " ".join(f"{s[:13]:>13s}" for s in sources))
    for model in models:
        rows = [r for r in results if r["model"] == model]
        if not rows:
            continue
        cells = []
        for s in sources:
            sub = [r for r in rows if source_of(r) == s]
            if not sub:
                cells.append(f"{'-':>13s}")
                continue
            d = 100 * sum(lands(r["default"], r["best"]) for r in sub) / len(sub)
            m = 100 * sum(lands(r["new"], r["best"]) for r in sub) / len(sub)
            cells.append(f"{f'{d:.0f}/{m:.0f}':>13s}")
        print(f"{model:16s} " + " ".join(cells))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--models", help="comma-separated model names (default: all eleven)")
    ap.add_argument("--per-source", type=int, help="spectra per source, evenly spread (default: all)")
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--restarts", type=int, default=30, help="random Levenberg-Marquardt restarts per pair")
    ap.add_argument("--quick", action="store_true", help="2 spectra per source, 10 restarts, cache untouched")
    ap.add_argument("--export", help="write the best costs of the pairs run to this JSON file")
    ap.add_argument("--misses", action="store_true", help="list every pair a method misses")
    ap.add_argument("--weights", help="directory of candidate <model>.eisnn networks to measure")
    ap.add_argument("--by-source", action="store_true", help="landing shares per source of the spectra")
    ap.add_argument("--ceiling", type=float, metavar="SIGMA",
                    help="LM from the best basin known moved by SIGMA decades, against the default fit")
    ap.add_argument("--repeat", type=int, default=3,
                    help="times each measured fit is run; its least time is reported (default 3)")
    args = ap.parse_args()

    if not os.path.isdir(SPECTRA):
        sys.exit("no measured spectra next to the repository (../shared/realdata/spectra)")
    init_worker()
    models = args.models.split(",") if args.models else list(kv.Circuit.ml_circuits())
    per_source, restarts = args.per_source, args.restarts
    if args.quick:
        per_source, restarts = per_source or 2, min(restarts, 10)
    weights = {}
    if args.weights:
        if not os.path.isdir(args.weights):
            sys.exit(f"--weights: no such directory: {args.weights}")
        weights = {m: os.path.join(args.weights, m + ".eisnn") for m in models
                   if os.path.isfile(os.path.join(args.weights, m + ".eisnn"))}
        if not weights:
            sys.exit(f"--weights: no <model>.eisnn for {', '.join(models)} in {args.weights}")
        print("candidate networks: " + ", ".join(sorted(weights)), flush=True)
    cache = read_cache()
    files = select_files(per_source)
    if args.ceiling is not None:
        if not args.ceiling >= 0:
            sys.exit("--ceiling: SIGMA must be a number of decades >= 0")
        tasks = []
        for path in files:
            digest = content_hash(path)
            for model in models:
                cached = cache.get(pair_key(path, digest, model))
                if cached and cached.get("params"):
                    tasks.append((path, digest, model, cached, args.ceiling, weights.get(model)))
        print(f"{len(tasks)} cached pairs, {args.workers} worker(s)", flush=True)
        with multiprocessing.Pool(args.workers, initializer=init_worker) as pool:
            results = list(pool.imap_unordered(run_ceiling, tasks, chunksize=4))
        report_ceiling(results, models, args.ceiling)
        return
    tasks = []
    for path in files:
        digest = content_hash(path)
        for model in models:
            tasks.append((path, digest, model, cache.get(pair_key(path, digest, model)), restarts,
                          max(args.repeat, 1), weights.get(model)))
    print(f"{len(files)} spectra x {len(models)} models = {len(tasks)} pairs, {restarts} restarts, "
          f"{args.workers} worker(s)", flush=True)

    t0 = time.perf_counter()
    results = []
    with multiprocessing.Pool(args.workers, initializer=init_worker) as pool:
        for k, r in enumerate(pool.imap_unordered(run_pair, tasks, chunksize=1)):
            results.append(r)
            if not args.quick and r["params"] is not None:
                old = cache.get(r["key"])
                if old is None or r["best"] < old["cost"] or r["restarts"] > old.get("restarts", 0):
                    cache[r["key"]] = dict(cost=r["best"], params=compact(r["params"]), restarts=r["restarts"])
            if (k + 1) % 50 == 0:
                print(f"  {k + 1}/{len(tasks)} pairs, {time.perf_counter() - t0:.0f} s", flush=True)
                if not args.quick:
                    write_cache(cache)
    if not args.quick:
        write_cache(cache)
    results.sort(key=lambda r: (r["model"], r["file"]))
    print(f"done in {time.perf_counter() - t0:.0f} s\n")
    report(results, models)
    if args.by_source:
        report_by_source(results, models)
    if args.misses:
        for r in results:
            for which in ("default", "new"):
                if not lands(r[which], r["best"]):
                    print(f"  miss {which:7s} {r['model']:15s} {r['file']:45s} {r[which] / r['best']:.3g}x")
    if args.export:
        subset = {r["key"]: r["best"] for r in results if math.isfinite(r["best"])}
        with open(args.export, "w") as fh:
            json.dump(dict(sorted(subset.items())), fh, indent=0)
            fh.write("\n")


if __name__ == "__main__":
    main()
