"""Quickstart: from an instrument file to a checked and fitted spectrum.

    python examples/quickstart.py                  # a simulated cell, written as a Gamry file
    python examples/quickstart.py my_cell.DTA      # a file of your own

The script reads an impedance spectrum from a potentiostat file (any format
kelvora.read_spectra knows: Gamry .DTA, BioLogic .mpt/.mpr, ZPlot .z, Autolab,
VersaStudio, PowerSuite, Parstat, CH Instruments, Zahner .ism, PalmSens
.pssession or a CSV/TSV table), checks it with the linear Kramers-Kronig test, fits an equivalent
circuit to it and prints the fit's summary.  With matplotlib installed it
saves a Nyquist plot of the data and the fit beside the Kramers-Kronig
residuals as a PNG file.

Without a path it first simulates a lithium-ion cell from 10 kHz down to
5 mHz (the cabling's inductance, which makes the positive imaginary tail at
high frequency, the ohmic resistance, a surface-film arc and a larger
charge-transfer arc, with 0.3 % complex Gaussian noise from a fixed seed) and
writes it as a Gamry potentiostatic EIS file in a temporary directory.
"""
import argparse
import math
import os
import tempfile

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

# Residuals (relative to |Z|) below which the Kramers-Kronig verdict is "consistent".
KK_TOLERANCE = 0.01


def simulated_cell(seed: int = 2024, noise: float = 0.003) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]:
    """Ten points per decade from 10 kHz to 5 mHz, highest frequency first as
    an analyser sweeps, with relative complex noise."""
    f = np.logspace(4, np.log10(5e-3), 64)
    circuit = kv.Circuit("two_rq_l").with_named_values(CELL)
    z = circuit.impedance(f)
    rng = np.random.default_rng(seed)
    z = z + noise * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)) / np.sqrt(2)
    return f, z


def write_gamry(path: str, f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128]) -> None:
    """A Gamry Framework potentiostatic EIS file: a tagged header and the ZCURVE
    table (tab-separated, a row of names and one of units before the points)."""
    lines = [
        "EXPLAIN",
        "TAG\tEISPOT",
        "TITLE\tLABEL\tPotentiostatic EIS\tTest Identifier",
        "NOTES\tNOTES\t1\tNotes...",
        "\tSimulated lithium-ion cell (kelvora quickstart)",
        "VDC\tPOTEN\t0.0\tT\tDC Voltage (V)",
        "FREQINIT\tQUANT\t10000\tInitial Freq. (Hz)",
        "FREQFINAL\tQUANT\t0.005\tFinal Freq. (Hz)",
        "ZCURVE\tTABLE",
        "\tPt\tTime\tFreq\tZreal\tZimag\tZsig\tZmod\tZphz\tIdc\tVdc\tIERange",
        "\t#\ts\tHz\tohm\tohm\tV\tohm\t\u00b0\tA\tV\t#",
    ]
    elapsed = np.cumsum(np.maximum(3.0 / f, 1.0))  # a few periods per point, at least a second
    for k, (fk, zk, tk) in enumerate(zip(f.tolist(), z.tolist(), elapsed.tolist())):
        phase = math.degrees(math.atan2(zk.imag, zk.real))
        lines.append(f"\t{k}\t{tk:.0f}\t{fk:.6E}\t{zk.real:.6E}\t{zk.imag:.6E}\t1\t{abs(zk):.6E}\t{phase:.5g}"
                     f"\t1.0E-09\t3.7\t4")
    with open(path, "w", encoding="latin-1", newline="\r\n") as fh:
        fh.write("\n".join(lines) + "\n")


def read_spectrum(path: str) -> dict[str, npt.NDArray[np.float64]]:
    """The first spectrum of the file, saying how many there are."""
    try:
        spectra = kv.read_spectra(path)
    except (OSError, ValueError) as e:
        raise SystemExit(f"quickstart: {e}")
    if len(spectra) > 1:
        print(f"{path} holds {len(spectra)} spectra; the first is checked and fitted")
    return spectra[0]


def kk_verdict(kk: kv.KKResult) -> str:
    worst = max(float(np.abs(kk.residuals_real).max()), float(np.abs(kk.residuals_imag).max()))
    rms = math.sqrt(kk.pseudo_chi_square / (2 * len(kk.residuals_real)))
    head = f"Kramers-Kronig test: M = {kk.m}, mu = {kk.mu:.3f}, residuals rms {rms:.2%}, largest {worst:.2%}"
    if worst < KK_TOLERANCE:
        return head + f"\n  consistent: every residual is below {KK_TOLERANCE:.0%} of |Z|"
    return (head + f"\n  check the data: residuals reach {worst:.2%} of |Z| (a drifting or nonlinear "
            "measurement, or points to leave out); the fit below may be misleading")


def save_plot(result: kv.FitResult, kk: kv.KKResult, name: str) -> None:
    try:
        import matplotlib
    except ImportError:
        print('No plot: matplotlib is not installed (pip install "kelvora[plot]")')
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
    result.plot("nyquist", ax=left)
    kk.plot(ax=right)
    fig.tight_layout()
    directory = os.getcwd() if os.access(os.getcwd(), os.W_OK) else tempfile.gettempdir()
    path = os.path.join(directory, name)
    fig.savefig(path, dpi=120)
    plt.close(fig)
    print(f"Nyquist plot and Kramers-Kronig residuals saved to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?",
                        help="instrument file or CSV table of a spectrum; without it a simulated cell is "
                             "written to a temporary directory and read back")
    parser.add_argument("--circuit", default="two_rq_l",
                        help="circuit expression or model name (default: two_rq_l, L0-R0-(R1,CPE1)-(R2,CPE2))")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        path = args.path
        if path is None:
            path = os.path.join(scratch, "simulated_cell.DTA")
            write_gamry(path, *simulated_cell())
            print(f"Simulated cell written as a Gamry file: {path}")
        spectrum = read_spectrum(path)
    f = spectrum["frequency_hertz"]
    print(f"{len(f)} points from {f.max():.4g} Hz to {f.min():.4g} Hz")
    print()

    kk = kv.lin_kk(spectrum)
    print(kk_verdict(kk))
    print()

    result = kv.Circuit(args.circuit).fit(spectrum)
    print(result.summary())
    if args.path is None and args.circuit == "two_rq_l":
        print()
        print("simulated with: " + ", ".join(f"{name} = {value:.4g}" for name, value in CELL.items()))
    print()

    stem = os.path.splitext(os.path.basename(args.path))[0] if args.path else "simulated_cell"
    save_plot(result, kk, f"{stem}_nyquist.png")


if __name__ == "__main__":
    main()
