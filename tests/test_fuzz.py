"""Bounded fuzzing of the two surfaces that read untrusted bytes: circuit
expressions and weight blobs.  With clang's libFuzzer the targets run for a
fixed time under AddressSanitizer and UBSan, seeded with the committed
corpus (and the embedded weight blobs); without it the corpus is replayed
through a plain driver.  KELVORA_FUZZ_SECONDS sets the time per target."""
import glob
import os
import re
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FUZZ = os.path.join(ROOT, "tests", "fuzz")
SECONDS = int(os.environ.get("KELVORA_FUZZ_SECONDS", "60"))
pytestmark = pytest.mark.toolchain

SOURCES = {
    "parse": ["support", "elements", "circuit"],
    "eisnn": ["support", "elements", "circuit", "nn"],
    "readers": ["support", "readers"],
}


def core_sources(dirs):
    return sorted(f for d in dirs for f in glob.glob(os.path.join(ROOT, "src", d, "*.cpp")))


def libfuzzer_compiler():
    """clang++ when it can link -fsanitize=fuzzer, else None.  The suite
    installs nothing: clang is provisioned before it runs, if at all."""
    cxx = shutil.which("clang++")
    if not cxx:
        return None
    probe = subprocess.run(
        [cxx, "-x", "c++", "-", "-fsanitize=fuzzer", "-o", os.devnull],
        input='extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }',
        capture_output=True, text=True,
    )
    return cxx if probe.returncode == 0 else None


@pytest.fixture(scope="module")
def compiler():
    return libfuzzer_compiler()


def seeds(target, workdir):
    corpus = os.path.join(workdir, "corpus")
    os.makedirs(corpus, exist_ok=True)
    for f in glob.glob(os.path.join(FUZZ, f"corpus_{target}", "*")):
        shutil.copy(f, corpus)
    if target == "eisnn":
        for f in glob.glob(os.path.join(ROOT, "src", "models", "*.eisnn")):
            shutil.copy(f, corpus)
        for f in glob.glob(os.path.join(ROOT, "tests", "fuzz_corpus_eisnn", "*")):
            shutil.copy(f, corpus)
    return corpus


@pytest.mark.parametrize("target", sorted(SOURCES))
def test_fuzz_target(target, compiler, tmp_path):
    sources = core_sources(SOURCES[target]) + [os.path.join(FUZZ, f"{target}_fuzzer.cpp")]
    binary = str(tmp_path / f"{target}_fuzzer")
    corpus = seeds(target, str(tmp_path))
    common = ["-std=c++20", "-O1", "-g", "-I", os.path.join(ROOT, "src"), "-ffp-contract=off"]
    if compiler is None:
        gxx = shutil.which("g++") or shutil.which("c++")
        if gxx is None:
            pytest.skip("no C++ compiler")
        build = subprocess.run([gxx, *common, *sources, os.path.join(FUZZ, "standalone_driver.cpp"), "-o", binary,
                                "-pthread"], capture_output=True, text=True)
        assert build.returncode == 0, build.stderr[-4000:]
        run = subprocess.run([binary, *glob.glob(os.path.join(corpus, "*"))], capture_output=True, text=True,
                             timeout=600)
        assert run.returncode == 0, run.stderr[-4000:]
        return
    flags = ["-fsanitize=fuzzer,address,undefined", "-fno-sanitize-recover=all"]
    build = subprocess.run([compiler, *common, *flags, *sources, "-o", binary, "-pthread"], capture_output=True,
                           text=True)
    assert build.returncode == 0, build.stderr[-4000:]
    run = subprocess.run(
        [binary, corpus, f"-max_total_time={SECONDS}", "-max_len=600000", "-rss_limit_mb=2048",
         "-malloc_limit_mb=1024", "-print_final_stats=1", "-close_fd_mask=1"],
        capture_output=True, text=True, timeout=SECONDS + 600,
        env={**os.environ, "ASAN_OPTIONS": "detect_leaks=1:allocator_may_return_null=0"},
    )
    assert run.returncode == 0, run.stderr[-6000:]
    executed = re.search(r"stat::number_of_executed_units:\s*(\d+)", run.stderr)
    print(f"{target}: {executed.group(1) if executed else '?'} executions without a crash")
