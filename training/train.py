"""Train the bundled guess networks and export them as weight blobs.

    python -m training.train                       # all eleven, registry order
    python -m training.train --models rc,randles   # a selection
    python -m training.train --minutes 8           # wall-clock budget per model

Training resumes from training/runs/<name>/last.pt when it exists (same step
budget, same random streams); a finished run is only re-exported. Spectra are
drawn fresh for every batch from the prior in synth.py, so nothing is stored but
the checkpoints.
"""

import argparse
import json
import math
import os
import time

import numpy as np
import torch

from . import eisnn, infer, synth
from .registry import BY_NAME, MODELS, log_flags, scaling_rows
from .seeds import seeds

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = os.path.join(ROOT, "training", "runs")
BLOBS = os.path.join(ROOT, "src", "models")

STATS_SIZE = 100_000
VAL_SIZE = 2_000
BATCH = 256
POOL_CHUNKS = 16
CHUNK = 512


class Stream:
    """Endless shuffled batches of fresh synthetic spectra (resumable by state)."""

    def __init__(self, model, seed, mean, std, kv=None):
        self.model, self.kv = model, kv
        self.rng = np.random.default_rng(seed)
        self.mean, self.std = mean, std
        self.queue = []

    def _refill(self):
        feats, globs, targs = [], [], []
        for _ in range(POOL_CHUNKS):
            n = int(self.rng.integers(synth.N_POINTS[0], synth.N_POINTS[1] + 1))
            f, z, p = synth.generate(self.model, self.rng, CHUNK, n, kv=self.kv)
            from .features import features_batch
            feat, glob, r_s, w_c = features_batch(f, z)
            t = synth.targets_from_params(self.model, p, r_s, w_c)
            good = np.isfinite(feat).all(axis=(1, 2)) & np.isfinite(t).all(axis=1)
            feats.append(feat[good])
            globs.append(glob[good])
            targs.append(t[good])
        feat = np.concatenate(feats)
        glob = np.concatenate(globs)
        targ = (np.concatenate(targs) - self.mean) / self.std
        perm = self.rng.permutation(len(feat))
        for s in range(0, len(perm) - BATCH + 1, BATCH):
            idx = perm[s:s + BATCH]
            self.queue.append((torch.from_numpy(feat[idx]).float(),
                               torch.from_numpy(glob[idx]).float(),
                               torch.from_numpy(targ[idx]).float()))

    def next(self):
        if not self.queue:
            self._refill()
        return self.queue.pop()

    def state(self):
        # batches already queued are dropped on resume; the generator moves on
        return self.rng.bit_generator.state

    def restore(self, state):
        self.rng.bit_generator.state = state
        self.queue = []


def target_stats(model, kv=None):
    _, _, t, _ = synth.build_dataset(model, seeds(model.name)["stats"], STATS_SIZE, kv=kv)
    return t.mean(axis=0), t.std(axis=0)


def loss_fn(out, target, P):
    mu, logvar = out[:, :P], out[:, P:].clamp(-9.0, 6.0)
    err2 = (mu - target.clamp(-8.0, 8.0)) ** 2
    nll = 0.5 * (torch.exp(-logvar) * err2 + logvar)
    return nll.mean() + 0.1 * err2.mean(), err2.mean(dim=0)


def lr_at(progress, peak):
    """2% linear warm-up, then cosine decay to 2% of the peak."""
    warm = 0.02
    if progress < warm:
        return peak * max(progress, 1e-3) / warm
    frac = min((progress - warm) / (1.0 - warm), 1.0)
    return peak * (0.02 + 0.98 * 0.5 * (1.0 + math.cos(math.pi * frac)))


def export_blob(model, net, mean, std):
    sd = {k: v.detach().double().numpy() for k, v in net.state_dict().items()}
    return eisnn.export(model, sd, mean, std, scaling_rows(model.param_names),
                        log_flags(model.param_names))


def evaluate_blob(model, blob, kv=None, size=VAL_SIZE, seed=None, noise=0.01):
    """Median error per parameter of the float64 inference of `blob` on held-out spectra."""
    meta, t = eisnn.read_blob(blob)
    rng = np.random.default_rng(seeds(model.name)["val"] if seed is None else seed)
    errs = []
    done = 0
    while done < size:
        n = int(rng.integers(synth.N_POINTS[0], synth.N_POINTS[1] + 1))
        b = min(100, size - done)
        f, z, p = synth.generate(model, rng, b, n, noise=noise, kv=kv)
        g = np.array([infer.guess(meta, t, f[i], z[i]) for i in range(b)])
        errs.append(infer.log_error(model.param_names, g, p))
        done += b
    e = np.concatenate(errs)
    return dict(zip(model.param_names, np.nanmedian(e, axis=0).round(4).tolist()))


def train_one(model, steps, minutes, lr, threads, kv=None, log=print, extend=0.0):
    torch.set_num_threads(threads)
    run = os.path.join(RUNS, model.name)
    os.makedirs(run, exist_ok=True)
    ckpt_path = os.path.join(run, "last.pt")
    s = seeds(model.name)
    torch.manual_seed(s["torch"])
    P = model.n_params
    from .net import GuessNet
    net = GuessNet(P, model.channels)
    opt = torch.optim.AdamW(net.parameters(), lr=lr, weight_decay=1e-4)
    step, elapsed = 0, 0.0
    phases = []  # (step, elapsed seconds, lr peak) where each learning-rate cycle began
    if os.path.exists(ckpt_path):
        ck = torch.load(ckpt_path, weights_only=False)
        net.load_state_dict(ck["net"])
        opt.load_state_dict(ck["opt"])
        step, elapsed = ck["step"], ck["elapsed"]
        mean, std = ck["mean"], ck["std"]
        steps, minutes = ck["steps"], ck["minutes"]
        stream = Stream(model, s["stream"], mean, std, kv)
        stream.restore(ck["stream"])
        phases = ck.get("phases", [])
        log("%s: resumed at step %d" % (model.name, step))
        if extend:
            if steps is not None:
                raise SystemExit("--extend applies to wall-clock runs only; "
                                 "give the whole step schedule instead")
            # a second learning-rate cycle at half the peak on top of a finished
            # (or interrupted) run
            minutes = elapsed / 60.0 + extend
            phases.append((step, elapsed, lr * 0.5))
            log("%s: extended by %.1f minutes" % (model.name, extend))
    else:
        mean, std = target_stats(model, kv)
        stream = Stream(model, s["stream"], mean, std, kv)

    def save():
        tmp = ckpt_path + ".tmp"
        torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "step": step,
                    "steps": steps, "minutes": minutes, "phases": phases, "elapsed": elapsed, "mean": mean, "std": std,
                    "stream": stream.state()}, tmp)
        os.replace(tmp, ckpt_path)

    # Without a step count the run is bounded by wall-clock time: the learning
    # rate follows the elapsed fraction of the budget and the run ends when the
    # budget is spent (--extend adds a second cycle). The step counts reached
    # are kept in summary.json; a step schedule, a list of (steps, lr peak)
    # cycles, replays such a run by step count instead (RECORDED_CYCLES).
    timed = steps is None
    if not timed and isinstance(steps, int):
        steps = [(steps, lr)]
    budget = minutes * 60.0
    t0 = time.time() - elapsed
    last_save = time.time()
    run_mse = None
    net.train()

    start, peak = (phases[-1][1], phases[-1][2]) if phases else (0.0, lr)

    def schedule():
        """(progress of the current cycle, its learning-rate peak); progress 1 = done."""
        if timed:
            return (elapsed - start) / max(budget - start, 1e-9), peak
        first = 0
        for n, top in steps:
            if step < first + n:
                return (step - first) / n, top
            first += n
        return 1.0, steps[-1][1]

    while True:
        prog, top = schedule()
        if prog >= 1.0:
            break
        for g in opt.param_groups:
            g["lr"] = lr_at(prog, top)
        feat, glob, targ = stream.next()
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
        if step % 200 == 0:
            log("%s step %d (%.0f%%) %.0fs loss %.4f mse %s" % (
                model.name, step, 100 * prog, elapsed, loss.item(),
                np.round(run_mse, 3).tolist()))
        if time.time() - last_save > 60:
            save()
            last_save = time.time()
    save()
    net.eval()
    blob = export_blob(model, net, mean, std)
    with open(os.path.join(BLOBS, model.name + ".eisnn"), "wb") as fh:
        fh.write(blob)
    quality = evaluate_blob(model, blob, kv)
    info = {"steps": step, "minutes_budget": minutes if timed else None,
            "extra_cycles": [{"from_step": a, "lr_peak": c} for a, _, c in phases], "seconds": round(elapsed, 1), "blob_bytes": len(blob),
            "val_median_error": quality, "channels": model.channels}
    with open(os.path.join(run, "summary.json"), "w") as fh:
        json.dump(info, fh, indent=1)
    log("%s done: %s" % (model.name, json.dumps(info)))
    return info


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", default=",".join(m.name for m in MODELS))
    ap.add_argument("--steps", type=int, default=None,
                    help="optimizer steps per model, one cosine cycle (default: the recorded "
                         "schedule of the shipped network, else a wall-clock budget)")
    ap.add_argument("--minutes", type=float, default=0,
                    help="wall-clock budget per model; fixes the step count from the measured speed")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--extend", type=float, default=0.0, metavar="MINUTES",
                    help="continue finished runs for MINUTES more with a second, half-peak cycle")
    ap.add_argument("--backend", choices=["auto", "numpy", "kelvora"], default="auto")
    args = ap.parse_args()
    kv = None
    if args.backend != "numpy":
        kv = synth.load_kelvora()
        if kv is None and args.backend == "kelvora":
            raise SystemExit("kelvora is not importable")
    print("impedance backend:", "kelvora" if kv is not None else "numpy", flush=True)
    for name in args.models.split(","):
        model = BY_NAME[name]
        steps = args.steps
        minutes = args.minutes or DEFAULT_MINUTES[model.channels]
        if steps is None and not args.minutes and not args.extend and name in RECORDED_CYCLES:
            steps = [(n, args.lr * f) for n, f in RECORDED_CYCLES[name]]
        train_one(model, steps, minutes, args.lr, args.threads, kv,
                  log=lambda m: print(m, flush=True), extend=args.extend)


# Wall-clock budget per model by width (minutes, one thread), used when neither
# --steps nor a recorded step count applies.
DEFAULT_MINUTES = {16: 4, 32: 8, 64: 13}
# Step schedules of the shipped networks (from their summary.json): cycles of
# (steps, fraction of --lr). A plain retrain replays them by step count, so it
# does the same optimisation on any machine.
RECORDED_CYCLES = {
    "rc": [(4065, 1.0)],
    "rc_l": [(2582, 1.0)],
    "rq": [(2501, 1.0)],
    "rq_l": [(2339, 1.0)],
    "two_rc": [(2261, 1.0)],
    "two_rc_l": [(2730, 1.0)],
    "two_rq": [(2164, 1.0), (6477, 0.5)],
    "two_rq_l": [(3050, 1.0)],
    "randles": [(2823, 1.0)],
    "sei_randles": [(3061, 1.0), (1782, 0.5)],
    "sei_randles_wo": [(1613, 1.0), (1572, 0.5), (2545, 0.5), (2263, 0.5)],
}

if __name__ == "__main__":
    main()
