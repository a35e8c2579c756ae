"""Spectrum features of the network input ("reactive_centroid" estimator).

`features_exact` follows the inference code step by step (scalar loops, same
operation order) and is the reference for the parity data; `features_batch`
computes the same quantities for many spectra of equal length at once and is
what the training set is built with (it agrees to rounding).
"""

import math

import numpy as np

TWO_PI = 6.283185307179586
HALF_PI = 1.5707963267948966


def _interpolate(xs, ys, x):
    n = len(xs)
    if x <= xs[0]:
        return ys[0]
    if x >= xs[n - 1]:
        return ys[n - 1]
    # number of leading elements <= x
    lo, hi = 0, n
    while lo < hi:
        mid = (lo + hi) // 2
        if xs[mid] <= x:
            lo = mid + 1
        else:
            hi = mid
    a = lo
    i0 = max(a - 1, 0)
    i1 = max(a, 1)
    if xs[i0] == xs[i1]:
        return ys[i0]
    return ys[i0] + (x - xs[i0]) * (ys[i1] - ys[i0]) / (xs[i1] - xs[i0])


def scales_exact(f, z):
    """(R_s, omega_c) of the reactive-centroid estimator for one spectrum."""
    nf, nz = len(f), len(z)
    A = W = B = 0.0
    for i in range(min(nf, nz)):
        fi = float(f[i])
        re, im = float(z[i].real), float(z[i].imag)
        mag = math.hypot(re, im)
        if fi <= 0.0 or mag <= 0.0:  # NaN passes, as in the inference code
            continue
        w = -im / mag
        if math.isnan(w) or w < 0.0:
            w = 0.0
        A += math.log(TWO_PI * fi) * w
        W += w
        B += math.log(mag) * w
    if W < 1e-9:
        omega_c = math.exp(sum(math.log(TWO_PI * float(x)) for x in f) / nf)
        mags = sorted(math.hypot(float(v.real), float(v.imag)) for v in z)
        r_s = mags[nz // 2]
    else:
        omega_c = math.exp(A / W)
        r_s = math.exp(B / W)
    return r_s, omega_c


def features_exact(f, z, n_grid=64):
    """Feature map (3 x n_grid), s0, s1, R_s, omega_c for one spectrum."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    r_s, omega_c = scales_exact(f, z)
    nf = len(f)
    order = sorted(range(nf), key=lambda i: f[i])  # stable
    x = [math.log10(f[i]) for i in order]
    y = [math.log10(math.hypot(z[i].real, z[i].imag)) for i in order]
    phi = [math.atan2(z[order[0]].imag, z[order[0]].real)]
    for k in range(1, nf):
        i = order[k]
        a = math.atan2(z[i].imag, z[i].real)
        d = a - phi[k - 1]
        dp = d - math.floor((d + math.pi) / TWO_PI) * TWO_PI
        if dp == -math.pi and d > 0:
            dp = math.pi
        phi.append(phi[k - 1] + dp)
    x0, x1 = x[0], x[nf - 1]
    step = (x1 - x0) / (n_grid - 1) if n_grid >= 2 else 0.0
    out = np.zeros((3, n_grid))
    lr = math.log10(r_s)
    lw = math.log10(omega_c / TWO_PI)
    for k in range(n_grid):
        g = x0 + k * step
        out[0, k] = _interpolate(x, y, g) - lr
        out[1, k] = _interpolate(x, phi, g) / HALF_PI
        out[2, k] = (g - lw) * 0.25
    s0 = (x1 - x0) * 0.125
    s1 = math.log10(nf) * 0.5
    return out, s0, s1, r_s, omega_c


def features_batch(f, z, n_grid=64):
    """Vectorised features for B spectra of n points each (f: B x n, z: B x n).

    Assumes positive finite frequencies and non-zero impedances (true for the
    synthetic training data). Returns (feat B x 3 x n_grid, glob B x 2, R_s, omega_c).
    """
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    B, n = f.shape
    mag = np.hypot(z.real, z.imag)
    w = -z.imag / mag
    w = np.where(np.isnan(w) | (w < 0.0), 0.0, w)
    lw = np.log(TWO_PI * f)
    W = w.sum(axis=1)
    A = (lw * w).sum(axis=1)
    Bm = (np.log(mag) * w).sum(axis=1)
    ok = W >= 1e-9
    Wsafe = np.where(ok, W, 1.0)
    omega_c = np.where(ok, np.exp(A / Wsafe), np.exp(lw.mean(axis=1)))
    r_s = np.where(ok, np.exp(Bm / Wsafe), np.sort(mag, axis=1)[:, n // 2])

    order = np.argsort(f, axis=1, kind="stable")
    fs = np.take_along_axis(f, order, axis=1)
    zs = np.take_along_axis(z, order, axis=1)
    x = np.log10(fs)
    y = np.log10(np.hypot(zs.real, zs.imag))
    a = np.arctan2(zs.imag, zs.real)
    d = np.diff(a, axis=1)
    dp = d - np.floor((d + math.pi) / TWO_PI) * TWO_PI
    dp = np.where((dp == -math.pi) & (d > 0), math.pi, dp)
    phi = np.concatenate([a[:, :1], a[:, :1] + np.cumsum(dp, axis=1)], axis=1)

    x0, x1 = x[:, 0], x[:, -1]
    step = (x1 - x0) / (n_grid - 1)
    g = x0[:, None] + np.arange(n_grid)[None, :] * step[:, None]  # B x L
    cnt = (x[:, None, :] <= g[:, :, None]).sum(axis=2)  # B x L
    i0 = np.clip(cnt - 1, 0, n - 1)
    i1 = np.clip(cnt, 1, n - 1)
    xa = np.take_along_axis(x, i0, axis=1)
    xb = np.take_along_axis(x, i1, axis=1)
    den = np.where(xb == xa, 1.0, xb - xa)
    t = (g - xa) / den

    def interp(v):
        va = np.take_along_axis(v, i0, axis=1)
        vb = np.take_along_axis(v, i1, axis=1)
        r = va + t * (vb - va)
        r = np.where(xb == xa, va, r)
        r = np.where(g <= x0[:, None], v[:, :1], r)
        r = np.where(g >= x1[:, None], v[:, -1:], r)
        return r

    feat = np.empty((B, 3, n_grid))
    feat[:, 0] = interp(y) - np.log10(r_s)[:, None]
    feat[:, 1] = interp(phi) / HALF_PI
    feat[:, 2] = (g - np.log10(omega_c / TWO_PI)[:, None]) * 0.25
    glob = np.stack([(x1 - x0) * 0.125, np.full(B, math.log10(n) * 0.5)], axis=1)
    return feat, glob, r_s, omega_c
