"""The second-generation training prior: wider spectra, artefacts, richer circuits.

Two sources of training spectra, both with impedances from kelvora's own
`Circuit.impedance`:

- `generate_wide`: spectra of the model's own circuit from a prior wider than
  the first one (synth.py) in every direction real measurements go: 20-200
  points, arcs partly outside the window, exponents down to 0.4, arcs of very
  different sizes, diffusion tails of every length, stray inductance at the top
  of the sweep, drift and outliers at the low-frequency end. The label is the
  true parameter vector; the artefacts do not change it.
- `generate_rich`: spectra of a richer circuit than the model (an extra small
  arc, a CPE where the model has a capacitor, a diffusion or blocking tail)
  labelled with the model's best fit to that spectrum: the lowest-cost
  Levenberg-Marquardt fit of kelvora's `fit` from the true values of the nested
  part, from the bundled network's guess and from a perturbed start. This teaches
  the network where the best basin lies when the model does not fit exactly.
"""

import math
import re
import warnings

import numpy as np

from . import synth

TWO_PI = synth.TWO_PI

N_POINTS = (20, 200)
DECADES = (2.0, 9.5)
LOG_FMAX = (0.0, 7.0)
LOG_RREF = (-3.0, 5.0)
LOG_R0_RATIO = (-3.0, 1.5)
LOG_R2_RATIO = (-2.5, 2.5)      # arcs of very different sizes
EDGE_MARGIN = 1.0               # arcs up to a decade outside the window
ARC_SEP = (0.5, 4.5)
ALPHA = (0.4, 1.0)              # strongly depressed arcs
LOG_L_RATIO = (-2.0, 1.3)
STRAY_SHARE = 0.5               # non-L circuits with a stray series inductance
LOG_STRAY_RATIO = (-2.0, -0.2)
NOISE = (0.0, 0.03)
DRIFT_SHARE = 0.3               # drift over the lowest-frequency points
LOG_DRIFT = (-2.3, -0.7)        # relative size of the drift at the lowest point
OUTLIER_SHARE = 0.2
LOG_OUTLIER = (-1.5, -0.5)      # relative size of an outlier

RICH_NOISE = (0.0, 0.02)
# Size of a richer circuit's extra arc against the model's arcs, log10 range:
# a small arc. train2.py --rich-arc-ratio widens it (runs/gen40 tried arcs up
# to twice the model's, for spectra with three comparable features).
RICH_ARC_LOG_RATIO = (-2.0, -0.5)
# Measured spectra differ from their best fits by a smooth misfit, not by
# white noise: on the battery cycles 1-3.5% of abs(Z) rms, neighbouring
# points correlated about 0.8 (60 points over 6 decades). Share of the wide
# draws given such a misfit (none unless asked: it changes the random stream),
# its rms and its correlation length in decades of frequency:
SMOOTH_MISFIT_SHARE = 0.0
LOG_SMOOTH_MISFIT = (-2.7, -1.5)
SMOOTH_MISFIT_LENGTH = (-1.1, -0.6)     # log10 of decades
# Share of the two-arc Randles spectra (diffusion element in the second branch)
# whose second branch is the high-frequency arc. With the second branch above
# the first arc its diffusion term adds to the whole low-frequency side, an arc
# on a sloping line, which is how many battery spectra look. Where the diffusion
# term is too small to tell the orders apart (the spectrum with the arcs'
# elements exchanged differs by less than REORDER_TOL of |Z| everywhere), the
# draw is relabelled in the usual order, so one spectrum has one answer.
REVERSED_SHARE = 0.4
REORDER_TOL = 0.01
# Two shapes of the two-CPE-arc spectra that battery cycles take and the
# placement above never draws (shares of the two_rq-type draws):
# - overlapping arcs: a broad arc (exponent 0.3-0.55) and a nearly ideal one
#   (0.85-1) less than half a decade apart, either one the higher;
# - a blocking second arc: nearly ideal (0.9-1), placed half a decade to 2.5
#   decades below the window with a resistance 3 to 1000 times the first
#   arc's, so the window sees the first arc and a capacitive line; the first
#   arc broad in half of them.
OVERLAP_SHARE = 0.2
OVERLAP_SEP = (0.0, 0.5)
BROAD_ALPHA = (0.3, 0.55)
IDEAL_ALPHA = (0.85, 1.0)
BLOCKING_SHARE = 0.15
BLOCKING_BELOW = (0.5, 2.5)
BLOCKING_ALPHA = (0.9, 1.0)
LOG_BLOCKING_RATIO = (0.5, 3.0)
BLOCKING_BROAD_SHARE = 0.5     # of the blocking draws, the first arc broad (BROAD_ALPHA)
# A shape of the finite-diffusion Randles circuit (Wo2) that battery cycles
# take: the second branch's CPE with an exponent near zero, a resistance
# Rp = 1/q shunting the finite Warburg whose bend lies inside the window, R2
# near zero, and the first arc nearly ideal at or below the lowest frequency
# (a capacitive line). Share of the Wo2 draws: none since the eighth
# generation, whose network, trained with a tenth of them, proposed this
# shape on the autoeis cycles, where the best basin is the one below:
RESISTIVE_SHARE = 0.0
RESISTIVE_ALPHA = (0.005, 0.05)
RESISTIVE_BEND = (0.25, 0.65)       # diffusion bend, as a fraction of the window
RESISTIVE_LOG_Z0 = (-0.5, 0.6)      # z0 / R1
RESISTIVE_LOG_RP = (-0.45, 0.0)     # Rp / z0
RESISTIVE_LOG_R2 = (-6.0, -3.0)     # R2 / R1
RESISTIVE_ARC1_BELOW = (0.0, 2.0)   # decades below the window
RESISTIVE_ARC1_ALPHA = (0.7, 1.0)
# Measured battery cycles in that shape end in inductive points, which turn
# the guess to the other shape: True gives every resistive draw the stray
# inductance (the order pool's --resistive-stray).
RESISTIVE_STRAY = False
# Nor is the inductance all: the points of those cycles between a few hertz
# and the top of the window also carry a small arc of their own (contacts, a
# second surface layer) that the model does not have; with it and the
# inductance the guess leaves the resistive basin about half the time.
# RESISTIVE_EXTRA_ARC gives that share of the resistive draws an (R9, CPE9)
# in series, R9 a hundredth to a tenth of R0,
# its frequency up to EXTRA_ARC_BELOW_TOP decades below the highest one; those
# draws are no longer the model's circuit, so they are labelled with the
# model's best fit (order_pool.py --resistive-extra-arc).
RESISTIVE_EXTRA_ARC = 0.0
EXTRA_ARC_BELOW_TOP = (0.0, 3.0)
EXTRA_ARC_LOG_R = (-2.0, -1.0)      # R9 / R0
EXTRA_ARC_ALPHA = (0.6, 1.0)
# A shape of the two-arc Randles circuits that battery cycles take: a nearly
# ideal first arc (R1, CPE1) below a depressed second branch, the diffusion
# branch half a decade to two decades higher, whose diffusion term is small in
# the window: a Warburg (W2) with |Z_W| at the lowest frequency a tenth to a
# fiftieth of R2, a finite one (Wo2) bent half a decade to two decades below
# the window. The usual placement draws it only rarely. Share of the W2 and
# Wo2 draws, all in the reversed order:
DIFFUSION_ABOVE_SHARE = 0.25
DIFFUSION_ABOVE_SEP = (0.5, 2.0)
DIFFUSION_ABOVE_ALPHA1 = (0.8, 1.0)
DIFFUSION_ABOVE_ALPHA2 = (0.45, 0.95)
DIFFUSION_ABOVE_LOG_R2 = (-0.5, 0.5)    # R2 / R1
DIFFUSION_ABOVE_TAIL = (0.5, 3.5)       # decades below the window where |Z_W| = R2
DIFFUSION_ABOVE_BEND = (0.5, 2.0)       # decades below the window, Wo2's bend
DIFFUSION_ABOVE_LOG_Z0 = (-0.5, 1.5)    # Wo2.z0 / R2


def sample_window(rng, n, B):
    dec = rng.uniform(*DECADES, B)
    hi = rng.uniform(*LOG_FMAX, B)
    lo = hi - dec
    t = np.linspace(1.0, 0.0, n)[None, :]
    return 10.0 ** (lo[:, None] + t * dec[:, None]), lo, hi


def sample_values(names, rng, lo, hi):
    """Dict name -> B values for the parameters of the bundled circuits, plus
    the arc log-frequencies under "_lf1"/"_lf2" (L0.l still a placeholder)."""
    B = lo.shape[0]
    labels = {n.split(".")[0] for n in names}
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    v = {}
    r1 = 10.0 ** u(*LOG_RREF)
    v["R0.r"] = r1 * 10.0 ** u(*LOG_R0_RATIO)
    v["R1.r"] = r1
    dec = hi - lo
    span = dec + 2 * EDGE_MARGIN
    alphas = {}  # exponents drawn with the arc shapes, by arc
    if "R2.r" in names:
        sep = np.minimum(u(*ARC_SEP), span - 0.05)
        lf2 = lo - EDGE_MARGIN + u(0, 1) * (span - sep)
        lf1 = lf2 + sep
        if "W2" in labels or "Wo2" in labels:
            flip = rng.uniform(0, 1, B) < REVERSED_SHARE
            lf1, lf2 = np.where(flip, lf2, lf1), np.where(flip, lf1, lf2)
            v["_reversed"] = flip
        v["R2.r"] = r1 * 10.0 ** u(*LOG_R2_RATIO)
        if "CPE2" in labels and "W2" not in labels and "Wo2" not in labels:
            lf1, lf2, alphas = _battery_shapes(rng, v, lo, hi, lf1, lf2)
        if ("W2" in labels or "Wo2" in labels) and "CPE2" in labels:
            lf1, lf2, alphas = _diffusion_above(rng, v, lo, hi, lf1, lf2)
        arcs = [("1", lf1, v["R1.r"]), ("2", lf2, v["R2.r"])]
        v["_lf2"] = lf2
    else:
        lf1 = lo - EDGE_MARGIN + u(0, 1) * span
        arcs = [("1", lf1, v["R1.r"])]
    v["_lf1"] = lf1
    for k, lf, r in arcs:
        tau = 1.0 / (TWO_PI * 10.0 ** lf)
        if "C" + k in labels:
            v["C%s.c" % k] = tau / r
        if "CPE" + k in labels:
            a = alphas.get(k, u(*ALPHA))
            v["CPE%s.alpha" % k] = a
            v["CPE%s.q" % k] = tau ** a / r
        if "W" + k in labels:
            # |Z_W| equals the branch resistance at f_w: from two decades below
            # the window (a barely visible tail) up to half a decade above the arc
            bottom = lo - 2.0
            lfw = bottom + u(0, 1) * np.maximum(lf + 0.5 - bottom, 0.0)
            if "_above" in v:
                lfw = np.where(v["_above"], lo - u(*DIFFUSION_ABOVE_TAIL), lfw)
            v["W%s.aw" % k] = r * np.sqrt(TWO_PI * 10.0 ** lfw / 2.0)
        if "Wo" + k in labels:
            v["Wo%s.z0" % k] = r * 10.0 ** u(-1.5, 2.0)
            bottom = lo - 1.5
            top = np.maximum(lf - 0.2, lo - 0.5)
            lfd = bottom + u(0, 1) * (top - bottom)
            if "_above" in v:
                v["Wo%s.z0" % k] = np.where(v["_above"], r * 10.0 ** u(*DIFFUSION_ABOVE_LOG_Z0), v["Wo%s.z0" % k])
                lfd = np.where(v["_above"], lo - u(*DIFFUSION_ABOVE_BEND), lfd)
            v["Wo%s.tau" % k] = 1.0 / (TWO_PI * 10.0 ** lfd)
    if "Wo2" in labels and "CPE2" in labels:
        _resistive_branch(rng, v, lo, hi)
    if "L0.l" in names:
        v["L0.l"] = np.full(B, 1e-300)
    return v


def _resistive_branch(rng, v, lo, hi):
    """Redraw RESISTIVE_SHARE of the Wo2 rows in the resistive-branch shape
    (see RESISTIVE_SHARE); "_lf2" becomes the (meaningless, very high) arc
    frequency of R2 and CPE2, and those rows are never reordered."""
    B = lo.shape[0]
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    on = u(0, 1) < RESISTIVE_SHARE
    dec = hi - lo
    r1 = v["R1.r"]
    a1 = u(*RESISTIVE_ARC1_ALPHA)
    lf1 = lo - u(*RESISTIVE_ARC1_BELOW)
    tau1 = 1.0 / (TWO_PI * 10.0 ** lf1)
    lfd = lo + u(*RESISTIVE_BEND) * dec
    z0 = r1 * 10.0 ** u(*RESISTIVE_LOG_Z0)
    rp = z0 * 10.0 ** u(*RESISTIVE_LOG_RP)
    a2 = u(*RESISTIVE_ALPHA)
    q2 = 1.0 / (rp * (TWO_PI * 10.0 ** lfd) ** a2)   # |Z_CPE2| = Rp at the bend
    r2 = r1 * 10.0 ** u(*RESISTIVE_LOG_R2)
    new = {"CPE1.alpha": a1, "CPE1.q": tau1 ** a1 / r1, "R2.r": r2, "CPE2.alpha": a2, "CPE2.q": q2,
           "Wo2.z0": z0, "Wo2.tau": 1.0 / (TWO_PI * 10.0 ** lfd)}
    for k, x in new.items():
        v[k] = np.where(on, x, v[k])
    v["_lf1"] = np.where(on, lf1, v["_lf1"])
    lf2 = -(np.log10(r2) + np.log10(q2)) / a2 - math.log10(TWO_PI)
    v["_lf2"] = np.where(on, lf2, v["_lf2"])
    for shape in ("_reversed", "_above"):
        if shape in v:
            v[shape] = v[shape] & ~on
    v["_resistive"] = on


def _diffusion_above(rng, v, lo, hi, lf1, lf2):
    """Redraw DIFFUSION_ABOVE_SHARE of the W2 or Wo2 rows in that shape: the arc
    log-frequencies and, for every row, both exponents (the others drawn as
    usual); R2.r and "_reversed" change in `v`, "_above" marks the rows."""
    B = lo.shape[0]
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    on = u(0, 1) < DIFFUSION_ABOVE_SHARE
    centre = lo + u(0.2, 0.8) * (hi - lo)
    sep = u(*DIFFUSION_ABOVE_SEP)
    lf1 = np.where(on, centre - sep / 2, lf1)
    lf2 = np.where(on, centre + sep / 2, lf2)
    a1 = np.where(on, u(*DIFFUSION_ABOVE_ALPHA1), u(*ALPHA))
    a2 = np.where(on, u(*DIFFUSION_ABOVE_ALPHA2), u(*ALPHA))
    v["R2.r"] = np.where(on, v["R1.r"] * 10.0 ** u(*DIFFUSION_ABOVE_LOG_R2), v["R2.r"])
    v["_reversed"] = v["_reversed"] | on
    v["_above"] = on
    return lf1, lf2, {"1": a1, "2": a2}


def _battery_shapes(rng, v, lo, hi, lf1, lf2):
    """Overlapping and blocking arcs (OVERLAP_SHARE, BLOCKING_SHARE) over the
    usual placement of two interchangeable CPE arcs: the arc log-frequencies
    and, for the changed rows, the exponents of both arcs (the others drawn
    as usual). Arc 1 stays the higher-frequency arc; R2.r changes in `v` for
    the blocking rows."""
    B = lo.shape[0]
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    pick = u(0, 1)
    overlap = pick < OVERLAP_SHARE
    blocking = (pick >= OVERLAP_SHARE) & (pick < OVERLAP_SHARE + BLOCKING_SHARE)
    dec = hi - lo
    # overlapping: the pair centred inside the window
    centre = lo + u(0.15, 0.85) * dec
    sep = u(*OVERLAP_SEP)
    broad_first = u(0, 1) < 0.5
    broad, ideal = u(*BROAD_ALPHA), u(*IDEAL_ALPHA)
    a1 = np.where(overlap, np.where(broad_first, broad, ideal), u(*ALPHA))
    a2 = np.where(overlap, np.where(broad_first, ideal, broad), u(*ALPHA))
    lf1 = np.where(overlap, centre + sep / 2, lf1)
    lf2 = np.where(overlap, centre - sep / 2, lf2)
    # blocking: the first arc inside the window, the second far below it
    a2 = np.where(blocking, u(*BLOCKING_ALPHA), a2)
    a1 = np.where(blocking & (u(0, 1) < BLOCKING_BROAD_SHARE), u(*BROAD_ALPHA), a1)
    lf1 = np.where(blocking, lo + u(0.1, 0.9) * dec, lf1)
    lf2 = np.where(blocking, lo - u(*BLOCKING_BELOW), lf2)
    v["R2.r"] = np.where(blocking, v["R1.r"] * 10.0 ** u(*LOG_BLOCKING_RATIO), v["R2.r"])
    v["_overlap"], v["_blocking"] = overlap, blocking
    return lf1, lf2, {"1": a1, "2": a2}


def impedance(kv, circuit, names, values, freqs):
    """B x n impedances of `circuit` (parameters in `names` order from the dict)."""
    c = kv.Circuit(circuit)
    order = c.param_names()
    assert sorted(order) == sorted(names), (order, names)
    out = np.empty(freqs.shape, dtype=np.complex128)
    for b in range(freqs.shape[0]):
        out[b] = c.with_values([float(values[n][b]) for n in order]).impedance(freqs[b])
    return out


def _paired_columns(names):
    """(arc-1 name, arc-2 name) for every element of the first arc that has its
    counterpart in the second: R1/R2, C1/C2 or CPE1/CPE2 (not a lone W2 or Wo2)."""
    out = []
    for n in names:
        label, attr = n.split(".")
        twin = label[:-1] + "2." + attr
        if label.endswith("1") and twin in names:
            out.append((n, twin))
    return out


def _settle_order(kv, circuit, names, v, freqs, z):
    """Relabel the reversed draws whose order the spectrum does not show (see
    REORDER_TOL); returns the spectra, with those rows from the relabelled values."""
    rev = v.get("_reversed")
    if rev is None or not rev.any():
        return z
    rows = np.flatnonzero(rev)
    alt = {k: v[k][rows].copy() for k in names}
    for a, b in _paired_columns(names):       # the diffusion element stays in branch 2
        alt[a], alt[b] = alt[b], alt[a]
    z_alt = impedance(kv, circuit, names, alt, freqs[rows])
    keep = np.max(np.abs(z_alt - z[rows]) / np.abs(z[rows]), axis=1) < REORDER_TOL
    for k in names:
        v[k][rows[keep]] = alt[k][keep]
    v["_reversed"][rows[keep]] = False
    z = z.copy()
    z[rows[keep]] = z_alt[keep]
    return z


def _set_inductance(kv, circuit, names, v, freqs, rng):
    """L0.l from omega_max L / |Z(f_max)| for the L circuits."""
    B = freqs.shape[0]
    zmax = np.abs(impedance(kv, circuit, names, v, freqs[:, :1]))[:, 0]
    v["L0.l"] = zmax * 10.0 ** rng.uniform(*LOG_L_RATIO, B) / (TWO_PI * freqs[:, 0])


def add_artefacts(rng, freqs, z, stray, always=None):
    """Stray inductance (when `stray`; on every row of the mask `always`),
    drift and outliers at the low-frequency end."""
    B, n = z.shape
    omega = TWO_PI * freqs
    if stray:
        on = rng.uniform(0, 1, B) < STRAY_SHARE
        if always is not None:
            on = on | always
        ratio = 10.0 ** rng.uniform(*LOG_STRAY_RATIO, B)
        l_art = np.where(on, np.abs(z[:, 0]) * ratio / omega[:, 0], 0.0)
        z = z + 1j * omega * l_art[:, None]
    # drift: a smooth relative change growing towards the lowest frequency
    # (frequencies descend, so the last points are the low-frequency end)
    on = rng.uniform(0, 1, B) < DRIFT_SHARE
    m = np.maximum(2, (rng.uniform(0.05, 0.3, B) * n).astype(int))
    k = np.arange(n)[None, :] - (n - m[:, None])           # 0 .. m-1 over the tail
    s = np.clip((k + 1) / m[:, None], 0.0, 1.0) ** rng.uniform(1.0, 2.5, B)[:, None]
    amp = np.where(on, 10.0 ** rng.uniform(*LOG_DRIFT, B), 0.0)
    phase = np.exp(1j * rng.uniform(-math.pi, math.pi, B))
    z = z * (1.0 + (amp * phase)[:, None] * s)
    # outliers: one or two points, mostly among the lowest 30% of frequencies
    on = rng.uniform(0, 1, B) < OUTLIER_SHARE
    for b in np.nonzero(on)[0]:
        for _ in range(int(rng.integers(1, 3))):
            if rng.uniform() < 0.7:
                i = int(rng.integers(int(0.7 * n), n))
            else:
                i = int(rng.integers(0, n))
            size = 10.0 ** rng.uniform(*LOG_OUTLIER)
            z[b, i] *= 1.0 + size * np.exp(1j * rng.uniform(-math.pi, math.pi))
    return z


def add_smooth_misfit(rng, freqs, z, share):
    """z times (1 + e) on a `share` of the rows, e a complex Gaussian random
    field over log10 frequency (squared-exponential correlation), scaled to
    an rms drawn from LOG_SMOOTH_MISFIT."""
    B, n = z.shape
    on = rng.uniform(0, 1, B) < share
    rms = 10.0 ** rng.uniform(*LOG_SMOOTH_MISFIT, B)
    length = 10.0 ** rng.uniform(*SMOOTH_MISFIT_LENGTH, B)
    w = rng.standard_normal((B, n)) + 1j * rng.standard_normal((B, n))
    x = np.log10(freqs)
    d = (x[:, :, None] - x[:, None, :]) / length[:, None, None]
    e = np.einsum("bij,bj->bi", np.exp(-0.5 * d * d), w)
    e *= (rms / np.sqrt(np.mean(np.abs(e) ** 2, axis=1)))[:, None]
    return np.where(on[:, None], z * (1.0 + e), z)


def add_extra_arc(rng, freqs, z, r0, rows, share):
    """z plus a small (R, CPE) arc on a `share` of the masked rows (see
    RESISTIVE_EXTRA_ARC); returns (z, boolean mask of the rows given one)."""
    B = z.shape[0]
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    on = rows & (u(0, 1) < share)
    r9 = r0 * 10.0 ** u(*EXTRA_ARC_LOG_R)
    lf = np.log10(freqs[:, 0]) - u(*EXTRA_ARC_BELOW_TOP)
    alpha = u(*EXTRA_ARC_ALPHA)
    s = 1j * freqs / (10.0 ** lf)[:, None]           # j omega tau
    arc = r9[:, None] / (1.0 + s ** alpha[:, None])
    return np.where(on[:, None], z + arc, z), on


def add_noise(rng, z, levels):
    B, n = z.shape
    sigma = rng.uniform(*levels, B)
    eps = rng.standard_normal((B, n)) + 1j * rng.standard_normal((B, n))
    return z + sigma[:, None] * np.abs(z) * eps


def generate_wide(model, rng, B, n, kv, artefacts=True, noise=None, shapes=None):
    """B spectra of the model's own circuit from the wide prior: (freqs, z, params).

    A dict passed as `shapes` receives the boolean row masks of the resistive
    draws ("_resistive") and of those given an extra arc ("_extra_arc").
    """
    names = list(model.param_names)
    freqs, lo, hi = sample_window(rng, n, B)
    v = sample_values(names, rng, lo, hi)
    if "L0.l" in names:
        _set_inductance(kv, model.circuit, names, v, freqs, rng)
    z = impedance(kv, model.circuit, names, v, freqs)
    z = _settle_order(kv, model.circuit, names, v, freqs, z)
    if RESISTIVE_EXTRA_ARC > 0 and "_resistive" in v:
        z, v["_extra_arc"] = add_extra_arc(rng, freqs, z, v["R0.r"], v["_resistive"], RESISTIVE_EXTRA_ARC)
    if shapes is not None:
        shapes.update({k: v[k] for k in ("_resistive", "_extra_arc") if k in v})
    if artefacts:
        always = v.get("_resistive") if RESISTIVE_STRAY else None
        z = add_artefacts(rng, freqs, z, stray="L0.l" not in names, always=always)
        if SMOOTH_MISFIT_SHARE > 0:
            z = add_smooth_misfit(rng, freqs, z, SMOOTH_MISFIT_SHARE)
    if noise is None:
        z = add_noise(rng, z, NOISE)
    else:
        z = add_noise(rng, z, (noise, noise))
    return freqs, z, np.stack([v[n] for n in names], axis=1)


# ---------------------------------------------------------------------------
# One order for spectra that show none.
#
# Many wide draws of the two-arc Randles circuits fit about as well with their
# arcs exchanged once LM has moved the values (on one batch of 256 sei_randles
# draws, 105 of the 178 in the usual order ended within 1%), so the labels give
# such spectra either order and the network learns the average of the two. The
# best fits of measured battery spectra put the diffusion branch above the
# other arc; a usual-order draw whose fit in that order is within ORDER_TIE of
# the fit from its drawn values is labelled with that fit.
ORDER_TIE = 1.01


def _log_arc_frequency(values, k):
    """log10 of 1 / tau of CPE arc k (2 pi left out), by row; -inf without an arc."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        out = -(np.log10(values["R%s.r" % k]) + np.log10(values["CPE%s.q" % k])) / values["CPE%s.alpha" % k]
    return np.where(np.isfinite(out), out, -np.inf)


def _fit_pair(c, drawn, other, freqs, z, **options):
    """LM fits of circuit `c` from the start `drawn` and from the start
    `other` (a callable giving values in `c.param_names()` order; fitted with
    `options`): (own, fit), or None when either fails."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            own = c.with_values(drawn).fit(freqs, z, guess_init=False)
            fit = c.with_values(list(other())).fit(freqs, z, guess_init=False, **options)
        except (ValueError, RuntimeError, ArithmeticError):
            return None
    return own, fit


def _usable(fit):
    """A fit's values as a dict by parameter name when all are finite and positive; None otherwise."""
    fitted = {n: float(v) for n, v in fit.params.items()}
    return fitted if all(np.isfinite(x) and x > 0 for x in fitted.values()) else None


def _tied_fit(c, drawn, other, freqs, z):
    """The fit of circuit `c` from the start `other` (a callable giving values
    in `c.param_names()` order) when it ends within ORDER_TIE of the fit from
    the start `drawn` (same order): a dict by parameter name, all values finite
    and positive; None otherwise."""
    pair = _fit_pair(c, drawn, other, freqs, z)
    if pair is None or not (np.isfinite(pair[1].cost) and pair[1].cost <= ORDER_TIE * pair[0].cost):
        return None
    return _usable(pair[1])


def label_diffusion_above(kv, circuit, names, freqs, z, p):
    """Labels of B spectra with the near-tied usual-order rows in the other order.

    `p` holds the drawn values (columns in `names` order) of the spectra `z`.
    Returns the labels (a copy of `p` with those rows replaced by their fit in
    the other order) and a boolean mask of the replaced rows.
    """
    c = kv.Circuit(circuit)
    order = list(c.param_names())
    col = {n: i for i, n in enumerate(names)}
    values = {n: p[:, col[n]] for n in names}
    arcs = values["CPE2.alpha"] > RESISTIVE_ALPHA[1]       # a resistive branch has no arc to order
    usual = arcs & (_log_arc_frequency(values, "2") < _log_arc_frequency(values, "1"))
    labels, changed = p.copy(), np.zeros(len(p), dtype=bool)
    pairs = _paired_columns(names)
    for b in np.flatnonzero(usual):
        drawn = {n: float(p[b, col[n]]) for n in names}
        twin = dict(drawn)
        for a, t in pairs:
            twin[a], twin[t] = drawn[t], drawn[a]
        fitted = _tied_fit(c, [drawn[n] for n in order], lambda: [twin[n] for n in order], freqs[b], z[b])
        if fitted is None:
            continue
        arcs = {n: np.array([fitted[n]]) for n in names}
        if _log_arc_frequency(arcs, "2")[0] > _log_arc_frequency(arcs, "1")[0]:
            labels[b] = [fitted[n] for n in names]
            changed[b] = True
    return labels, changed



# The same for the two-CPE circuits and a blocking low-frequency branch. On
# measured spectra whose lowest frequencies rise as a capacitive line, the
# best basins of two_rq and two_rq_l are a broad arc beside a blocking branch
# (R -> infinity, exponent 1), where the network's guess splits the broad arc
# into two finite ones, and LM from there stays in that basin. A wide draw
# whose low-frequency arc, opened into such a branch, fits within ORDER_TIE
# of the fit from the drawn values is labelled with that fit, its resistance
# held to BLOCKING_LABEL_DECADES above the other arc's (a start from which
# LM opens it further).
BLOCKING_LABEL_DECADES = 3.0


def label_low_arc_blocking(kv, circuit, names, freqs, z, p):
    """Labels of B spectra with the near-tied rows given a blocking low arc.

    Returns the labels (a copy of `p`, arc columns as drawn or as fitted) and
    a boolean mask of the replaced rows.
    """
    c = kv.Circuit(circuit)
    order = list(c.param_names())
    col = {n: i for i, n in enumerate(names)}
    values = {n: p[:, col[n]] for n in names}
    low_is_2 = _log_arc_frequency(values, "2") < _log_arc_frequency(values, "1")
    labels, changed = p.copy(), np.zeros(len(p), dtype=bool)
    for b in range(len(p)):
        low, high = ("2", "1") if low_is_2[b] else ("1", "2")
        drawn = {n: float(p[b, col[n]]) for n in names}
        opened = dict(drawn)
        opened["R%s.r" % low] = drawn["R%s.r" % low] * 10.0 ** BLOCKING_LABEL_DECADES
        opened["CPE%s.alpha" % low] = 1.0
        fitted = _tied_fit(c, [drawn[n] for n in order], lambda: [opened[n] for n in order], freqs[b], z[b])
        if fitted is None:
            continue
        cap = fitted["R%s.r" % high] * 10.0 ** BLOCKING_LABEL_DECADES
        if fitted["R%s.r" % low] < cap / 10.0:
            continue                       # LM closed the branch again: not blocking
        fitted["R%s.r" % low] = min(fitted["R%s.r" % low], cap)
        labels[b] = [fitted[n] for n in names]
        changed[b] = True
    return labels, changed



# A third shape, settled by the network itself. The resistive second branch
# (RESISTIVE_SHARE) is the best basin of many measured battery cycles, but a
# network trained on it proposes it where the diffusion branch above is the
# best basin. A resistive draw whose spectrum the fit from a network's guess
# (in whatever shape it proposes) matches within ORDER_TIE of the fit from
# the drawn values is labelled with the guess's fit, so the resistive shape is
# learnt only where the spectrum asks for it.


def label_guess_tie(kv, circuit, names, freqs, z, p, rows, weights):
    """Labels with the given rows replaced by the fit from the guess of the
    network `weights` (a .eisnn path; None for the bundled one) where that
    ties with the fit from the drawn values; returns (labels, boolean mask of
    the replaced rows)."""
    c = kv.Circuit(circuit)
    order = list(c.param_names())
    col = {n: i for i, n in enumerate(names)}
    guess_options = {"weights": weights} if weights else {}
    labels, changed = p.copy(), np.zeros(len(p), dtype=bool)
    for b in np.flatnonzero(rows):
        drawn = [float(p[b, col[n]]) for n in order]
        fitted = _tied_fit(c, drawn, lambda: c.guess(freqs[b], z[b], **guess_options), freqs[b], z[b])
        if fitted is not None:
            labels[b] = [fitted[n] for n in names]
            changed[b] = True
    return labels, changed


# The lower basin. With the artefacts of measured spectra (a stray inductance,
# drift, outliers) the drawn values are not always the best fit of their own
# circuit: on battery cycles the resistive second branch and the ordinary one
# lie a few percent apart, and which is lower depends on the spectrum. A draw
# for which the multi-start fit from its drawn values ends more than ORDER_TIE
# below the fit from them is labelled with the multi-start fit, so the network
# learns the lowest basin of what it sees, not of what was drawn.


def label_lower_basin(kv, circuit, names, freqs, z, p, labels, seed):
    """`labels` (a copy) with each row replaced by the multi-start fit from the
    drawn values `p` where that ends more than ORDER_TIE below the fit from
    them; returns (labels, boolean mask of the replaced rows). `seed` (an int)
    seeds the restarts of row b with seed + b."""
    c = kv.Circuit(circuit)
    order = list(c.param_names())
    col = {n: i for i, n in enumerate(names)}
    labels, changed = labels.copy(), np.zeros(len(p), dtype=bool)
    for b in range(len(p)):
        drawn = [float(p[b, col[n]]) for n in order]
        pair = _fit_pair(c, drawn, lambda: drawn, freqs[b], z[b], method="multi_start", seed=seed + b)
        if pair is None or not (np.isfinite(pair[1].cost) and pair[1].cost * ORDER_TIE < pair[0].cost):
            continue
        fitted = _usable(pair[1])
        if fitted is not None:
            labels[b] = [fitted[n] for n in names]
            changed[b] = True
    return labels, changed


# ---------------------------------------------------------------------------
# Richer circuits.


def variants(model):
    """The changes that make a richer circuit out of the model's."""
    out = ["arc", "tail"]
    if re.search(r"\bC\d", model.circuit):
        out.append("cpe")
    if "W2" in model.circuit or "W1" in model.circuit:
        out.append("finite")
    return out


def rich_circuit(model, changes):
    text = model.circuit
    if "cpe" in changes:
        text = re.sub(r"\bC(\d)", r"CPE\1", text)
    if "finite" in changes:
        text = re.sub(r"\bW(\d)", r"Wo\1", text)
    if "arc" in changes:
        text += "-(R9,CPE9)"
    if "tail" in changes:
        text += "-" + changes["tail"]
    return text


def _rich_one(model, rng, kv, n):
    """One richer spectrum: (freqs, z, rich circuit, nested start in model order)."""
    names = list(model.param_names)
    freqs, lo, hi = sample_window(rng, n, 1)
    v = sample_values(names, rng, lo, hi)
    if "L0.l" in names:
        _set_inductance(kv, model.circuit, names, v, freqs, rng)
    start = {k: float(v[k][0]) for k in names}
    lo, hi = float(lo[0]), float(hi[0])
    pool = variants(model)
    count = 1 if rng.uniform() < 0.6 else 2
    picked = list(rng.choice(pool, size=min(count, len(pool)), replace=False))
    changes = {c: True for c in picked}
    rv = dict(start)
    r_ref = start["R1.r"] + start.get("R2.r", 0.0)
    if "cpe" in changes:
        for k in ("1", "2"):
            if "C%s.c" % k in rv:
                r = rv["R%s.r" % k]
                tau = rv.pop("C%s.c" % k) * r
                a = rng.uniform(0.6, 0.97)
                rv["CPE%s.q" % k] = tau ** a / r
                rv["CPE%s.alpha" % k] = a
    if "finite" in changes:
        # the model's semi-infinite Warburg becomes a finite one whose
        # transition lies inside or just below the window
        for k in ("1", "2"):
            if "W%s.aw" % k in rv:
                aw = rv.pop("W%s.aw" % k)
                lfd = rng.uniform(lo - 1.0, lo + 0.6 * (hi - lo))
                tau = 1.0 / (TWO_PI * 10.0 ** lfd)
                # same high-frequency asymptote: z0 / sqrt(tau) = aw * sqrt(2)
                rv["Wo%s.z0" % k] = aw * math.sqrt(2.0 * tau)
                rv["Wo%s.tau" % k] = tau
    if "arc" in changes:
        a = rng.uniform(0.6, 1.0)
        r9 = r_ref * 10.0 ** rng.uniform(*RICH_ARC_LOG_RATIO)
        lf = rng.uniform(lo - 0.5, hi + 0.5)
        tau = 1.0 / (TWO_PI * 10.0 ** lf)
        rv["R9.r"] = r9
        rv["CPE9.q"] = tau ** a / r9
        rv["CPE9.alpha"] = a
    if "tail" in changes:
        # a tail whose magnitude reaches the total resistance somewhere between
        # a decade below the window and its lower third
        lft = rng.uniform(lo - 1.0, lo + 0.35 * (hi - lo))
        wt = TWO_PI * 10.0 ** lft
        r_tot = r_ref * 10.0 ** rng.uniform(-1.0, 0.5)
        if rng.uniform() < 0.5:
            changes["tail"] = "W8"
            rv["W8.aw"] = r_tot * math.sqrt(wt / 2.0)
        else:
            changes["tail"] = "CPE8"
            a = rng.uniform(0.4, 0.95)
            rv["CPE8.alpha"] = a
            rv["CPE8.q"] = 1.0 / (r_tot * wt ** a)
    text = rich_circuit(model, changes)
    c = kv.Circuit(text)
    z = np.asarray(c.with_values([rv[k] for k in c.param_names()]).impedance(freqs[0]))
    z = add_noise(rng, z[None, :], RICH_NOISE)[0]
    return freqs[0], z, text, start


def arc_pairs(model):
    """Column pairs (arc 1, arc 2) of a model whose two arcs are the same
    elements in series, "(R1,X1)-(R2,X2)"; empty for every other model."""
    if not re.search(r"\(R1,(?P<k>CPE|C)1\)-\(R2,(?P=k)2\)", model.circuit):
        return []
    names = list(model.param_names)
    return [(names.index(a), names.index(b)) for a, b in _paired_columns(names)]


def canonical_arcs(model, targets):
    """Raw targets (log10 for log-space parameters, exponents as they are) with
    arc 1 the higher-frequency arc of every row, for the models whose arcs are
    interchangeable: a best fit may come back with the two arcs the other way
    round, the same fit under the other labelling. Other models unchanged."""
    pairs = arc_pairs(model)
    if not pairs:
        return targets
    ix = {n: i for i, n in enumerate(model.param_names)}

    def log_tau(k):
        log_r = targets[:, ix["R%s.r" % k]]
        if "C%s.c" % k in ix:
            return log_r + targets[:, ix["C%s.c" % k]]
        return (log_r + targets[:, ix["CPE%s.q" % k]]) / targets[:, ix["CPE%s.alpha" % k]]

    with np.errstate(divide="ignore", invalid="ignore"):   # an exponent fitted to 0
        flip = log_tau("2") < log_tau("1")
    out = targets.copy()
    for i, j in pairs:
        out[flip, i], out[flip, j] = targets[flip, j], targets[flip, i]
    return out


MULTI_START = "multi_start"


def best_fit(kv, model, f, z, start, rng):
    """Lowest-cost fit of the model to (f, z): (params in model order, cost).

    Starts: the bundled network's guess and the true values of the nested part;
    when those two end in different basins, also a perturbed nested start with
    the exponents reset to 0.8; and the seeded
    "multi_start" search (structured restarts from the guess, each finished by
    Levenberg-Marquardt), which finds the best basin far more often than the
    other starts on spectra the model does not fit exactly.
    """
    names = list(model.param_names)
    base = kv.Circuit(model.circuit)
    order = base.param_names()
    nested = [start[k] for k in order]
    perturbed = [0.8 if k.endswith(".alpha") else start[k] * 10.0 ** rng.normal(0.0, 0.4)
                 for k in order]
    seed = int(rng.integers(2**31))
    runs = [lambda: base.fit(f, z),
            lambda: base.with_values(nested).fit(f, z),
            lambda: base.with_values(perturbed).fit(f, z)]
    runs.append(lambda: base.fit(f, z, method=MULTI_START, seed=seed))  # refused by older builds
    best, best_cost, costs = None, math.inf, []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for i, run in enumerate(runs):
            if i == 2 and len(costs) == 2 and abs(costs[0] - costs[1]) <= 1e-3 * min(costs):
                continue
            try:
                res = run()
            except Exception:
                continue
            cost = res.cost
            if not math.isfinite(cost):
                continue
            costs.append(cost)
            p = res.params
            vals = np.array([p[k] for k in names])
            if cost < best_cost and np.all(np.isfinite(vals)):
                best, best_cost = vals, cost
    return best, best_cost


def label_best_fit(kv, model, freqs, z, p, labels, rows, rng):
    """`labels` (a copy) with the masked rows replaced by the model's best fit
    (`best_fit`, the drawn values `p` as the nested start); returns (labels,
    boolean mask of the replaced rows)."""
    names = list(model.param_names)
    labels, changed = labels.copy(), np.zeros(len(p), dtype=bool)
    for b in np.flatnonzero(rows):
        fitted, _ = best_fit(kv, model, freqs[b], z[b], dict(zip(names, map(float, p[b]))), rng)
        if fitted is not None:
            labels[b] = fitted
            changed[b] = True
    return labels, changed


def generate_rich(model, rng, count, kv):
    """`count` labelled richer spectra: list of (freqs, z, params, circuit, cost)."""
    out = []
    while len(out) < count:
        n = int(rng.integers(N_POINTS[0], N_POINTS[1] + 1))
        f, z, text, start = _rich_one(model, rng, kv, n)
        if not np.all(np.isfinite(z)):
            continue
        p, cost = best_fit(kv, model, f, z, start, rng)
        if p is None:
            continue
        out.append((f, z, p, text, cost))
    return out


# ---------------------------------------------------------------------------
# Two arcs and a constant-phase tail.
#
# Battery cycles at higher temperatures show a nearly ideal arc, a broad
# depressed arc above it, a constant-phase line at the low end and stray
# inductance at the top. The finite-diffusion Randles circuit fits them in two
# shapes: the diffusion branch above the arc, or the resistive branch (Rp
# shunting the finite Warburg for the two arcs, the first arc far below the
# window for the line). Which is lower depends on the exponents and sizes, and
# the guess takes the first one on about half the draws whose best fit is the
# other. Drawn from TAIL_CIRCUIT and labelled with the model's best fit.
TAIL_CIRCUIT = "R0-(R1,CPE1)-(R2,CPE2)-CPE3"
TAIL_ARC1_ALPHA = (0.8, 1.0)
TAIL_ARC1_AT = (0.2, 0.8)             # log frequency, as a fraction of the window
TAIL_ARC2_ALPHA = (0.4, 0.65)
TAIL_ARC2_ABOVE = (0.3, 2.5)          # decades above the first arc
TAIL_LOG_R2 = (-0.6, 0.6)             # R2 / R1
TAIL_ALPHA = (0.5, 0.85)
TAIL_LOG_SIZE = (-0.5, 0.4)           # |Z_tail| at the lowest frequency / (R1 + R2)
TAIL_NOISE = (0.0, 0.01)
TAIL_SMOOTH_MISFIT_SHARE = 0.6


def generate_tail(model, rng, B, n, kv, clean=False):
    """B spectra of TAIL_CIRCUIT on the wide prior's windows, with its
    artefacts, a smooth misfit on SMOOTH_MISFIT_SHARE of them and noise
    (none of the three when `clean`): (freqs, z, drawn, starts), drawn the
    values in TAIL_CIRCUIT's order by row, starts a list of dicts holding the
    names of the two-arc models (the drawn arcs, the tail as either Warburg,
    a small series inductance)."""
    names = list(model.param_names)
    freqs, lo, hi = sample_window(rng, n, B)
    v = sample_values(names, rng, lo, hi)
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    dec = hi - lo
    r1, a1 = v["R1.r"], u(*TAIL_ARC1_ALPHA)
    lf1 = lo + u(*TAIL_ARC1_AT) * dec
    r2, a2 = r1 * 10.0 ** u(*TAIL_LOG_R2), u(*TAIL_ARC2_ALPHA)
    lf2 = np.minimum(lf1 + u(*TAIL_ARC2_ABOVE), hi + 0.5)
    at = u(*TAIL_ALPHA)
    size = (r1 + r2) * 10.0 ** u(*TAIL_LOG_SIZE)
    q1 = (1.0 / (TWO_PI * 10.0 ** lf1)) ** a1 / r1
    q2 = (1.0 / (TWO_PI * 10.0 ** lf2)) ** a2 / r2
    qt = 1.0 / (size * (TWO_PI * 10.0 ** lo) ** at)
    drawn = np.stack([v["R0.r"], r1, q1, a1, r2, q2, a2, qt, at], axis=1)
    c = kv.Circuit(TAIL_CIRCUIT)
    z = np.array([c.with_values(list(drawn[b])).impedance(freqs[b]) for b in range(B)])
    starts = [{"R0.r": v["R0.r"][b], "R1.r": r1[b], "CPE1.q": q1[b], "CPE1.alpha": a1[b],
               "R2.r": r2[b], "CPE2.q": q2[b], "CPE2.alpha": a2[b],
               "Wo2.z0": size[b], "Wo2.tau": 10.0 / (TWO_PI * 10.0 ** lo[b]),
               "W2.aw": size[b] * math.sqrt(TWO_PI * 10.0 ** lo[b] / 2.0),
               "L0.l": 1e-3 * v["R0.r"][b] / (TWO_PI * 10.0 ** hi[b])} for b in range(B)]
    if not clean:
        z = add_artefacts(rng, freqs, z, stray=True)
        z = add_smooth_misfit(rng, freqs, z, TAIL_SMOOTH_MISFIT_SHARE)
        z = add_noise(rng, z, TAIL_NOISE)
    return freqs, z, drawn, starts
