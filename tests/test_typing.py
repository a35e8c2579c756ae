"""The stubs agree with the runtime (stubtest), and the examples and a user's
code beyond them type-check under mypy --strict against them."""
import os
import subprocess
import sys

import pytest

import kelvora as kv

pytest.importorskip("mypy")
# Half a minute of mypy: outside the fast loop (-m "not toolchain").
pytestmark = [pytest.mark.typing, pytest.mark.toolchain]

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_mypy(*args):
    # The child finds the very package this suite imported, stubs included.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(kv.__file__)),
                                                    env.get("PYTHONPATH")] if p)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=ROOT,
                          timeout=600)


def test_stubs_agree_with_the_runtime():
    out = run_mypy("mypy.stubtest", "kelvora")
    assert out.returncode == 0, out.stdout[-5000:] + out.stderr[-2000:]


def test_examples_type_check_strictly(tmp_path):
    out = run_mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                   os.path.join(ROOT, "examples"))
    assert out.returncode == 0, out.stdout[-5000:] + out.stderr[-2000:]
    assert "Success" in out.stdout


# What users write beyond the examples, under --strict (which reports an
# unused "type: ignore"): every line marked must fail, with the error code
# given, so the stubs reject what the runtime rejects.  A positional argument
# too many has no code of its own across mypy versions (misc, then call-arg).
USER_SCRIPT = """
from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import kelvora as kv
from kelvora.dask import fit_bag, fit_partition, table_rows

f = np.logspace(5, -1, 40)
circuit = kv.Series([kv.R(10.0), kv.Parallel([kv.R(50.0), kv.Cpe(1e-5, 0.9)])])
z = circuit.impedance(f)
frame = {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
result = circuit.with_bounds({"R0.r": (1.0, 20.0)}).with_fixed(["R0.r"]).fit(frame, method="nelder_mead", seed=1)
assert_type(result.stderr, "dict[str, float] | None")
assert_type(kv.Circuit.from_dict(circuit.to_dict()), kv.Circuit)
assert_type(kv.FitResult.from_dict(result.to_dict()), kv.FitResult)
assert_type(kv.Circuit("rc").guess(f, z), "list[float]")
assert_type(circuit.residuals([1.0, 2.0, 3.0, 0.9], f, z, weight="unit"), "list[float]")
results = kv.fit_many("rc", [(f, z), frame], threads=2, chain=True, method="multi_start", max_iterations=50)
assert_type(results, "list[kv.FitResult | Exception]")
table = kv.results_table(results, circuit="rc")
rows: list[dict[str, Any]] = table_rows(table) + fit_partition("rc", [(f, z)], weight="unit")
kk = kv.lin_kk(f, z, c=0.8, test="real", max_m=20)
assert_type(kk.inductance, "float | None")
spectrum = kv.read_spectrum("cell.csv", format="csv")
assert_type(spectrum["frequency_hertz"], "npt.NDArray[np.float64]")
kv.plot.nyquist(f, z, result=result)
assert_type(kv.__version__, str)

kv.lin_kk(f, z, 0.85)  # type: ignore
kv.fit_many("rc", [(f, z)], 2)  # type: ignore
kv.fit_many("rc", [(f, z)], max_iteration=5)  # type: ignore[call-arg]
kv.fit_many("rc", [(f, z)], method="newton")  # type: ignore[arg-type]
circuit.fit(f, z, weight="square")  # type: ignore[call-overload]
kv.R()  # type: ignore[call-arg]
kv.Zarc(1.0, 1e-3, gamma="0.8")  # type: ignore[arg-type]
result.params = {}  # type: ignore[misc]
kv.read_spectrum("cell.txt", format="excel")  # type: ignore[arg-type]
fit_bag("rc", [], 2)  # type: ignore
kv.plot.nyquist(f, z, result)  # type: ignore
"""


def test_user_code_type_checks_strictly(tmp_path):
    script = tmp_path / "user_code.py"
    script.write_text(USER_SCRIPT, encoding="utf-8")
    out = run_mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(script))
    assert out.returncode == 0, out.stdout[-5000:] + out.stderr[-2000:]
    assert "Success" in out.stdout
