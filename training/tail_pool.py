"""Spectra of two arcs and a constant-phase tail labelled with the model's best fit.

    python -m training.tail_pool --runs training/runs/gen43 --chunks 0:48

Draws `prior2.generate_tail` spectra (CHUNK a file, seed (base, k)) and labels
each with the finite-diffusion Randles circuit's best fit (`prior2.best_fit`:
the guess, the drawn arcs, the seeded multi-start search), about a third of a
second a spectrum. Chunk k is written to <runs>/sei_randles_wo/tail_pool/ in
the labelled pool's format; chunks on disk are skipped, so two processes can
share a range (one with --reverse).
"""

import argparse
import os
import time

import numpy as np

from . import prior2
from .registry import BY_NAME
from .seeds import MODEL_INDEX
from .train import ROOT
from .train2 import featurize

CHUNK = 64
MODEL = "sei_randles_wo"


def label_chunk(model, k, path, kv):
    """Draw and label chunk k; returns how many labels are in the resistive shape."""
    rng = np.random.default_rng([21000 + MODEL_INDEX[model.name], k])
    n = int(rng.integers(prior2.N_POINTS[0], prior2.N_POINTS[1] + 1))
    f, z, _, starts = prior2.generate_tail(model, rng, CHUNK, n, kv)
    rows, labels = [], []
    for b in range(CHUNK):
        if not np.all(np.isfinite(z[b])):
            continue
        p, _ = prior2.best_fit(kv, model, f[b], z[b], starts[b], rng)
        if p is not None:
            rows.append(b)
            labels.append(p)
    feat, glob, targ = featurize(model, f[rows], z[rows], np.array(labels))
    tmp = path + ".tmp.npz"
    np.savez(tmp, feat=feat, glob=glob, targ=targ)
    os.replace(tmp, path)
    alpha = list(model.param_names).index("CPE2.alpha")
    return int((targ[:, alpha] <= prior2.RESISTIVE_ALPHA[1]).sum())


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", default=os.path.join(ROOT, "training", "runs", "gen43"))
    ap.add_argument("--chunks", default="0:48", metavar="FIRST:LAST")
    ap.add_argument("--reverse", action="store_true", help="label from the last chunk down")
    args = ap.parse_args(argv)
    import kelvora as kv

    model = BY_NAME[MODEL]
    first, _, last = args.chunks.partition(":")
    ks = list(range(int(first), int(last)))
    if args.reverse:
        ks.reverse()
    out = os.path.join(args.runs, MODEL, "tail_pool")
    os.makedirs(out, exist_ok=True)
    for k in ks:
        path = os.path.join(out, "chunk_%05d.npz" % k)
        if os.path.exists(path):
            continue
        t0 = time.time()
        resistive = label_chunk(model, k, path, kv)
        print("%s %s: tail chunk %d, %d resistive labels, %.0f s"
              % (time.strftime("%Y-%m-%d %H:%M:%S"), MODEL, k, resistive, time.time() - t0), flush=True)


if __name__ == "__main__":
    main()
