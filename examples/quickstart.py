"""Quickstart: fit an equivalent circuit to a battery impedance spectrum.

Without arguments the script simulates a spectrum of a lithium-ion cell from
10 kHz down to 5 mHz: the cabling's inductance (the positive imaginary tail
at high frequency), the ohmic resistance, a surface-film arc and a larger
charge-transfer arc, with 0.3 % complex Gaussian noise from a fixed seed.

    python examples/quickstart.py                  # the simulated cell
    python examples/quickstart.py my_cell.csv      # a spectrum of your own

A CSV file of your own has three columns: frequency in hertz, real part and
imaginary part in ohms (the imaginary part with its sign, negative for a
capacitive arc).  A first row that is not numeric is taken as a header.
The circuit starts from the trained network's guess.
"""
import argparse
import csv

import numpy as np
import numpy.typing as npt

import kelvora as kv

# L0-R0-(R1,CPE1)-(R2,CPE2): values of a small cell, in param_names() order.
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


def simulated_cell(seed: int = 2024, noise: float = 0.003) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]:
    """Ten points per decade from 10 kHz to 5 mHz, highest frequency first as
    an analyser sweeps, with relative complex noise."""
    f = np.logspace(4, np.log10(5e-3), 64)
    circuit = kv.Circuit("two_rq_l").with_named_values(CELL)
    z = circuit.impedance(f)
    rng = np.random.default_rng(seed)
    z = z + noise * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)) / np.sqrt(2)
    return f, z


def read_spectrum(path: str) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]:
    """Frequency, real and imaginary part from the first three columns."""
    f: list[float] = []
    z: list[complex] = []
    with open(path, newline="") as fh:
        for k, row in enumerate(csv.reader(fh)):
            if not row or not "".join(row).strip():
                continue
            try:
                hz, re_, im = (float(v) for v in row[:3])
            except ValueError:
                if k == 0:
                    continue  # a header
                raise SystemExit(f"{path}, line {k + 1}: expected three numbers, got {row!r}")
            f.append(hz)
            z.append(complex(re_, im))
    if not f:
        raise SystemExit(f"{path}: no data rows")
    return np.array(f), np.array(z)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("spectrum", nargs="?",
                        help="CSV file with columns frequency (Hz), real and imaginary part (ohm); "
                             "without it a simulated cell is fitted")
    parser.add_argument("--circuit", default="two_rq_l",
                        help="circuit expression or model name (default: two_rq_l, L0-R0-(R1,CPE1)-(R2,CPE2))")
    args = parser.parse_args()

    if args.spectrum:
        f, z = read_spectrum(args.spectrum)
        truth: dict[str, float] = {}
    else:
        f, z = simulated_cell()
        truth = CELL if args.circuit == "two_rq_l" else {}

    circuit = kv.Circuit(args.circuit)
    print(circuit)
    print()

    result = circuit.fit(f, z)
    print(result)
    print()

    names = result.circuit.param_names()
    units = result.circuit.param_units()
    stderr = result.stderr or {}
    header = f"{'parameter':12s} {'value':>14s} {'std. error':>12s}"
    print(header + (f" {'simulated':>12s}" if truth else "") + "  unit")
    for name, unit in zip(names, units):
        err = stderr.get(name, float("nan"))
        line = f"{name:12s} {result.params[name]:14.6g} {err:12.3g}"
        print(line + (f" {truth[name]:12.6g}" if truth else "") + f"  {unit}")
    print()

    relative = np.abs(result.circuit.impedance(f) - z) / np.abs(z)
    print(f"{len(f)} points, median relative misfit {np.median(relative):.2%}, "
          f"{result.impedance_evals} impedance evaluations")


if __name__ == "__main__":
    main()
