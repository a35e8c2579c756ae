"""Continue a bundled network on one focused source, held to its own guess elsewhere.

    python -m training.tune --runs training/runs/gen43 --steps 3000                 # sei_randles_wo, tail pool
    python -m training.tune --runs training/runs/gen44 --model two_rq --source narrow

Batches mix FOCUS_PER_BATCH spectra of the focused source with wide-prior
spectra of the model's own circuit (prior2.generate_wide; for sei_randles_wo
with the resistive-branch and smooth-misfit shares of the shipped network's
order pool) whose targets are the bundled network's own estimates: the run
learns the focused spectra and holds the guess everywhere else to what it
was, without the labelled pools of the earlier runs. Sources:

- tail: the tail pool of sei_randles_wo (tail_pool.py, spectra of two arcs
  and a constant-phase tail labelled with the model's best fit), read again
  every RELOAD steps, so a labeller can keep adding chunks;
- narrow: spectra of the model's own circuit from the first generation's
  prior (synth.generate), labelled with the drawn values.

Writes to <runs>/<model>/: last.pt (every two minutes, resumable),
history.jsonl (running losses), <model>.step<k>.eisnn every SNAPSHOT steps
and <model>.eisnn at the end.
"""

import argparse
import copy
import glob
import json
import os
import time

import numpy as np
import torch

from . import prior2, synth
from .registry import BY_NAME
from .seeds import MODEL_INDEX
from .train import ROOT, export_blob, loss_fn
from .train2 import TARGET_LIMIT, featurize, learning_rate, load_shipped, shuffled_batches, single_worker_pool

BATCH = 256
FOCUS_PER_BATCH = 48
LR_PEAK = 3e-4
RELOAD = 250
TAIL_MODEL = "sei_randles_wo"
SNAPSHOT = 1000
SAVE_SECONDS = 120
LOG_EVERY = int(os.environ.get("TUNE_LOG_EVERY", 100))
# the shipped network's order pool (runs/gen30)
REPLAY_RESISTIVE_SHARE = 0.15
REPLAY_SMOOTH_MISFIT = 0.6


class Batches:
    """Endless batches of `size`, drawn `draw()` at a time (resumable by `rng`)."""

    def __init__(self, rng, size):
        self.rng, self.size = rng, size
        self.queue = []

    def next(self):
        if not self.queue:
            self.queue = self.draw()
        return self.queue.pop()


class Replay(Batches):
    """Wide-prior batches labelled by the teacher network."""

    def __init__(self, model, teacher, rng, kv, size):
        super().__init__(rng, size)
        self.model, self.teacher, self.kv = model, teacher, kv

    def draw(self):
        n = int(self.rng.integers(prior2.N_POINTS[0], prior2.N_POINTS[1] + 1))
        f, z, p = prior2.generate_wide(self.model, self.rng, 1024, n, self.kv)
        feat, glob_, _ = featurize(self.model, f, z, p)
        with torch.no_grad():
            mu = self.teacher(torch.from_numpy(feat), torch.from_numpy(glob_))[:, :self.model.n_params]
        return shuffled_batches(self.rng, self.size, feat, glob_, mu.numpy().astype(np.float32))


class Narrow(Batches):
    """First-prior batches labelled with the drawn values."""

    def __init__(self, model, rng, kv, size, mean, std):
        super().__init__(rng, size)
        self.model, self.kv, self.mean, self.std = model, kv, mean, std

    def draw(self):
        n = int(self.rng.integers(synth.N_POINTS[0], synth.N_POINTS[1] + 1))
        f, z, p = synth.generate(self.model, self.rng, 1024, n, kv=self.kv)
        feat, glob_, t = featurize(self.model, f, z, p)
        t = standardised(prior2.canonical_arcs(self.model, t), self.mean, self.std)
        return shuffled_batches(self.rng, self.size, feat, glob_, t)


def standardised(targets, mean, std):
    """Raw targets standardised and clipped to TARGET_LIMIT, as the pools are."""
    return np.clip((targets - mean) / std, -TARGET_LIMIT, TARGET_LIMIT).astype(np.float32)


def load_tail(model, pool_dir, mean, std):
    files = sorted(glob.glob(os.path.join(pool_dir, "chunk_*.npz")))
    if not files:
        raise SystemExit("no tail pool chunks in %s (run training.tail_pool first)" % pool_dir)
    feats, globs, targs = [], [], []
    for path in files:
        with np.load(path) as d:
            feats.append(d["feat"]), globs.append(d["glob"]), targs.append(d["targ"])
    return np.concatenate(feats), np.concatenate(globs), standardised(np.concatenate(targs), mean, std), len(files)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", default=os.path.join(ROOT, "training", "runs", "gen43"))
    ap.add_argument("--model", default="sei_randles_wo")
    ap.add_argument("--source", choices=("tail", "narrow"), default="tail")
    ap.add_argument("--steps", type=int, default=3000)
    ap.add_argument("--lr", type=float, default=LR_PEAK)
    ap.add_argument("--focus-per-batch", type=int, default=FOCUS_PER_BATCH)
    args = ap.parse_args(argv)
    if args.model not in BY_NAME:
        ap.error("--model: no model %r" % args.model)
    if args.source == "tail" and args.model != TAIL_MODEL:
        ap.error("--source tail: the tail pool is labelled for %s only" % TAIL_MODEL)
    import kelvora as kv

    torch.set_num_threads(1)
    single_worker_pool(kv)
    if args.model == TAIL_MODEL:
        prior2.RESISTIVE_SHARE = REPLAY_RESISTIVE_SHARE
        prior2.SMOOTH_MISFIT_SHARE = REPLAY_SMOOTH_MISFIT
    model = BY_NAME[args.model]
    name = model.name
    run = os.path.join(args.runs, name)
    os.makedirs(run, exist_ok=True)
    pool_dir = os.path.join(run, "tail_pool")
    from .net import GuessNet
    sd, mean, std = load_shipped(model)
    teacher = GuessNet(model.n_params, model.channels)
    teacher.load_state_dict(sd)
    teacher.eval()
    net = copy.deepcopy(teacher)
    net.train()
    opt = torch.optim.AdamW(net.parameters(), lr=args.lr, weight_decay=1e-4)
    base = 22000 if args.source == "tail" else 23000
    rng = np.random.default_rng([base + MODEL_INDEX[name], 0])
    sampler = np.random.default_rng([base + MODEL_INDEX[name], 1])
    replay = Replay(model, teacher, rng, kv, BATCH - args.focus_per_batch)
    narrow = Narrow(model, sampler, kv, args.focus_per_batch, mean, std) if args.source == "narrow" else None
    ckpt = os.path.join(run, "last.pt")
    step, elapsed, steps = 0, 0.0, args.steps
    if os.path.exists(ckpt):
        ck = torch.load(ckpt, weights_only=False)
        net.load_state_dict(ck["net"])
        opt.load_state_dict(ck["opt"])
        step, elapsed, steps = ck["step"], ck["elapsed"], ck["steps"]
        rng.bit_generator.state = ck["rng"]
        sampler.bit_generator.state = ck["sampler"]
        print("resumed at step %d of %d (%.2f h)" % (step, steps, elapsed / 3600), flush=True)

    def save():
        tmp = ckpt + ".tmp"
        torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "step": step, "steps": steps,
                    "elapsed": elapsed, "rng": rng.bit_generator.state,
                    "sampler": sampler.bit_generator.state}, tmp)
        os.replace(tmp, ckpt)

    def blob(name):
        net.eval()
        data = export_blob(model, net, mean, std)
        net.train()
        with open(os.path.join(run, name + ".tmp"), "wb") as fh:
            fh.write(data)
        os.replace(os.path.join(run, name + ".tmp"), os.path.join(run, name))

    tail = None
    t0, last_save = time.time() - elapsed, time.time()
    run_focus = run_replay = None
    while step < steps:
        if narrow is None and (tail is None or step % RELOAD == 0):
            tail = load_tail(model, pool_dir, mean, std)
        for g in opt.param_groups:
            g["lr"] = learning_rate(step / steps, args.lr)
        fw, gw, tw = replay.next()
        if narrow is None:
            i = sampler.integers(0, len(tail[0]), args.focus_per_batch)
            ff, gf, tf = tail[0][i], tail[1][i], tail[2][i]
        else:
            ff, gf, tf = narrow.next()
        feat = torch.from_numpy(np.concatenate([fw, ff]))
        glob_ = torch.from_numpy(np.concatenate([gw, gf]))
        targ = torch.from_numpy(np.concatenate([tw, tf]))
        out = net(feat, glob_)
        loss, _ = loss_fn(out, targ, model.n_params)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 5.0)
        opt.step()
        step += 1
        with torch.no_grad():
            err = (out[:, :model.n_params] - targ) ** 2
            k = len(fw)
            a, b = err[:k].mean().item(), err[k:].mean().item()
        run_replay = a if run_replay is None else 0.98 * run_replay + 0.02 * a
        run_focus = b if run_focus is None else 0.98 * run_focus + 0.02 * b
        elapsed = time.time() - t0
        if step % LOG_EVERY == 0:
            entry = {"step": step, "hours": round(elapsed / 3600, 3), "mse_replay": round(run_replay, 4),
                     "mse_" + args.source: round(run_focus, 4)}
            if tail is not None:
                entry.update(tail_spectra=len(tail[0]), tail_chunks=tail[3])
            with open(os.path.join(run, "history.jsonl"), "a") as fh:
                fh.write(json.dumps(entry) + "\n")
            print(json.dumps(entry), flush=True)
        if step % SNAPSHOT == 0:
            blob("%s.step%d.eisnn" % (name, step))
        if time.time() - last_save > SAVE_SECONDS or step == steps:
            save()
            last_save = time.time()
    blob(name + ".eisnn")


if __name__ == "__main__":
    main()
