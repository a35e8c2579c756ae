"""The documentation site builds without a single warning, its gallery
examples run, and the API reference carries the stubs' documentation."""
import os
import shutil
import subprocess
import sys

import pytest

import kelvora as kv

pytest.importorskip("sphinx")
pytest.importorskip("numpydoc")
pytest.importorskip("sphinx_gallery")
pytest.importorskip("matplotlib")
# Builds the site and runs the gallery: outside the fast loop (-m "not toolchain").
pytestmark = [pytest.mark.docs, pytest.mark.toolchain]

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_docs_build_warning_free(tmp_path):
    # The gallery writes its pages beside the sources, so the build runs on a copy.
    for name in ["docs", "examples"]:
        shutil.copytree(os.path.join(ROOT, name), tmp_path / name,
                        ignore=shutil.ignore_patterns("_build", "auto_examples", "sg_execution_times.rst"))
    env = dict(os.environ, MPLBACKEND="Agg")
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(kv.__file__)),
                                                    env.get("PYTHONPATH")] if p)
    out = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-b", "html", "-q", str(tmp_path / "docs"),
         str(tmp_path / "html")],
        capture_output=True, text=True, env=env, timeout=900,
    )
    assert out.returncode == 0, out.stdout[-5000:] + out.stderr[-5000:]

    api = (tmp_path / "html" / "api.html").read_text(encoding="utf-8")
    # fit() documented from the stub: its settings, methods and weightings.
    for text in ["basin_hopping_temperature", "differential_evolution", "weight file", "guess_init"]:
        assert text in api, text
    gallery = tmp_path / "html" / "auto_examples"
    assert (gallery / "plot_fit_battery.html").exists()
    assert len(list((tmp_path / "html" / "_images").glob("sphx_glr_plot_fit_battery_00*.png"))) == 3
