"""Quickstart: build a circuit, print its summary and evaluate a spectrum."""
import numpy as np

import kelvora as kv

circuit = kv.Circuit("randles").with_values([10.0, 50.0, 100.0, 1e-5, 0.85])
print(circuit)
print()

frequencies = np.logspace(-2, 6, 60)
z = circuit.impedance(frequencies)
print(f"{'f / Hz':>12}  {'Re Z / ohm':>12}  {'-Im Z / ohm':>12}")
for f, zi in list(zip(frequencies, z))[::10]:
    print(f"{f:12.4g}  {zi.real:12.5g}  {-zi.imag:12.5g}")
