"""Wide-prior spectra of the two-arc models labelled with one of two near-tied shapes.

    python -m training.order_pool --runs training/runs/gen18 --models sei_randles --chunks 0:400

Draws spectra of the model's own circuit from the wide prior, as the training
stream does, and labels them with the model's labeller (MODELS): for the
two-arc Randles models `prior2.label_diffusion_above` (a draw in the usual
order that fits about as well with its arcs exchanged is labelled in the
other order), for two_rq and two_rq_l `prior2.label_low_arc_blocking` (a draw
whose low-frequency arc fits about as well opened into a blocking branch is
labelled with that fit). Chunk k (WIDE_CHUNK spectra, seed (base, k)) is written to
<runs>/<name>/order_pool/ in the labelled pool's format, so that a run can
train on one order instead of the stream. Chunks already on disk are skipped,
so two processes can share a range (one from each end, see --reverse).
--narrow draws from the first generation's prior instead (chunk_narrow_k,
seeds of its own), labelled the same way, so that a run holds its guess on
that prior: its share of the run's spectra is its share of the chunk files.
Two LM fits per relabelled candidate: 8-25 s a chunk; --lower-basin adds a
multi-start fit per draw (one to three minutes a chunk).
"""

import argparse
import os
import time

import numpy as np

from . import prior2, synth
from .registry import BY_NAME
from .seeds import MODEL_INDEX
from .train import ROOT
from .train2 import featurize

WIDE_CHUNK = 256
# How each model's near-tied draws are labelled.
MODELS = {
    "sei_randles": prior2.label_diffusion_above,
    "sei_randles_wo": prior2.label_diffusion_above,
    "two_rq": prior2.label_low_arc_blocking,
    "two_rq_l": prior2.label_low_arc_blocking,
}


def label_chunk(model, k, path, kv, guess_weights=None, lower_basin=False, narrow=False):
    """Draw and label chunk k; returns how many labels took the other shape.

    narrow: draw from the first generation's prior (synth.generate) instead of
    the wide one, from seeds of its own.
    """
    shapes = {}
    if narrow:
        rng = np.random.default_rng([19000 + MODEL_INDEX[model.name], k])
        n = int(rng.integers(synth.N_POINTS[0], synth.N_POINTS[1] + 1))
        f, z, p = synth.generate(model, rng, WIDE_CHUNK, n, kv=kv)
    else:
        rng = np.random.default_rng([18000 + MODEL_INDEX[model.name], k])
        n = int(rng.integers(prior2.N_POINTS[0], prior2.N_POINTS[1] + 1))
        f, z, p = prior2.generate_wide(model, rng, WIDE_CHUNK, n, kv, shapes=shapes)
    names = list(model.param_names)
    labels, changed = MODELS[model.name](kv, model.circuit, names, f, z, p)
    if guess_weights and "CPE2.alpha" in names:
        resistive = p[:, names.index("CPE2.alpha")] <= prior2.RESISTIVE_ALPHA[1]
        labels, moved = prior2.label_guess_tie(kv, model.circuit, names, f, z, labels, resistive, guess_weights)
        changed |= moved
    if lower_basin:
        labels, moved = prior2.label_lower_basin(kv, model.circuit, names, f, z, p, labels, k * WIDE_CHUNK)
        changed |= moved
    if "_extra_arc" in shapes:
        labels, moved = prior2.label_best_fit(kv, model, f, z, p, labels, shapes["_extra_arc"], rng)
        changed |= moved
    feat, glob, targ = featurize(model, f, z, labels)
    targ = prior2.canonical_arcs(model, targ)
    tmp = path + ".tmp.npz"
    np.savez(tmp, feat=feat, glob=glob, targ=targ, relabelled=np.array(int(changed.sum())))
    os.replace(tmp, path)
    return int(changed.sum())


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", default=os.path.join(ROOT, "training", "runs", "gen18"))
    ap.add_argument("--models", default="sei_randles", help="of " + ", ".join(MODELS))
    ap.add_argument("--chunks", default="0:400", metavar="FIRST:LAST")
    ap.add_argument("--reverse", action="store_true", help="label from the last chunk down")
    ap.add_argument("--resistive-share", type=float, default=prior2.RESISTIVE_SHARE,
                    help="share of the Wo2 draws in the resistive-branch shape (default %(default)s)")
    ap.add_argument("--resistive-stray", action="store_true",
                    help="give every resistive-branch draw a stray series inductance")
    ap.add_argument("--resistive-extra-arc", type=float, default=prior2.RESISTIVE_EXTRA_ARC, metavar="SHARE",
                    help="share of the resistive-branch draws given a small extra arc near the top of the window,"
                         " labelled with the model's best fit (a few seconds a draw; default %(default)s)")
    ap.add_argument("--smooth-misfit", type=float, default=prior2.SMOOTH_MISFIT_SHARE, metavar="SHARE",
                    help="share of the draws given a smooth misfit of 0.2-3%% rms, as measured spectra show"
                         " against their best fits (default %(default)s)")
    ap.add_argument("--guess-weights", metavar="EISNN",
                    help="label the resistive draws that the fit from this network's guess matches with that fit")
    ap.add_argument("--lower-basin", action="store_true",
                    help="label a draw whose multi-start fit ends more than 1%% below the fit from its drawn values"
                         " with the multi-start fit (about half a second a draw)")
    ap.add_argument("--narrow", action="store_true",
                    help="draw from the first generation's prior (chunk_narrow_*.npz beside the wide chunks)")
    args = ap.parse_args(argv)
    import kelvora as kv

    prior2.RESISTIVE_SHARE = args.resistive_share
    prior2.RESISTIVE_STRAY = args.resistive_stray
    prior2.SMOOTH_MISFIT_SHARE = args.smooth_misfit
    prior2.RESISTIVE_EXTRA_ARC = args.resistive_extra_arc

    first, _, last = args.chunks.partition(":")
    ks = list(range(int(first), int(last)))
    if args.reverse:
        ks.reverse()                       # a list: every model of --models walks it
    for name in args.models.split(","):
        if name not in MODELS:
            ap.error("--models: %r has no near-tied shapes to label (one of %s)" % (name, ", ".join(MODELS)))
        out = os.path.join(args.runs, name, "order_pool")
        os.makedirs(out, exist_ok=True)
        for k in ks:
            path = os.path.join(out, ("chunk_narrow_%05d.npz" if args.narrow else "chunk_%05d.npz") % k)
            if os.path.exists(path):
                continue
            t0 = time.time()
            moved = label_chunk(BY_NAME[name], k, path, kv, args.guess_weights, args.lower_basin, args.narrow)
            print("%s %s: chunk %d, %d of %d labels moved to the other shape, %.0f s"
                  % (time.strftime("%Y-%m-%d %H:%M:%S"), name, k, moved, WIDE_CHUNK, time.time() - t0), flush=True)


if __name__ == "__main__":
    main()
