"""The network forward pass against an independent NumPy implementation.

The reference below restates the whole pass (reactive-centroid features,
log-frequency resampling with phase unwrapping, dilated convolutions, group
normalisation, GELU, pooling, head and decoding) with array operations, and is
compared with Circuit.guess(weights=...) on small random networks.
"""

import math

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

from test_eisnn_writer import random_network  # noqa: E402

TWO_PI = 6.283185307179586


def total_order(values):
    """Indices sorting values stably in IEEE total order (NaN last for positive NaN)."""
    bits = np.asarray(values, dtype=np.float64).view(np.int64)
    keys = bits ^ ((bits >> 63).astype(np.uint64) >> np.uint64(1)).astype(np.int64)
    return np.argsort(keys, kind="stable")


def interpolate(xs, ys, x):
    n = len(xs)
    if x <= xs[0]:
        return ys[0]
    if x >= xs[n - 1]:
        return ys[n - 1]
    # number of leading xs <= x (0 for a NaN x, whose comparisons all fail)
    a = 0 if math.isnan(x) else int(np.searchsorted(xs, x, side="right"))
    i0, i1 = max(a - 1, 0), max(a, 1)
    if xs[i0] == xs[i1]:
        return ys[i0]
    return ys[i0] + (x - xs[i0]) * (ys[i1] - ys[i0]) / (xs[i1] - xs[i0])


def features(net, f, z):
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    mag = np.hypot(z.real, z.imag)
    keep = ~((f <= 0) | (mag <= 0))
    with np.errstate(all="ignore"):
        w = -z.imag[keep] / mag[keep]
    w = np.where(np.isnan(w) | (w < 0), 0.0, w)
    a = b = wsum = 0.0
    for fi, mi, wi in zip(f[keep], mag[keep], w):  # sequential sums, as the module adds them
        a += math.log(TWO_PI * fi) * wi
        wsum += wi
        b += math.log(mi) * wi
    if wsum < 1e-9:
        s = 0.0
        for fi in f:
            s += math.log(TWO_PI * fi)
        omega_c = math.exp(s / len(f))
        r_s = mag[total_order(mag)][len(z) // 2]
    else:
        omega_c, r_s = math.exp(a / wsum), math.exp(b / wsum)

    order = total_order(f)
    x = np.log10(f[order])
    y = np.log10(mag[order])
    raw = np.arctan2(z.imag[order], z.real[order])
    phase = np.empty_like(raw)
    phase[0] = raw[0]
    for k in range(1, len(raw)):
        d = raw[k] - phase[k - 1]
        dw = d - math.floor((d + math.pi) / TWO_PI) * TWO_PI
        if dw == -math.pi and d > 0:
            dw = math.pi
        phase[k] = phase[k - 1] + dw

    L = net["n_grid"]
    x0, x1 = x[0], x[-1]
    step = 0.0 if L < 2 else (x1 - x0) / (L - 1)
    grid = x0 + np.arange(L) * step
    fmap = np.empty((3, L))
    for k, g in enumerate(grid):
        fmap[0, k] = interpolate(x, y, g) - math.log10(r_s)
        fmap[1, k] = interpolate(x, phase, g) / 1.5707963267948966
        fmap[2, k] = (g - math.log10(omega_c / TWO_PI)) * 0.25
    return r_s, omega_c, fmap, (x1 - x0) * 0.125, math.log10(len(f)) * 0.5


def conv1d(net, h, name, d):
    w = net["tensors"]["w.%s.weight" % name].reshape(net["channels"], h.shape[0], net["kernel"])
    b = net["tensors"]["w.%s.bias" % name]
    L, K = net["n_grid"], net["kernel"]
    p = d * (K - 1) // 2
    padded = np.zeros((h.shape[0], L + 2 * (d * (K - 1)) + 2))
    off = d * (K - 1)
    padded[:, off:off + L] = h
    out = np.repeat(b[:, None], L, axis=1).astype(np.float64)
    for j in range(K):
        start = off + d * j - p
        out += w[:, :, j] @ padded[:, start:start + L]
    return out


def group_norm(net, h, name):
    C, L, G = net["channels"], net["n_grid"], net["groups"]
    w = net["tensors"]["w.%s.weight" % name]
    b = net["tensors"]["w.%s.bias" % name]
    g = h.reshape(G, -1)
    mu = g.mean(axis=1, keepdims=True)
    var = ((g - mu) ** 2).mean(axis=1, keepdims=True)
    g = (g - mu) / np.sqrt(var + 1e-5)
    return g.reshape(C, L) * w[:, None] + b[:, None]


def gelu(v):
    return v * 0.5 * (1.0 + np.tanh(0.7978845608028654 * (v + 0.044715 * v ** 3)))


def linear(net, v, name):
    return net["tensors"]["w.%s.weight" % name] @ v + net["tensors"]["w.%s.bias" % name]


def reference_guess(net, f, z):
    r_s, omega_c, fmap, s0, s1 = features(net, f, z)
    h = conv1d(net, fmap, "stem", 1)
    for i, d in enumerate(net["dilations"]):
        t = conv1d(net, h, "blocks.%d.conv1" % i, d)
        t = gelu(group_norm(net, t, "blocks.%d.norm1" % i))
        t = conv1d(net, t, "blocks.%d.conv2" % i, d)
        t = group_norm(net, t, "blocks.%d.norm2" % i)
        h = gelu(h + t)
    pooled = np.concatenate([h.mean(axis=1), np.nanmax(h, axis=1), [s0, s1]])
    zz = gelu(linear(net, pooled, "head.0"))
    zz = gelu(linear(net, zz, "head.2"))
    y = linear(net, zz, "head.4")
    t = net["tensors"]
    P = net["p"]
    v = t["target_mean"] + y[:P] * t["target_std"]
    log = t["log_params"] != 0
    value = np.where(log, 10.0 ** v, np.clip(v, net["alpha_min"], net["alpha_max"]))
    out = []
    for i in range(P):
        r_pow, w_pow, coef, idx = t["scaling"][i]
        c = coef * value[int(round(idx))] if round(idx) >= 0 else 0.0
        out.append(value[i] * r_s ** r_pow * omega_c ** (w_pow + c))
    return np.array(out)


def randles_spectrum(f, r0=12.0, r1=80.0, q=2e-4, alpha=0.8, aw=30.0):
    s = 1j * TWO_PI * np.asarray(f)
    zw = aw / np.sqrt(s) * (1 - 1j) / np.sqrt(2) * np.sqrt(2)  # a Warburg-like tail
    branch = r1 + zw
    return r0 + 1.0 / (1.0 / branch + q * s ** alpha)


def assert_close(got, expected, rel=1e-9, label=""):
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.shape == expected.shape
    np.testing.assert_allclose(got, expected, rtol=rel, atol=0.0, err_msg=label)


NETWORKS = [
    # circuit, names, options
    ("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], dict(channels=4, groups=2, kernel=3, dilations=(1, 2))),
    ("R0-(R1,CPE1)", ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"],
     dict(channels=6, groups=3, kernel=5, dilations=(1, 2, 4, 8), n_grid=16)),
    ("L0-R0-(R1-W1,CPE1)", ["L0.l", "R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"],
     dict(channels=8, groups=8, kernel=4, dilations=(3,), n_grid=10, head_out=9)),
    ("R0-(R1,CPE1)-(R2-Wo2,CPE2)",
     ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "Wo2.z0", "Wo2.tau", "CPE2.q", "CPE2.alpha"],
     dict(channels=4, groups=1, kernel=3, dilations=(1, 5), n_grid=7, alpha_min=0.3, alpha_max=0.9)),
]


def spectra():
    rng = np.random.default_rng(7)
    f = np.logspace(-2, 5, 40)
    yield "sorted", f, randles_spectrum(f)
    perm = rng.permutation(len(f))
    yield "shuffled", f[perm], randles_spectrum(f)[perm]
    f2 = np.concatenate([f[:10], f[5:15]])
    z2 = randles_spectrum(f2)
    z2[12] += 3.0  # the later of two equal frequencies supplies the value
    yield "duplicates", f2, z2
    # non-positive frequencies and a zero impedance stay in the sorted arrays
    # (so the grid degenerates), but not in the centroid sums
    f3 = np.concatenate([f, [-1.0, 0.0]])
    z3 = randles_spectrum(np.abs(f3) + 1e-3)
    z3[5] = 0.0
    yield "nonpositive-and-zero", f3, z3
    yield "inductive-only", f, 5.0 + 1j * TWO_PI * f * 1e-3
    # phase wrapping around +-pi
    ang = np.linspace(0.5, 7.5, len(f))
    yield "wrapping", f, 10.0 * np.exp(1j * ang) + rng.normal(0, 0.1, size=len(f))
    yield "two-points", f[[3, 30]], randles_spectrum(f[[3, 30]])


@pytest.mark.parametrize("net_index", range(len(NETWORKS)))
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_guess_matches_numpy_reference(tmp_path, net_index):
    circuit, names, options = NETWORKS[net_index]
    data, net = random_network(circuit, names, seed=net_index, **options)
    path = str(tmp_path / ("net%d.eisnn" % net_index))
    with open(path, "wb") as fh:
        fh.write(data)
    c = kv.Circuit(circuit)
    for label, f, z in spectra():
        got = c.guess(list(f), list(z), weights=path)
        expected = reference_guess(net, f, z)
        assert_close(got, expected, label=label)


def test_fallback_scales_without_capacitive_points(tmp_path):
    # No point with Im Z < 0: omega_c is the geometric mean of 2 pi f, R_s the
    # upper median of |Z|.  A resistance row (1, 0, 0, -1) with value 1 returns
    # R_s, an inductance row (1, -1, 0, -1) returns R_s / omega_c.
    from test_eisnn_writer import oracle_blob
    path = str(tmp_path / "fallback.eisnn")
    with open(path, "wb") as fh:
        fh.write(oracle_blob("R0-L1", ["R0.r", "L1.l"], [0.0, 0.0], log_params=[1.0, 1.0],
                             scaling=[[1, 0, 0, -1], [1, -1, 0, -1]]))
    f = [10.0, 1.0, 1000.0, 100.0]
    z = [3 + 0j, 1 + 1j, 7 + 2j, 2 + 0j]
    mags = sorted(abs(v) for v in z)
    r_s = mags[2]
    omega_c = math.exp(sum(math.log(TWO_PI * v) for v in f) / 4)
    got = kv.Circuit("R0-L1").guess(f, z, weights=path)
    assert_close(got, [r_s, r_s / omega_c], rel=1e-14)
