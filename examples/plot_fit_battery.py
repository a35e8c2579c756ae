"""
Fitting a lithium-ion cell
==========================

A cell's spectrum from 10 kHz down to 5 mHz: the cabling's inductance (the
positive imaginary tail at the top of the sweep), the ohmic resistance, a
surface-film arc and a larger charge-transfer arc, with 0.3 % complex noise.
The circuit ``two_rq_l`` is ``L0-R0-(R1,CPE1)-(R2,CPE2)``; the fit starts
from the trained network's guess.
"""

import matplotlib.pyplot as plt
import numpy as np

import kelvora as kv

# sphinx_gallery_thumbnail_number = 1
CELL = {
    "L0.l": 1.5e-7,
    "R0.r": 0.0145,
    "R1.r": 0.0042,
    "CPE1.q": 0.9,
    "CPE1.alpha": 0.78,
    "R2.r": 0.0115,
    "CPE2.q": 15.0,
    "CPE2.alpha": 0.88,
}

f = np.logspace(4, np.log10(5e-3), 64)
z = kv.Circuit("two_rq_l").with_named_values(CELL).impedance(f)
rng = np.random.default_rng(2024)
z = z + 0.003 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)) / np.sqrt(2)

result = kv.Circuit("two_rq_l").fit(f, z)
print(result)
stderr = result.stderr or {}
for name, value in result.params.items():
    print(f"{name:11s} {value:12.5g} +- {stderr.get(name, float('nan')):.2g}   (simulated {CELL[name]:.5g})")

# %%
# The Nyquist plot: measured points and the fitted curve, drawn on a dense
# logarithmic grid over the measured range, with equal axes and -Im upward.
ax = result.plot("nyquist")
ax.set_title("two_rq_l fit")
plt.show()

# %%
# The Bode plot: modulus and phase against frequency.
axes = result.plot("bode")
plt.show()

# %%
# The relative misfit per frequency: noise without trend means the circuit
# describes the cell.
ax = result.plot("residuals")
plt.show()
