"""Quickstart: fit an equivalent circuit to a measured battery spectrum.

The spectrum (examples/battery_spectrum.csv) has the battery-data column
names, so the rows read into a dict of lists form a dataframe that fit()
accepts directly.  The circuit starts from the trained network's guess.
"""
import csv
import os

import numpy as np

import kelvora as kv

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "battery_spectrum.csv"), newline="") as fh:
    rows = list(csv.DictReader(fh))
frame = {name: [float(row[name]) for row in rows] for name in rows[0]}

circuit = kv.Circuit("two_rq_l")  # L0-R0-(R1,CPE1)-(R2,CPE2)
print(circuit)
print()

result = circuit.fit(frame)
print(result)
print()

names = result.circuit.param_names()
units = result.circuit.param_units()
stderr = result.stderr or {}
print(f"{'parameter':12s} {'value':>14s} {'std. error':>12s}  unit")
for name, unit in zip(names, units):
    err = stderr.get(name, float("nan"))
    print(f"{name:12s} {result.params[name]:14.6g} {err:12.3g}  {unit}")
print()

f = np.array(frame["frequency_hertz"])
z = np.array(frame["real_impedance_ohm"]) + 1j * np.array(frame["imaginary_impedance_ohm"])
relative = np.abs(result.circuit.impedance(f) - z) / np.abs(z)
print(f"{len(f)} points, median relative misfit {np.median(relative):.2%}, "
      f"{result.impedance_evals} impedance evaluations")
