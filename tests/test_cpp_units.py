"""Builds the C++ unit tests of the numerical core and runs them with ctest."""
import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.toolchain


@pytest.fixture(scope="module")
def cpp_build(tmp_path_factory):
    if not glob.glob(os.path.join(ROOT, "tests", "cpp", "*_test.cpp")):
        pytest.skip("no C++ unit tests")
    cmake = shutil.which("cmake")
    if cmake is None:
        try:
            import cmake as cmake_pkg  # the PyPI cmake package

            cmake = os.path.join(cmake_pkg.CMAKE_BIN_DIR, "cmake")
        except ImportError:
            pytest.skip("cmake not available")
    build = tmp_path_factory.mktemp("cpp")
    configure = [cmake, "-S", ROOT, "-B", str(build), "-DKELVORA_PYTHON=OFF", "-DKELVORA_CPP_TESTS=ON",
                 "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    out = subprocess.run([cmake, "--build", str(build), "-j2"], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-4000:] + out.stderr[-4000:]
    return build


def test_cpp_unit_tests(cpp_build):
    ctest = os.path.join(os.path.dirname(shutil.which("cmake") or "cmake"), "ctest")
    if not os.path.exists(ctest):
        ctest = shutil.which("ctest") or "ctest"
    out = subprocess.run([ctest, "--output-on-failure"], cwd=cpp_build, capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stdout[-6000:] + out.stderr[-4000:]
