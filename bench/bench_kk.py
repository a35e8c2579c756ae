"""Linear Kramers-Kronig test speed, side by side in one run.

kelvora's lin_kk against a straightforward NumPy implementation of the
same algorithm (the weighted design matrix built anew and solved with
numpy.linalg.lstsq for each M), M chosen automatically by both, on a
simulated battery spectrum (inductive tail, series resistance, two
depressed arcs and a diffusion tail) with 0.1 % noise, at 60 and at 1,000
frequencies.  The series capacitance is fitted too, for the diffusion
tail's growing reactance.  Both must pick the same M and agree on the fit.

Run: python bench/bench_kk.py [--points 60 1000] [--min-time 0.5]
"""
import argparse
import timeit

import numpy as np

import kelvora as kv

TWO_PI = 6.283185307179586
BATTERY = "L0-R1-(R2,Cpe3)-(R4,Cpe5)-W6"
BATTERY_VALUES = [2e-7, 0.02, 0.01, 2.0, 0.9, 0.03, 5.0, 0.8, 0.02]


def time_constants(omega_min, omega_max, m):
    """tau from 1/omega_max to 1/omega_min, log-spaced; one at the middle for m = 1."""
    lo, hi = np.log10(1.0 / omega_max), np.log10(1.0 / omega_min)
    if m == 1:
        return np.array([10.0 ** (0.5 * (lo + hi))])
    return 10.0 ** (lo + np.arange(m) / (m - 1) * (hi - lo))


def numpy_lin_kk(f, z, c=0.85, max_m=None, test="complex", add_capacitance=False, add_inductance=True,
                 scale_columns=False, poor_fit_factor=10.0):
    """The linear Kramers-Kronig test in NumPy: one lstsq per M.

    M is the smallest with mu < c whose fit no fit with up to M // 2 + 2 more
    elements betters by a factor poor_fit_factor in the sum of squared
    residuals, among fits with at most half the elements the data determine
    (also the default max_m, with the number of points).  scale_columns solves with every column scaled to unit norm,
    which keeps the inductance column (of order w/|Z|) from costing digits.
    Returns (m, mu, z_fit, resistances, time_constants, series_resistance,
    inductance, capacitance); the last two are None when not fitted."""
    f = np.asarray(f, dtype=float)
    z = np.asarray(z, dtype=complex)
    n = len(f)
    w = TWO_PI * f
    weight = 1.0 / np.abs(z)
    extra = int(add_inductance) + int(add_capacitance)
    distinct = len(np.unique(f))  # points repeated at one frequency add no equation
    largest = {"complex": 2 * distinct - 1 - extra, "real": distinct - 1, "imaginary": distinct - extra}[test]
    half = max(largest // 2, 1)  # beyond it a fit matches its part(s) on any spectrum
    max_m = min(min(n, half) if max_m is None else max_m, largest)
    first_real, first_imag = test != "imaginary", test != "real"

    def solve(a, b):
        s = np.linalg.norm(a, axis=0) if scale_columns else np.ones(a.shape[1])
        return np.linalg.lstsq(a / s, b, rcond=None)[0] / s

    def stack(columns, real, imag):
        parts = ([(columns.real * weight[:, None])] if real else []) + (
            [(columns.imag * weight[:, None])] if imag else [])
        return np.vstack(parts)

    # Candidate terms besides the Voigt elements: name -> unit-coefficient column.
    others = {"rs": np.ones(n, complex)}
    if add_inductance:
        others["l"] = 1j * w
    if add_capacitance:
        others["elastance"] = -1j / w
    first = [k for k in others if (k == "rs") == first_real or (first_real and first_imag)]
    second = [k for k in others if k not in first]

    def fit(m):
        tau = time_constants(w.min(), w.max(), m)
        voigt = 1.0 / (1.0 + 1j * w[:, None] * tau[None, :])
        columns = np.column_stack([others[k] for k in first] + [voigt])
        a = stack(columns, first_real, first_imag)
        b = stack(z[:, None], first_real, first_imag)[:, 0]
        x = solve(a, b)
        r = x[len(first):]
        negative, positive = np.abs(r[r < 0]).sum(), np.abs(r[r >= 0]).sum()
        mu = 1.0 if negative == 0 else 1.0 - negative / positive
        return mu, float(np.sum((a @ x - b) ** 2)), (x, r, tau, columns)

    # A fit with mu < c is passed over while one of the next m // 2 + 2 fits
    # leaves less than 1 / poor_fit_factor of its sum of squared residuals
    # (an under-resolved sharp arc rather than overfitting), unless its
    # residuals are at rounding level already.
    fits = {}

    def tried(m):
        if m not in fits:
            fits[m] = fit(m)
        return fits[m]

    def under_resolved(m):
        own = tried(m)[1]
        if own <= len(b_rows) * 1e-18:
            return False
        return any(tried(k)[1] * poor_fit_factor < own for k in range(m + 1, min(max_m, half, m + m // 2 + 2) + 1))

    b_rows = stack(z[:, None], first_real, first_imag)
    m = max_m
    for k in range(1, max_m + 1):
        if tried(k)[0] < c and not under_resolved(k):
            m = k
            break
    mu, _, (x, r, tau, columns) = tried(m)
    values = dict(zip(first, x[: len(first)]))
    z_fit = columns @ x
    if second:
        cols = np.column_stack([others[k] for k in second])
        rest = z - z_fit
        y = solve(stack(cols, not first_real, not first_imag),
                  stack(rest[:, None], not first_real, not first_imag)[:, 0])
        values.update(zip(second, y))
        z_fit = z_fit + cols @ y
    return (m, mu, z_fit, r, tau, values["rs"], values.get("l"),
            1.0 / values["elastance"] if "elastance" in values else None)


def battery_spectrum(points, noise=1e-3, seed=1):
    f = np.logspace(5, -2, points)
    z = kv.Circuit(BATTERY).with_values(BATTERY_VALUES).impedance(f)
    rng = np.random.default_rng(seed)
    z = z + noise * np.abs(z) * (rng.standard_normal(points) + 1j * rng.standard_normal(points))
    return f, z


def per_call(fn, min_time):
    number = 1
    while timeit.timeit(fn, number=number) < min_time:
        number *= 4
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, nargs="+", default=[60, 1000], help="spectrum sizes (default 60 1000)")
    parser.add_argument("--min-time", type=float, default=0.5, help="seconds per timing batch (default 0.5)")
    args = parser.parse_args()

    for points in args.points:
        f, z = battery_spectrum(points)
        result = kv.lin_kk(f, z, add_capacitance=True)
        m, mu, z_fit, *_ = numpy_lin_kk(f, z, add_capacitance=True)
        assert result.m == m, (result.m, m)
        np.testing.assert_allclose(result.impedance, z_fit, rtol=1e-6, atol=1e-9 * np.abs(z).max())
        t_kv = per_call(lambda: kv.lin_kk(f, z, add_capacitance=True), args.min_time)
        t_np = per_call(lambda: numpy_lin_kk(f, z, add_capacitance=True), args.min_time)
        print(f"== {points} points, M = {m} (mu = {mu:.3f}), "
              f"max |residual| = {max(np.abs(result.residuals_real).max(), np.abs(result.residuals_imag).max()):.2e} ==")
        print(f"  kelvora lin_kk          {t_kv * 1e3:9.3f} ms/call")
        print(f"  NumPy lstsq for each M  {t_np * 1e3:9.3f} ms/call")
        print(f"  speed-up                {t_np / t_kv:9.1f}x")


if __name__ == "__main__":
    main()
