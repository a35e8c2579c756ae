"""Second-generation training: continue the bundled networks on the wide prior.

    python -m training.train2                        # all eleven, priority order
    python -m training.train2 --models two_rq,rq     # a selection

Each model starts from the weights (and target standardisation) of its bundled
blob in src/models/ and trains for a fixed number of steps (STEPS) on batches
that mix spectra of its own circuit from the wide prior (prior2.generate_wide)
with spectra of richer circuits labelled by the model's best fit
(prior2.generate_rich). The labelled spectra are kept in a pool on disk that
grows as training goes: one chunk every `label_every` steps.

Everything lives in training/runs/gen2/<name>/ (git-ignored): checkpoint
last.pt (every two minutes), the pool chunks, the cached validation sets,
history.jsonl (validation figures every EVAL_EVERY steps, step 0 being the
bundled network), <name>.current.eisnn (the blob of the last checkpoint) and,
once done, <name>.eisnn and summary.json. Rerunning the same command resumes
where it stopped; finished models are skipped. Nothing is written to src/models.
"""

import argparse
import glob
import json
import math
import os
import time

import numpy as np
import torch

from . import eisnn, prior2, synth
from .features import features_batch
from .registry import BY_NAME
from .seeds import MODEL_INDEX
from .train import BLOBS, ROOT, evaluate_blob, export_blob, loss_fn

RUNS = os.path.join(ROOT, "training", "runs", "gen2")
ORDER_POOL = None            # a directory of order_pool.py chunks that replace the wide stream
ARC_LABELS_ONLY = False      # leave out pool rows whose best fit turns a CPE into a resistor
RESISTIVE_LABEL_ALPHA = 0.2  # below this exponent a CPE acts as a resistor in the window
# Share of the model's own spectra drawn from the first generation's prior
# (synth.generate, labelled with the drawn values): it holds the guess on the
# narrow prior while the rest of the batch follows the wide one and the pools.
NARROW_SHARE = 0.0

ORDER = ["sei_randles", "sei_randles_wo", "two_rq", "two_rq_l", "randles", "two_rc",
         "two_rc_l", "rq", "rq_l", "rc_l", "rc"]
# Optimizer steps per model (one cosine cycle from LR_PEAK).
STEPS = {
    "sei_randles": 24000, "sei_randles_wo": 24000, "two_rq": 24000, "two_rq_l": 24000,
    "randles": 12000, "two_rc": 12000, "two_rc_l": 12000, "rq": 12000, "rq_l": 12000,
    "rc_l": 12000, "rc": 12000,
}
LR_PEAK = 7e-4
BATCH = 256
RICH_PER_BATCH = 48          # of BATCH, drawn from the labelled pool
POOL_CHUNK = 64              # labelled spectra per pool file
POOL_START = 32              # chunks before the first step
# chunks at the end of a run, by width (the 64-channel models have the costliest fits)
POOL_TOTAL = {16: 250, 32: 250, 64: 160}
EVAL_EVERY = 2000
LOG_EVERY = 200
SAVE_SECONDS = 120
VAL_NARROW, VAL_WIDE, VAL_RICH = 1000, 1000, 256
# Pool labels are clipped to this many standard deviations (about 4 decades for
# a resistance): a best fit that drives a parameter to its bound (R0 -> 0 when
# an extra arc takes the series resistance, R2 -> infinity when the second arc
# turns into the blocking tail) is learnt as "very small" or "very large", a
# start that leads to that basin.
TARGET_LIMIT = 5.0
WARM_UP = 0.04               # share of the steps with a linear learning-rate warm-up


def seeds(name):
    i = MODEL_INDEX[name]
    return {"wide": 13000 + i, "pool": 14000 + i, "sample": 15000 + i,
            "val_narrow": 2000 + i, "val_wide": 16000 + i, "val_rich": 17000 + i}


def single_worker_pool(kv):
    """Create kelvora's worker pool with one worker, so fits stay on one core.

    The pool sizes itself from the affinity mask on first use; the mask is
    restored afterwards.
    """
    mask = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(mask)})
    try:
        # from 1000 frequencies on, impedance() runs on the pool and creates it
        f = np.logspace(4, -2, 2000)
        kv.Circuit("R0-(R1,C1)").impedance(f)
    finally:
        os.sched_setaffinity(0, mask)


def load_shipped(model):
    """State dict, target mean and std of the bundled blob."""
    with open(os.path.join(BLOBS, model.name + ".eisnn"), "rb") as fh:
        meta, t = eisnn.read_blob(fh.read())
    assert meta["circuit"] == model.circuit and int(meta["channels"]) == model.channels
    sd = {k[2:]: torch.from_numpy(np.array(v, dtype=np.float32))
          for k, v in t.items() if k.startswith("w.")}
    return sd, np.array(t["target_mean"]), np.array(t["target_std"])


def featurize(model, f, z, p):
    """Features, globals and raw targets of equal-length spectra (finite rows only)."""
    feat, glob, r_s, w_c = features_batch(f, z)
    t = synth.targets_from_params(model, p, r_s, w_c)
    good = np.isfinite(feat).all(axis=(1, 2)) & np.isfinite(t).all(axis=1)
    return feat[good].astype(np.float32), glob[good].astype(np.float32), t[good]


def featurize_rich(model, items):
    feats, globs, targs, costs, texts = [], [], [], [], []
    for f, z, p, text, cost in items:
        a, b, t = featurize(model, f[None], z[None], p[None])
        if len(a):
            feats.append(a[0]), globs.append(b[0]), targs.append(t[0])
            costs.append(cost), texts.append(text)
    P = model.n_params
    return (np.array(feats, dtype=np.float32).reshape(-1, 3, 64),
            np.array(globs, dtype=np.float32).reshape(-1, 2),
            np.array(targs).reshape(-1, P), np.array(costs), np.array(texts))


def shuffled_batches(rng, size, *arrays):
    """The rows of `arrays` (all of one length) in one random order, cut into
    whole batches of `size`: a list of tuples of arrays."""
    perm = rng.permutation(len(arrays[0]))
    return [tuple(a[perm[s:s + size]] for a in arrays) for s in range(0, len(perm) - size + 1, size)]


class WideStream:
    """Endless batches of the model's own circuit from the wide prior (resumable)."""

    def __init__(self, model, seed, mean, std, kv, size):
        self.model, self.kv, self.size = model, kv, size
        self.rng = np.random.default_rng(seed)
        self.mean, self.std = mean, std
        self.queue = []

    def _refill(self):
        feats, globs, targs = [], [], []
        if ORDER_POOL:  # the same prior, labelled in one arc order (order_pool.py)
            files = sorted(glob.glob(os.path.join(ORDER_POOL, "chunk_*.npz")))
            if not files:
                raise SystemExit("--order-pool: no chunk_*.npz in %s" % ORDER_POOL)
            for k in self.rng.integers(0, len(files), 8):
                with np.load(files[k]) as d:
                    feats.append(d["feat"]), globs.append(d["glob"]), targs.append(d["targ"])
        for _ in range(0 if ORDER_POOL else 8):
            n = int(self.rng.integers(prior2.N_POINTS[0], prior2.N_POINTS[1] + 1))
            f, z, p = prior2.generate_wide(self.model, self.rng, 256, n, self.kv)
            a, b, t = featurize(self.model, f, z, p)
            feats.append(a), globs.append(b), targs.append(t)
        narrow = round(sum(len(a) for a in feats) * NARROW_SHARE / (1.0 - NARROW_SHARE))
        while narrow > 0:
            b = min(narrow, 256)
            n = int(self.rng.integers(synth.N_POINTS[0], synth.N_POINTS[1] + 1))
            f, z, p = synth.generate(self.model, self.rng, b, n, kv=self.kv)
            a, g, t = featurize(self.model, f, z, p)
            feats.append(a), globs.append(g), targs.append(prior2.canonical_arcs(self.model, t))
            narrow -= b
        feat, glob_ = np.concatenate(feats), np.concatenate(globs)
        targ = ((np.concatenate(targs) - self.mean) / self.std).astype(np.float32)
        self.queue += shuffled_batches(self.rng, self.size, feat, glob_, targ)

    def next(self):
        if not self.queue:
            self._refill()
        return self.queue.pop()


def chunk_path(pool_dir, k):
    return os.path.join(pool_dir, "chunk_%05d.npz" % k)


def label_chunk(model, seed, k, path, kv):
    """Label pool chunk k (drawn from seed (seed, k)) and write it to path."""
    items = prior2.generate_rich(model, np.random.default_rng([seed, k]), POOL_CHUNK, kv)
    feat, glob, targ, cost, text = featurize_rich(model, items)
    tmp = path + ".tmp.npz"
    np.savez(tmp, feat=feat, glob=glob, targ=targ, cost=cost, circuit=text)
    os.replace(tmp, path)


def label_ahead(model, first, last, kv, log):
    """Label the pool chunks first..last-1 that are not on disk yet, from the
    last down, so that a second core can label ahead of a training run (which
    loads a chunk found on disk instead of labelling it)."""
    pool_dir = os.path.join(RUNS, model.name, "pool")
    os.makedirs(pool_dir, exist_ok=True)
    _, mean, std = load_shipped(model)
    validation_sets(model, os.path.join(RUNS, model.name), kv, mean, std)  # made once, by whoever is first
    seed = seeds(model.name)["pool"]
    for k in range(last - 1, first - 1, -1):
        path = chunk_path(pool_dir, k)
        if not os.path.exists(path):
            t0 = time.time()
            label_chunk(model, seed, k, path, kv)
            log("%s: pool chunk %d labelled in %.0f s" % (model.name, k, time.time() - t0))


class Pool:
    """Labelled richer-circuit spectra in chunk files; chunk k comes from seed (base, k)."""

    def __init__(self, model, run, seed, mean, std, kv):
        self.model, self.kv, self.seed = model, kv, seed
        self.mean, self.std = mean, std
        self.dir = os.path.join(run, "pool")
        os.makedirs(self.dir, exist_ok=True)
        self.feat, self.glob, self.targ = [], [], []
        self.count = 0
        self.clipped = self.made = self.dropped = 0
        self.seconds = 0.0
        while os.path.exists(self._path(self.count)):
            self._load(self.count)
            self.count += 1

    def _path(self, k):
        return chunk_path(self.dir, k)

    def _load(self, k):
        with np.load(self._path(k)) as d:
            # best fits may name interchangeable arcs either way round: ordered on loading
            keep = slice(None)
            if ARC_LABELS_ONLY:
                alphas = [i for i, n in enumerate(self.model.param_names) if n.endswith(".alpha")]
                keep = (d["targ"][:, alphas] >= RESISTIVE_LABEL_ALPHA).all(axis=1)
                self.dropped += int((~keep).sum())
            t = (prior2.canonical_arcs(self.model, d["targ"][keep]) - self.mean) / self.std
            self.made += len(t)
            self.clipped += int((np.abs(t) > TARGET_LIMIT).any(axis=1).sum())
            self.feat.append(d["feat"][keep])
            self.glob.append(d["glob"][keep])
            self.targ.append(np.clip(t, -TARGET_LIMIT, TARGET_LIMIT).astype(np.float32))
        self._cat = None

    def grow(self):
        t0 = time.time()
        if not os.path.exists(self._path(self.count)):  # else labelled ahead by --label
            label_chunk(self.model, self.seed, self.count, self._path(self.count), self.kv)
        self._load(self.count)
        self.count += 1
        self.seconds += time.time() - t0

    def sample(self, rng, k):
        if self._cat is None:
            self._cat = (np.concatenate(self.feat), np.concatenate(self.glob),
                         np.concatenate(self.targ))
        f, g, t = self._cat
        i = rng.integers(0, len(f), k)
        return f[i], g[i], t[i]


def validation_sets(model, run, kv, mean, std):
    """Cached (name, feat, glob, standardised targets) for the three validation sets."""
    path = os.path.join(run, "validation.npz")
    if not os.path.exists(path):
        s = seeds(model.name)
        a, b, t, _ = synth.build_dataset(model, s["val_narrow"], VAL_NARROW, noise=0.01, kv=kv)
        rng = np.random.default_rng(s["val_wide"])
        wf, wg, wt = [], [], []
        while sum(len(x) for x in wf) < VAL_WIDE:
            n = int(rng.integers(prior2.N_POINTS[0], prior2.N_POINTS[1] + 1))
            f, z, p = prior2.generate_wide(model, rng, 100, n, kv, noise=0.01)
            x, y, u = featurize(model, f, z, p)
            wf.append(x), wg.append(y), wt.append(u)
        items = prior2.generate_rich(model, np.random.default_rng(s["val_rich"]), VAL_RICH, kv)
        rf, rg, rt, _, _ = featurize_rich(model, items)
        tmp = path + ".tmp.npz"
        np.savez(tmp, narrow_feat=a.astype(np.float32), narrow_glob=b.astype(np.float32),
                 narrow_targ=t, wide_feat=np.concatenate(wf), wide_glob=np.concatenate(wg),
                 wide_targ=np.concatenate(wt), rich_feat=rf, rich_glob=rg, rich_targ=rt)
        os.replace(tmp, path)
    out = []
    with np.load(path) as d:
        for name in ("narrow", "wide", "rich"):
            out.append((name, torch.from_numpy(d[name + "_feat"]),
                        torch.from_numpy(d[name + "_glob"]),
                        (prior2.canonical_arcs(model, d[name + "_targ"]) - mean) / std))
    return out


def validate(model, net, sets, std):
    """Median error per parameter (decades; exponents absolute) on each set."""
    P = model.n_params
    net.eval()
    res = {}
    with torch.no_grad():
        for name, feat, glob, targ in sets:
            mu = np.concatenate([net(feat[i:i + 500], glob[i:i + 500])[:, :P].double().numpy()
                                 for i in range(0, len(feat), 500)])
            err = np.abs(mu - targ) * std
            res[name] = dict(zip(model.param_names, np.median(err, axis=0).round(4).tolist()))
    net.train()
    return res


def learning_rate(progress, peak):
    """Linear warm-up over WARM_UP of the steps, then cosine decay to 2% of the peak.

    The warm-up is longer than for a fresh network: the first Adam steps move
    every weight by about the learning rate and would undo the bundled training.
    """
    if progress < WARM_UP:
        return peak * max(progress, 1e-3) / WARM_UP
    frac = min((progress - WARM_UP) / (1.0 - WARM_UP), 1.0)
    return peak * (0.02 + 0.98 * 0.5 * (1.0 + math.cos(math.pi * frac)))


def train_model(model, steps, lr, kv, log):
    run = os.path.join(RUNS, model.name)
    os.makedirs(run, exist_ok=True)
    if os.path.exists(os.path.join(run, "summary.json")):
        log("%s: finished earlier, skipped" % model.name)
        return
    ckpt = os.path.join(run, "last.pt")
    s = seeds(model.name)
    P = model.n_params
    from .net import GuessNet
    net = GuessNet(P, model.channels)
    sd, mean, std = load_shipped(model)
    net.load_state_dict(sd)
    opt = torch.optim.AdamW(net.parameters(), lr=lr, weight_decay=1e-4)
    wide = WideStream(model, s["wide"], mean, std, kv, BATCH - RICH_PER_BATCH)
    sampler = np.random.default_rng(s["sample"])
    step, elapsed, label_seconds = 0, 0.0, 0.0
    if os.path.exists(ckpt):
        ck = torch.load(ckpt, weights_only=False)
        net.load_state_dict(ck["net"])
        opt.load_state_dict(ck["opt"])
        step, elapsed, steps = ck["step"], ck["elapsed"], ck["steps"]
        label_seconds = ck["label_seconds"]
        wide.rng.bit_generator.state = ck["wide"]
        sampler.bit_generator.state = ck["sampler"]
        log("%s: resumed at step %d of %d (%.2f h)" % (model.name, step, steps, elapsed / 3600))
    else:
        log("%s: starting from the bundled weights, %d steps" % (model.name, steps))
    sets = validation_sets(model, run, kv, mean, std)
    pool = Pool(model, run, s["pool"], mean, std, kv)
    every = max(1, steps // max(POOL_TOTAL[model.channels] - POOL_START, 1))

    def need():
        return POOL_START + step // every

    t_pool = time.time()
    while pool.count < need():
        pool.grow()
    label_seconds += time.time() - t_pool
    hist_path = os.path.join(run, "history.jsonl")

    def record():
        v = validate(model, net, sets, std)
        entry = {"step": step, "hours": round(elapsed / 3600, 3),
                 "label_hours": round(label_seconds / 3600, 3), "pool": pool.made,
                 "pool_clipped_share": round(pool.clipped / max(pool.made, 1), 3), "pool_dropped": pool.dropped, "val": v}
        with open(hist_path, "a") as fh:
            fh.write(json.dumps(entry) + "\n")
        log("%s step %d val %s" % (model.name, step, json.dumps(v)))

    def save():
        tmp = ckpt + ".tmp"
        torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "step": step,
                    "steps": steps, "elapsed": elapsed, "label_seconds": label_seconds,
                    "wide": wide.rng.bit_generator.state,
                    "sampler": sampler.bit_generator.state}, tmp)
        os.replace(tmp, ckpt)
        blob = export_blob(model, net, mean, std)
        with open(os.path.join(run, model.name + ".current.eisnn.tmp"), "wb") as fh:
            fh.write(blob)
        os.replace(os.path.join(run, model.name + ".current.eisnn.tmp"),
                   os.path.join(run, model.name + ".current.eisnn"))

    if step == 0 and not os.path.exists(hist_path):
        record()
    t0 = time.time() - elapsed
    last_save = time.time()
    run_mse = None
    net.train()
    while step < steps:
        if pool.count < need():
            t1 = time.time()
            pool.grow()
            label_seconds += time.time() - t1
        for g in opt.param_groups:
            g["lr"] = learning_rate(step / steps, lr)
        fw, gw, tw = wide.next()
        fr, gr, tr = pool.sample(sampler, RICH_PER_BATCH)
        feat = torch.from_numpy(np.concatenate([fw, fr]))
        glob = torch.from_numpy(np.concatenate([gw, gr]))
        targ = torch.from_numpy(np.concatenate([tw, tr]))
        out = net(feat, glob)
        loss, mse = loss_fn(out, targ, P)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 5.0)
        opt.step()
        step += 1
        m = mse.detach().numpy()
        run_mse = m if run_mse is None else 0.98 * run_mse + 0.02 * m
        elapsed = time.time() - t0
        if step % LOG_EVERY == 0:
            log("%s step %d/%d %.2fh (label %.2fh) loss %.4f mse %s" % (
                model.name, step, steps, elapsed / 3600, label_seconds / 3600, loss.item(),
                np.round(run_mse, 3).tolist()))
        if step % EVAL_EVERY == 0 or step == steps:
            record()
        if time.time() - last_save > SAVE_SECONDS or step == steps:
            save()
            last_save = time.time()
    net.eval()
    blob = export_blob(model, net, mean, std)
    with open(os.path.join(run, model.name + ".eisnn"), "wb") as fh:
        fh.write(blob)
    # the binary16-rounded blob in float64, on the first prior's validation spectra
    quality = evaluate_blob(model, blob, kv)
    info = {"steps": step, "hours": round(elapsed / 3600, 2),
            "label_hours": round(label_seconds / 3600, 2), "pool": pool.made,
            "pool_clipped_share": round(pool.clipped / max(pool.made, 1), 3), "pool_dropped": pool.dropped, "blob_bytes": len(blob), "val_median_error_first_prior": quality,
            "val_final": validate(model, net, sets, std), "channels": model.channels}
    with open(os.path.join(run, "summary.json"), "w") as fh:
        json.dump(info, fh, indent=1)
    log("%s done: %s" % (model.name, json.dumps(info)))


def main():
    global RUNS, ORDER_POOL, ARC_LABELS_ONLY, NARROW_SHARE, POOL_START, EVAL_EVERY, LOG_EVERY, SAVE_SECONDS, VAL_NARROW, VAL_WIDE, VAL_RICH
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", default=",".join(ORDER))
    ap.add_argument("--steps", type=int, default=None, help="steps per model (default: STEPS)")
    ap.add_argument("--lr", type=float, default=LR_PEAK)
    ap.add_argument("--runs", default=RUNS, help="run directory (default training/runs/gen2)")
    ap.add_argument("--label", metavar="FIRST:LAST",
                    help="only label pool chunks FIRST..LAST-1 missing on disk (a second core labelling ahead)")
    ap.add_argument("--pool-chunks", type=int,
                    help="pool chunks at the end of the run (default %s by channels)" % POOL_TOTAL)
    ap.add_argument("--order-pool", metavar="DIR",
                    help="draw the model's own spectra from these order_pool.py chunks instead of the wide stream")
    ap.add_argument("--arc-labels-only", action="store_true",
                    help="leave out pool spectra whose best fit has a CPE exponent below %g" % RESISTIVE_LABEL_ALPHA)
    ap.add_argument("--narrow-share", type=float, default=NARROW_SHARE, metavar="SHARE",
                    help="share of the model's own spectra drawn from the first generation's prior")
    ap.add_argument("--rich-arc-ratio", metavar="LO:HI",
                    help="log10 range of the richer circuits' extra arc against the model's arcs"
                         " (default %g:%g; also the richer validation set when it is drawn)"
                         % prior2.RICH_ARC_LOG_RATIO)
    ap.add_argument("--smoke", action="store_true",
                    help="tiny pool and validation sets, checkpoint every step (a quick check)")
    args = ap.parse_args()
    if args.smoke:
        POOL_START, EVAL_EVERY, LOG_EVERY, SAVE_SECONDS = 2, 10, 5, 0
        POOL_TOTAL.update({c: 4 for c in POOL_TOTAL})
        VAL_NARROW, VAL_WIDE, VAL_RICH = 200, 200, 16
    if args.pool_chunks:
        if args.pool_chunks <= POOL_START:
            raise SystemExit("--pool-chunks must exceed the %d chunks labelled before the first step" % POOL_START)
        POOL_TOTAL.update({c: args.pool_chunks for c in POOL_TOTAL})
    if not 0.0 <= args.narrow_share < 1.0:
        raise SystemExit("--narrow-share must lie in [0, 1)")
    NARROW_SHARE = args.narrow_share
    if args.rich_arc_ratio:
        try:
            lo, hi = (float(x) for x in args.rich_arc_ratio.split(":"))
        except ValueError:
            raise SystemExit("--rich-arc-ratio: expected LO:HI, two numbers, got %r" % args.rich_arc_ratio)
        if not lo < hi:
            raise SystemExit("--rich-arc-ratio: LO must be below HI")
        prior2.RICH_ARC_LOG_RATIO = (lo, hi)
    RUNS = os.path.abspath(args.runs)
    ORDER_POOL = args.order_pool and os.path.abspath(args.order_pool)
    ARC_LABELS_ONLY = args.arc_labels_only
    torch.set_num_threads(1)
    torch.set_num_interop_threads(1)
    kv = synth.load_kelvora()
    if kv is None:
        raise SystemExit("kelvora is not importable: build it and put the build on PYTHONPATH")
    single_worker_pool(kv)
    log = lambda m: print(time.strftime("%Y-%m-%d %H:%M:%S ") + m, flush=True)  # noqa: E731
    if args.label:
        first, _, last = args.label.partition(":")
        for name in args.models.split(","):
            label_ahead(BY_NAME[name], int(first), int(last), kv, log)
        return
    for name in args.models.split(","):
        model = BY_NAME[name]
        train_model(model, args.steps or STEPS[name], args.lr, kv, log)


if __name__ == "__main__":
    main()
