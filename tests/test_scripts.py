"""The scripts beside the package run: every benchmark answers --help
without PyTorch, and the quickstart checks and fits its simulated cell, a CSV
file and an instrument file of the user's own."""
import glob
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCHES = sorted(glob.glob(os.path.join(ROOT, "bench", "*.py")))


def run(args, timeout=120, cwd=ROOT):
    # The child imports the very package this suite imported.
    env = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(kv.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [package_parent, env.get("PYTHONPATH")] if p)
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout, env=env,
                          cwd=cwd)


# Runs a script as __main__ with PyTorch unimportable: the benchmarks need the
# bench extra only, which has no torch.
WITHOUT_TORCH = r"""
import os, runpy, sys
class NoTorch:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "torch":
            raise ImportError("torch is not part of the bench extra")
sys.meta_path.insert(0, NoTorch())
sys.argv = sys.argv[1:]
sys.path[0] = os.path.dirname(sys.argv[0])
runpy.run_path(sys.argv[0], run_name="__main__")
"""


@pytest.mark.parametrize("script", BENCHES, ids=os.path.basename)
def test_bench_script_answers_help_without_torch(script):
    out = run(["-c", WITHOUT_TORCH, script, "--help"])
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.startswith("usage: " + os.path.basename(script))


def test_quickstart_checks_and_fits_the_simulated_cell(tmp_path):
    out = run([os.path.join(ROOT, "examples", "quickstart.py")], cwd=tmp_path)
    assert out.returncode == 0, out.stderr[-3000:]
    assert "written as a Gamry file" in out.stdout and "64 points" in out.stdout
    assert "Kramers-Kronig test: M = " in out.stdout and "consistent" in out.stdout
    # The summary lists every parameter of the default circuit; the simulated values follow.
    for name in kv.Circuit("two_rq_l").param_names():
        assert name in out.stdout
    assert "simulated with: L0.l = 1.5e-07" in out.stdout
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "simulated_cell_nyquist.png").stat().st_size > 0
    else:
        assert "matplotlib is not installed" in out.stdout


def test_quickstart_reads_a_csv_file(tmp_path):
    f = np.logspace(4, -2, 50)
    truth = [10.0, 50.0, 1e-5]
    z = kv.Circuit("R0-(R1,C1)").with_values(truth).impedance(f)
    path = tmp_path / "spectrum.csv"
    rows = ["frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm"]
    rows += [f"{a!r},{b.real!r},{b.imag!r}" for a, b in zip(f.tolist(), z.tolist())]
    path.write_text("\n".join(rows) + "\n")
    out = run([os.path.join(ROOT, "examples", "quickstart.py"), str(path), "--circuit", "R0-(R1,C1)"],
              cwd=tmp_path)
    assert out.returncode == 0, out.stderr[-3000:]
    assert "50 points" in out.stdout and "consistent" in out.stdout
    fitted = kv.Circuit("R0-(R1,C1)").fit(f, z)
    assert fitted.summary() in out.stdout


INSTRUMENTS = os.path.join(ROOT, "..", "shared", "instruments")


@pytest.mark.skipif(not os.path.isdir(INSTRUMENTS), reason="the shared instrument files are absent")
@pytest.mark.parametrize("name", ["gamry-dta/exampleDataGamry.DTA", "zplot-z/exampleDataZPlot.z"])
def test_quickstart_reads_an_instrument_file(tmp_path, name):
    path = os.path.join(INSTRUMENTS, "files", name)
    if not os.path.exists(path):
        pytest.skip(f"{name} is absent")
    out = run([os.path.join(ROOT, "examples", "quickstart.py"), path, "--circuit", "R0-(R1,C1)"], cwd=tmp_path)
    assert out.returncode == 0, out.stderr[-3000:]
    points = len(kv.read_spectra(path)[0]["frequency_hertz"])
    assert f"{points} points" in out.stdout and "Kramers-Kronig test: M = " in out.stdout
    assert "R1.r" in out.stdout
