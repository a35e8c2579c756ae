"""Runs the test suite against a build of the module instrumented with
AddressSanitizer and UndefinedBehaviorSanitizer (-fno-sanitize-recover):
any report fails this test.  Leak detection is off here (the interpreter
keeps much memory until exit); leaks are measured by test_leaks.py."""
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = [
    pytest.mark.toolchain,
    pytest.mark.skipif(os.environ.get("KELVORA_SANITIZED") == "1", reason="already running under the sanitizers"),
]


def gcc_runtime(name):
    cc = shutil.which("gcc") or shutil.which("cc")
    if cc is None:
        return None
    path = subprocess.run([cc, f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()
    return path if os.path.isabs(path) and os.path.exists(path) else None


def test_suite_under_address_and_ub_sanitizers(tmp_path):
    cmake = shutil.which("cmake")
    asan = gcc_runtime("libasan.so")
    if cmake is None or asan is None:
        pytest.skip("cmake or the AddressSanitizer runtime is not available")
    build = tmp_path / "build"
    configure = [cmake, "-S", ROOT, "-B", str(build), "-DKELVORA_SANITIZE=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    out = subprocess.run(configure, capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
    out = subprocess.run([cmake, "--build", str(build), "-j2", "--target", "kelvora"], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]

    # The C++ runtime is preloaded with the sanitizer's so that its exception
    # interceptors find __cxa_throw (the interpreter itself does not link it).
    preload = [asan] + [p for p in [gcc_runtime("libstdc++.so")] if p]
    env = dict(os.environ)
    env.update(
        KELVORA_SANITIZED="1",
        LD_PRELOAD=" ".join(preload),
        PYTHONMALLOC="malloc",
        PYTHONPATH=str(build) + os.pathsep + env.get("PYTHONPATH", ""),
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_odr_violation=0",
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1",
    )
    # The inner run is the fast loop: the toolchain checks (this one among
    # them) are left out, so it neither recurses nor rebuilds.
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "-m", "not toolchain",
         os.path.join(ROOT, "tests")],
        cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=3600,
    )
    output = run.stdout + run.stderr
    imported = subprocess.run(
        [sys.executable, "-c", "import kelvora; print(kelvora.__file__)"], env=env, capture_output=True, text=True
    ).stdout.strip()
    assert imported.startswith(str(build)), f"the sanitized module was not the one imported: {imported}"
    assert "AddressSanitizer" not in output and "runtime error:" not in output, output[-8000:]
    assert run.returncode == 0, output[-8000:]
