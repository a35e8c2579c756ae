"""
Kramers-Kronig test and fitting methods
=======================================

A Randles cell, ``R0-(R1-W1,CPE1)``, with 0.5 % noise.  First the linear
Kramers-Kronig test fits a chain of Voigt elements to the spectrum and shows
its residuals per frequency; then the circuit is fitted from the trained
network's guess with Levenberg-Marquardt, and from the element defaults with
a global search.
"""

import time

import matplotlib.pyplot as plt
import numpy as np

import kelvora as kv

truth = kv.Circuit("randles").with_values([12.0, 48.0, 95.0, 2e-5, 0.86])
f = np.logspace(5, -2, 57)
z = truth.impedance(f)
rng = np.random.default_rng(7)
z = z * (1 + 0.005 * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)))

kk = kv.lin_kk(f, z)
print(kk)

fig, ax = plt.subplots()
ax.semilogx(f, 100 * kk.residuals_real, "o-", label="real")
ax.semilogx(f, 100 * kk.residuals_imag, "s-", label="imaginary")
ax.set_xlabel("frequency / Hz")
ax.set_ylabel("Kramers-Kronig residual / %")
ax.legend()
plt.show()

# %%
# Levenberg-Marquardt from the network's guess against differential
# evolution from the element defaults.
def report(label: str, result: kv.FitResult, seconds: float) -> None:
    print(f"{label:38s} chi_square {result.chi_square:.3e}  "
          f"{result.impedance_evals:7d} evaluations  {seconds * 1e3:7.1f} ms")


start = time.perf_counter()
local = kv.Circuit("randles").fit(f, z)
report("levenberg_marquardt from the guess", local, time.perf_counter() - start)

defaults = kv.Circuit("randles").with_values(kv.Circuit("randles").param_values())
start = time.perf_counter()
result = defaults.fit(f, z, method="differential_evolution", seed=None)
report("differential_evolution from defaults", result, time.perf_counter() - start)

# %%
# Both reach the same minimum; the plot shows the measured spectrum with the
# last fit.
ax = kv.plot.nyquist(f, z, result=result)
plt.show()
