"""Float64 NumPy forward pass of a weight blob, mirroring the module's inference.

Used to evaluate exported (binary16-rounded) networks without the compiled
module, and as a cross-check of the parity data.
"""

import math

import numpy as np

from .features import features_exact

GELU_C = 0.7978845608028654


def gelu(v):
    return v * 0.5 * (1.0 + np.tanh(GELU_C * (v + v * (v * (v * 0.044715)))))


def conv1d(x, w, b, d):
    cout, cin, k = w.shape
    L = x.shape[1]
    p = d * (k - 1) // 2
    out = np.repeat(b[:, None], L, axis=1).astype(np.float64)
    xp = np.zeros((cin, L + 2 * p))
    xp[:, p:p + L] = x
    for j in range(k):
        out += w[:, :, j] @ xp[:, j * d:j * d + L]
    return out


def group_norm(x, w, b, groups, eps=1e-5):
    c, L = x.shape
    g = x.reshape(groups, -1)
    mu = g.mean(axis=1, keepdims=True)
    var = ((g - mu) ** 2).mean(axis=1, keepdims=True)
    s = 1.0 / np.sqrt(var + eps)
    y = (s * (g - mu)).reshape(c, L)
    return y * w[:, None] + b[:, None]


def forward_raw(meta, t, feat, s0, s1):
    dil = [int(x.strip()) for x in meta["dilations"].split(",")]
    groups = int(meta["groups"])
    h = conv1d(feat, t["w.stem.weight"], t["w.stem.bias"], 1)
    for i, d in enumerate(dil):
        pre = "w.blocks.%d." % i
        u = conv1d(h, t[pre + "conv1.weight"], t[pre + "conv1.bias"], d)
        u = gelu(group_norm(u, t[pre + "norm1.weight"], t[pre + "norm1.bias"], groups))
        u = conv1d(u, t[pre + "conv2.weight"], t[pre + "conv2.bias"], d)
        u = group_norm(u, t[pre + "norm2.weight"], t[pre + "norm2.bias"], groups)
        h = gelu(h + u)
    pooled = np.concatenate([h.mean(axis=1), h.max(axis=1), [s0, s1]])
    z = gelu(t["w.head.0.weight"] @ pooled + t["w.head.0.bias"])
    z = gelu(t["w.head.2.weight"] @ z + t["w.head.2.bias"])
    return t["w.head.4.weight"] @ z + t["w.head.4.bias"]


def decode(meta, t, y, r_s, omega_c):
    mean, std = t["target_mean"], t["target_std"]
    P = len(mean)
    logp = t["log_params"] != 0
    rows = t["scaling"].reshape(P, 4)
    lo, hi = float(meta["alpha_min"]), float(meta["alpha_max"])
    val = np.empty(P)
    for i in range(P):
        v = mean[i] + y[i] * std[i]
        val[i] = 10.0 ** v if logp[i] else min(max(v, lo), hi)
    out = np.empty(P)
    for i in range(P):
        r_pow, w_pow, coef, idx = rows[i]
        idx = int(round(idx))
        c = coef * val[idx] if idx >= 0 else 0.0
        out[i] = (val[i] * r_s ** r_pow) * omega_c ** (w_pow + c)
    return out


def guess(meta, t, f, z):
    feat, s0, s1, r_s, omega_c = features_exact(f, z, int(meta["n_grid"]))
    y = forward_raw(meta, t, feat, s0, s1)
    return decode(meta, t, y, r_s, omega_c)


def log_error(spec_names, guess_vals, true_vals):
    """Per-parameter error: |log10 ratio|, absolute difference for exponents."""
    err = np.empty_like(true_vals)
    for i, n in enumerate(spec_names):
        if n.endswith(".alpha"):
            err[..., i] = np.abs(guess_vals[..., i] - true_vals[..., i])
        else:
            err[..., i] = np.abs(np.log10(guess_vals[..., i] / true_vals[..., i]))
    return err


__all__ = ["guess", "forward_raw", "decode", "gelu", "log_error", "math"]
