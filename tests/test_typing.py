"""The stubs agree with the runtime (stubtest) and the examples type-check
under mypy --strict against them."""
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
