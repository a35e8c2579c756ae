"""lin_kk against a NumPy reference: the published method's weighted design
matrix for each M solved with numpy.linalg.lstsq, on closed-form spectra
(arcs, constant-phase arcs, Warburg tails, inductive loops, spectra that break
the relations) and on measured ones.  The linear algebra is independent of the
module; the limit on M and the look-ahead past a poor fit are the module's
documented choices, restated here, so they are checked for consistency with
the documentation rather than derived."""
import glob
import os

import numpy as np
import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHARED = os.path.join(os.path.dirname(ROOT), "shared")


def reference_lin_kk(f, z, c=0.85, test="complex", add_capacitance=False, add_inductance=True):
    """M Voigt elements with time constants log-spaced from 1/w_max to 1/w_min,
    plus R_s, L and 1/C, fitted to Z/|Z|; M grows until mu < c, passing over a
    fit that one of the next M // 2 + 2 fits betters tenfold in its sum of
    squares. Returns (M, mu, relative residuals (Z - Z_fit) / |Z|)."""
    f, z = np.asarray(f, float), np.asarray(z, complex)
    w, weight = 2 * np.pi * f, 1 / np.abs(z)
    names = ["rs"] + ["l"] * add_inductance + ["e"] * add_capacitance
    extra = {"rs": np.ones_like(w) + 0j, "l": 1j * w, "e": -1j / w}
    first = {"complex": names, "real": ["rs"], "imaginary": names[1:]}[test]
    distinct = len(np.unique(f))
    largest = {"complex": 2 * distinct - len(names), "real": distinct - 1,
               "imaginary": distinct - len(names) + 1}[test]
    half = max(largest // 2, 1)
    top = min(len(f), half)

    def part(a, which):
        return {"complex": np.concatenate([a.real, a.imag]), "real": a.real, "imaginary": a.imag}[which]

    def lstsq(a, b):
        norms = np.linalg.norm(a, axis=0)
        x = np.linalg.lstsq(a / norms, b, rcond=None)[0] / norms
        return x, float(np.sum((a @ x - b) ** 2))

    def fit(m):
        tau = np.geomspace(1 / w.max(), 1 / w.min(), m) if m > 1 else np.array([1 / np.sqrt(w.max() * w.min())])
        voigt = 1 / (1 + 1j * w[:, None] * tau)
        cols = np.column_stack([extra[n] for n in first] + [voigt])
        x, ssq = lstsq(part(cols * weight[:, None], test), part(z * weight, test))
        zfit = cols @ x
        rest = [n for n in names if n not in first]
        if rest:
            other = {"real": "imaginary", "imaginary": "real"}[test]
            more = np.column_stack([extra[n] for n in rest])
            y, _ = lstsq(part(more * weight[:, None], other), part((z - zfit) * weight, other))
            zfit = zfit + more @ y
        r = x[len(first):]
        neg, pos = -r[r < 0].sum(), r[r >= 0].sum()
        mu = 1.0 if neg == 0 else (1 - neg / pos if pos > 0 else -np.inf)
        return mu, ssq, (z - zfit) / np.abs(z)

    fits = {}

    def get(m):
        if m not in fits:
            fits[m] = fit(m)
        return fits[m]

    rows = len(part(z, test))
    for m in range(1, top + 1):
        mu, ssq, _ = get(m)
        if mu < c:
            ahead = range(m + 1, min(top, half, m + m // 2 + 2) + 1)
            if not (ssq > rows * 1e-18 and any(get(k)[1] * 10 < ssq for k in ahead)):
                return m, mu, get(m)[2]
    return top, get(top)[0], get(top)[2]


def closed_forms():
    f = np.logspace(5, -2, 60)
    w = 2 * np.pi * f
    s = 1j * w
    t = np.linspace(0, 1, f.size)  # time through a sweep from high to low frequency
    arc = 20 / (1 + (s * 1e-3) ** 0.85)
    return f, {
        "RC": 10 + 50 / (1 + s * 1e-3),
        "two RC arcs": 1 + 5 / (1 + s * 1e-4) + 10 / (1 + s * 1e-1),
        "CPE arcs": 2 + arc + 30 / (1 + (s * 1.0) ** 0.8),
        "Warburg tail": 1 + 5 / (1 + s * 1e-4) + 10 / np.sqrt(s),
        "inductive tail": 1e-6 * s + 2 + arc,
        "inductive loop": 5 + arc - 2 / (1 + s * 1e-1),
        "drifting": 2 + arc + 30 * (1 + 0.2 * t) / (1 + (s * 1.0) ** 0.8),
        "distorted": 2 + arc + 2 * np.exp(-((np.log10(f) - 1) ** 2) / 0.1),
    }


F, CLOSED = closed_forms()


def agree(f, z, **kw):
    ours = kv.lin_kk(f, z, **kw)
    m, mu, res = reference_lin_kk(f, z, **kw)
    assert ours.m == m
    assert ours.mu == pytest.approx(mu, rel=1e-6, abs=1e-6)
    np.testing.assert_allclose(ours.residuals_real + 1j * ours.residuals_imag, res, rtol=0, atol=1e-7)


@pytest.mark.parametrize("name", CLOSED)
@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
@pytest.mark.parametrize("add_capacitance, add_inductance", [(False, True), (True, True), (True, False)])
def test_closed_forms_agree_with_the_reference(name, test, add_capacitance, add_inductance):
    rng = np.random.default_rng(list(CLOSED).index(name))
    z = CLOSED[name] * (1 + 1e-3 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))
    agree(F, z, test=test, add_capacitance=add_capacitance, add_inductance=add_inductance)


def measured_spectra():
    """One spectrum per source of the real-data collection, and every instrument file's first sweep."""
    picked = {}
    for path in sorted(glob.glob(os.path.join(SHARED, "realdata", "spectra", "*.csv"))):
        picked.setdefault(os.path.basename(path).split("__")[0], path)
    paths = list(picked.values()) + sorted(glob.glob(os.path.join(SHARED, "instruments", "files", "*", "*")))
    return paths or [pytest.param(None, marks=pytest.mark.skip(reason="../shared data is not present"))]


@pytest.mark.parametrize("path", measured_spectra(), ids=lambda p: os.path.basename(p) if p else "absent")
@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
def test_measured_spectra_agree_with_the_reference(path, test):
    s = kv.read_spectra(path)[0]
    f = s["frequency_hertz"]
    z = s["real_impedance_ohm"] + 1j * s["imaginary_impedance_ohm"]
    keep = (f > 0) & np.isfinite(z)
    for add_capacitance in (False, True):
        agree(f[keep], z[keep], test=test, add_capacitance=add_capacitance)


@pytest.mark.parametrize("name, valid", [("CPE arcs", True), ("inductive loop", True), ("Warburg tail", True),
                                         ("distorted", False)])
def test_the_verdict_separates_valid_from_broken_spectra(name, valid):
    rng = np.random.default_rng(3)
    z = CLOSED[name] * (1 + 1e-3 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))
    r = kv.lin_kk(F, z, add_capacitance=name == "Warburg tail")  # a tail no Voigt element follows
    rms = np.sqrt(np.mean(np.r_[r.residuals_real, r.residuals_imag] ** 2))
    assert (rms < 1.5e-3) if valid else (rms > 5e-3)
