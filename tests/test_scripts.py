"""The scripts beside the package run: every benchmark answers --help
without PyTorch, and the quickstart fits its simulated cell and a CSV file
of the user's own."""
import glob
import os
import subprocess
import sys

import numpy as np
import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCHES = sorted(glob.glob(os.path.join(ROOT, "bench", "*.py")))


def run(args, timeout=120):
    # The child imports the very package this suite imported.
    env = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(kv.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [package_parent, env.get("PYTHONPATH")] if p)
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout, env=env,
                          cwd=ROOT)


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


def test_quickstart_fits_the_simulated_cell():
    out = run([os.path.join(ROOT, "examples", "quickstart.py")])
    assert out.returncode == 0, out.stderr[-3000:]
    assert "FitResult(success=true" in out.stdout
    # The table lists every parameter of the default circuit with the value it was simulated with.
    for name in kv.Circuit("two_rq_l").param_names():
        assert f"\n{name} " in out.stdout
    assert "simulated" in out.stdout


def test_quickstart_reads_a_csv_file(tmp_path):
    f = np.logspace(4, -2, 50)
    truth = [10.0, 50.0, 1e-5]
    z = kv.Circuit("R0-(R1,C1)").with_values(truth).impedance(f)
    path = tmp_path / "spectrum.csv"
    rows = ["frequency,real,imaginary"] + [f"{a!r},{b.real!r},{b.imag!r}" for a, b in zip(f.tolist(), z.tolist())]
    path.write_text("\n".join(rows) + "\n")
    out = run([os.path.join(ROOT, "examples", "quickstart.py"), str(path), "--circuit", "R0-(R1,C1)"])
    assert out.returncode == 0, out.stderr[-3000:]
    lines = out.stdout.splitlines()
    first = next(k for k, line in enumerate(lines) if line.startswith("parameter ")) + 1
    table = {line.split()[0]: float(line.split()[1]) for line in lines[first:first + 3]}
    assert [table[k] for k in ("R0.r", "R1.r", "C1.c")] == pytest.approx(truth, rel=1e-5)
    assert "50 points" in out.stdout
