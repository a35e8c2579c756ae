"""Synthetic spectra for training and benchmarking.

The prior (see README.md for the reasoning) is written relative to the
measurement window, because the network input is normalised by the
reactive-centroid scales and is therefore invariant to a common change of the
impedance scale or of the frequency scale. Absolute scales are still drawn over
many decades so that every spectrum looks like a plausible measurement.

Impedances come from kelvora's own `Circuit.impedance` when the module can be
imported (backend "kelvora"), otherwise from the NumPy transcription of the
element catalog below (backend "numpy"); the two agree to rounding.
"""

import math

import numpy as np

from .features import features_batch
from .registry import kinds, log_flags, scaling_rows

TWO_PI = 6.283185307179586

# ---------------------------------------------------------------------------
# Element catalog formulas (NumPy), for the elements of the bundled circuits.


def _tanh_cut(u):
    out = np.tanh(u)
    return np.where(np.abs(u.real) > 20.0, np.sign(u.real) + 0j, out)


def element_impedance(code, values, omega):
    """values: list of arrays broadcastable against omega (B x 1)."""
    s = 1j * omega
    if code == "R":
        return values[0] + 0j * omega
    if code == "C":
        return 1.0 / (s * values[0])
    if code == "L":
        return s * values[0]
    if code == "CPE":
        q, a = values
        sa = omega ** a * (np.cos(a * math.pi / 2) + 1j * np.sin(a * math.pi / 2))
        return 1.0 / (q * sa)
    if code == "W":
        aw = values[0]
        return aw * (1 - 1j) / np.sqrt(omega)
    if code == "Wo":
        z0, tau = values
        u = np.sqrt(omega * tau / 2.0) * (1 + 1j)
        return z0 / (u * _tanh_cut(u))
    raise ValueError(code)


def _parse(text):
    """Tiny parser for the bundled circuits: series by '-', parallel by '(a,b)'."""
    pos = 0

    def series():
        nonlocal pos
        items = [item()]
        while pos < len(text) and text[pos] == "-":
            pos += 1
            items.append(item())
        return items

    def item():
        nonlocal pos
        if text[pos] == "(":
            pos += 1
            branches = [series()]
            while text[pos] == ",":
                pos += 1
                branches.append(series())
            assert text[pos] == ")"
            pos += 1
            return ("par", branches)
        start = pos
        while pos < len(text) and text[pos].isalnum():
            pos += 1
        return ("el", text[start:pos])

    return series()


def _code(label):
    return label.rstrip("0123456789")


def circuit_impedance_numpy(circuit, param_names, params, omega):
    """params: B x P in param_names order; omega: B x n. Returns B x n complex."""
    index = {n: i for i, n in enumerate(param_names)}

    def ser(items):
        z = 0j
        for it in items:
            z = z + node(it)
        return z

    def node(it):
        if it[0] == "par":
            y = 0j
            for br in it[1]:
                y = y + 1.0 / ser(br)
            return 1.0 / y
        label = it[1]
        code = _code(label)
        names = [n for n in param_names if n.split(".")[0] == label]
        vals = [params[:, index[n]][:, None] for n in names]
        return element_impedance(code, vals, omega)

    return ser(_parse(circuit)) * np.ones_like(omega)


def circuit_impedance_kelvora(kv, circuit, params, freqs):
    c = kv.Circuit(circuit)
    out = np.empty(freqs.shape, dtype=np.complex128)
    for b in range(freqs.shape[0]):
        out[b] = c.with_values([float(v) for v in params[b]]).impedance(freqs[b])
    return out


def load_kelvora():
    try:
        import kelvora as kv  # noqa: F401
    except ImportError:
        return None
    if not hasattr(kv, "Circuit"):
        return None
    return kv


# ---------------------------------------------------------------------------
# Prior.

N_POINTS = (20, 120)        # points per spectrum, inclusive
DECADES = (2.0, 9.0)        # width of the measurement window
LOG_FMAX = (0.0, 7.0)       # upper end of the window, log10 Hz
LOG_RREF = (-3.0, 5.0)      # main arc resistance, log10 ohm
LOG_R0_RATIO = (-2.0, 1.0)  # log10(R0 / R1)
LOG_R2_RATIO = (-1.5, 1.5)  # log10(R2 / R1)
EDGE_MARGIN = 0.5           # arcs may sit this many decades outside the window
ARC_SEP = (0.7, 3.5)        # decades between the two arcs of two-arc circuits
ALPHA = (0.5, 1.0)          # CPE exponents
LOG_L_RATIO = (-1.5, 1.0)   # log10(omega_max L / |Z(f_max)|) for the L circuits
ARTEFACT_SHARE = 0.25       # share of non-L spectra with a stray series inductance
LOG_ART_RATIO = (-1.5, -0.3)
NOISE = (0.0, 0.03)         # proportional noise level


def sample_window(rng, n, B):
    dec = rng.uniform(*DECADES, B)
    hi = rng.uniform(*LOG_FMAX, B)
    lo = hi - dec
    t = np.linspace(1.0, 0.0, n)[None, :]  # descending, as instruments sweep
    logf = lo[:, None] + t * dec[:, None]
    return 10.0 ** logf, lo, hi


def sample_params(model, rng, lo, hi):
    """Physical parameter values (B x P) for the circuit of `model`."""
    B = lo.shape[0]
    names = model.param_names
    labels = {n.split(".")[0] for n in names}
    v = {}
    u = lambda a, b: rng.uniform(a, b, B)  # noqa: E731
    r1 = 10.0 ** u(*LOG_RREF)
    v["R0.r"] = r1 * 10.0 ** u(*LOG_R0_RATIO)
    v["R1.r"] = r1
    two = "R2.r" in names
    if two:
        dec = hi - lo
        sep = np.minimum(u(*ARC_SEP), dec + 2 * EDGE_MARGIN - 0.05)
        lf2 = lo - EDGE_MARGIN + rng.uniform(0, 1, B) * (dec + 2 * EDGE_MARGIN - sep)
        lf1 = lf2 + sep
        v["R2.r"] = r1 * 10.0 ** u(*LOG_R2_RATIO)
    else:
        lf1 = u(0, 1) * (hi - lo + 2 * EDGE_MARGIN) + lo - EDGE_MARGIN
        lf2 = None
    arcs = [("1", lf1, v["R1.r"])] + ([("2", lf2, v["R2.r"])] if two else [])
    for k, lf, r in arcs:
        tau = 1.0 / (TWO_PI * 10.0 ** lf)
        if "C" + k in labels:
            v["C%s.c" % k] = tau / r
        if "CPE" + k in labels:
            a = u(*ALPHA)
            v["CPE%s.alpha" % k] = a
            v["CPE%s.q" % k] = tau ** a / r
        if "W" + k in labels:
            # Warburg magnitude equals the arc resistance at f_w, at or below the arc
            lfw = lo - 1.0 + rng.uniform(0, 1, B) * np.maximum(lf - (lo - 1.0), 0.0)
            v["W%s.aw" % k] = r * np.sqrt(TWO_PI * 10.0 ** lfw / 2.0)
        if "Wo" + k in labels:
            v["Wo%s.z0" % k] = r * 10.0 ** u(-1.0, 1.5)
            top = np.maximum(lf - 0.3, lo - 0.5)
            lfd = lo - 0.7 + rng.uniform(0, 1, B) * (top - (lo - 0.7))
            v["Wo%s.tau" % k] = 1.0 / (TWO_PI * 10.0 ** lfd)
    if "L0.l" in names:
        v["L0.l"] = np.ones(B)  # set from |Z(f_max)| once the rest is known
    return np.stack([v[n] for n in names], axis=1)


def targets_from_params(model, params, r_s, omega_c):
    """Normalised-space targets (before standardisation) from physical values."""
    rows = scaling_rows(model.param_names)
    logs = log_flags(model.param_names)
    t = np.empty_like(params)
    for i in range(model.n_params):
        r_pow, w_pow, coef, idx = rows[i]
        expo = w_pow + (coef * params[:, int(idx)] if idx >= 0 else 0.0)
        val = params[:, i] / (r_s ** r_pow * omega_c ** expo)
        t[:, i] = np.log10(val) if logs[i] else val
    return t


def generate(model, rng, B, n, noise=None, kv=None):
    """B spectra of n points: (freqs, z, params)."""
    freqs, lo, hi = sample_window(rng, n, B)
    omega = TWO_PI * freqs
    params = sample_params(model, rng, lo, hi)
    names = list(model.param_names)
    has_l = "L0.l" in names
    if has_l:
        il = names.index("L0.l")
        params[:, il] = 1e-300
        zmax = np.abs(circuit_impedance_numpy(model.circuit, names, params, omega[:, :1]))[:, 0]
        params[:, il] = zmax * 10.0 ** rng.uniform(*LOG_L_RATIO, B) / omega[:, 0]
    if kv is not None:
        z = circuit_impedance_kelvora(kv, model.circuit, params, freqs)
    else:
        z = circuit_impedance_numpy(model.circuit, names, params, omega)
    if not has_l:
        stray = rng.uniform(0, 1, B) < ARTEFACT_SHARE
        ratio = 10.0 ** rng.uniform(*LOG_ART_RATIO, B)
        l_art = np.where(stray, np.abs(z[:, 0]) * ratio / omega[:, 0], 0.0)
        z = z + 1j * omega * l_art[:, None]
    sigma = rng.uniform(*NOISE, B) if noise is None else np.full(B, float(noise))
    eps = rng.standard_normal((B, n)) + 1j * rng.standard_normal((B, n))
    z = z + sigma[:, None] * np.abs(z) * eps
    return freqs, z, params


def build_dataset(model, seed, size, chunk=500, noise=None, kv=None, n_grid=64):
    """Features, global features, raw targets and the spectra scales for `size` spectra."""
    rng = np.random.default_rng(seed)
    feats, globs, targs, pars = [], [], [], []
    done = 0
    while done < size:
        b = min(chunk, size - done)
        n = int(rng.integers(N_POINTS[0], N_POINTS[1] + 1))
        f, z, p = generate(model, rng, b, n, noise=noise, kv=kv)
        feat, glob, r_s, omega_c = features_batch(f, z, n_grid)
        t = targets_from_params(model, p, r_s, omega_c)
        good = np.isfinite(feat).all(axis=(1, 2)) & np.isfinite(t).all(axis=1)
        feats.append(feat[good].astype(np.float32))
        globs.append(glob[good].astype(np.float32))
        targs.append(t[good])
        pars.append(p[good])
        done += b
    return (np.concatenate(feats), np.concatenate(globs), np.concatenate(targs),
            np.concatenate(pars))
