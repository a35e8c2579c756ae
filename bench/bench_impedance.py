"""Impedance evaluation speed and memory, side by side in one run.

  * 60 frequencies (a typical spectrum), randles circuit: kelvora's
    Circuit.impedance against impedance.py's CustomCircuit.predict (the
    `impedance` package, installed by the `bench` extra);
  * 1,000,000 frequencies: kelvora against a NumPy-vectorised evaluation of
    the same circuit, with the peak memory of each call measured in a fresh
    process (ru_maxrss before and after).

Run: python bench/bench_impedance.py
"""
import argparse
import json
import subprocess
import sys
import timeit

import numpy as np

import kelvora as kv

TWO_PI = 6.283185307179586
VALUES = [10.0, 50.0, 100.0, 1e-5, 0.85]  # R0, R1, W1.aw, CPE1.q, CPE1.alpha


def numpy_randles(f, r0, r1, aw, q, alpha):
    w = TWO_PI * f
    zw = aw * (1 - 1j) / np.sqrt(w)
    zq = 1.0 / (q * (1j * w) ** alpha)
    return r0 + 1.0 / (1.0 / (r1 + zw) + 1.0 / zq)


def per_call(fn, min_time=0.5):
    number = 1
    while True:
        t = timeit.timeit(fn, number=number)
        if t >= min_time:
            break
        number *= 4
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


MEMORY_PROBE = r"""
import json, sys
import numpy as np
import kelvora as kv
sys.path.insert(0, {bench_dir!r})
from bench_impedance import numpy_randles, VALUES
which = sys.argv[1]
f = np.logspace(-2, 6, 1_000_000)
c = kv.Circuit("randles").with_values(VALUES)
c.impedance(f[:2000]); numpy_randles(f[:2000], *VALUES)   # warm up: pool threads, imports
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1])  # kB
# Reset the peak resident size to the current one, then read the peak after the call.
with open("/proc/self/clear_refs", "w") as fh:
    fh.write("5")
before = status("VmRSS:")
z = c.impedance(f) if which == "kelvora" else numpy_randles(f, *VALUES)
after = status("VmHWM:")
print(json.dumps({{"peak_growth_mb": (after - before) / 1024.0, "result_mb": z.nbytes / 2**20,
                  "input_mb": f.nbytes / 2**20}}))
"""


def peak_memory(which):
    import os

    code = MEMORY_PROBE.format(bench_dir=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code, which], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    argparse.ArgumentParser(description=__doc__.splitlines()[0]).parse_args()
    circuit = kv.Circuit("randles").with_values(VALUES)

    print("== 60 frequencies, randles ==")
    f60 = np.logspace(-2, 6, 60)
    t_kv = per_call(lambda: circuit.impedance(f60))
    t_np = per_call(lambda: numpy_randles(f60, *VALUES))
    rows = [("kelvora Circuit.impedance", t_kv), ("NumPy reference", t_np)]
    try:
        from impedance.models.circuits import CustomCircuit

        import warnings

        warnings.filterwarnings("ignore", message="Simulating circuit")
        ref = CustomCircuit("R0-p(R1-W1,CPE1)", initial_guess=VALUES)
        z_ref = ref.predict(f60)
        np.testing.assert_allclose(circuit.impedance(f60), z_ref, rtol=1e-9)
        rows.append(("impedance.py CustomCircuit.predict", per_call(lambda: ref.predict(f60))))
    except ImportError:
        print("(impedance.py not installed: pip install '.[bench]')")
    for name, t in rows:
        print(f"  {name:36s} {t * 1e6:10.2f} us/call   {t / t_kv:8.1f}x kelvora's time")

    print("== 1,000,000 frequencies, randles ==")
    f1m = np.logspace(-2, 6, 1_000_000)
    np.testing.assert_allclose(circuit.impedance(f1m), numpy_randles(f1m, *VALUES), rtol=1e-12)
    t_kv = per_call(lambda: circuit.impedance(f1m), 2.0)
    t_np = per_call(lambda: numpy_randles(f1m, *VALUES), 2.0)
    print(f"  kelvora   {t_kv * 1e3:8.2f} ms  ({t_kv * 1e9 / 1e6:6.1f} ns/point, {kv_workers()} workers + caller)")
    print(f"  NumPy     {t_np * 1e3:8.2f} ms  ({t_np * 1e9 / 1e6:6.1f} ns/point)")
    print(f"  speed-up  {t_np / t_kv:8.2f}x")
    for which in ("kelvora", "numpy"):
        m = peak_memory(which)
        print(f"  peak memory growth during the call, {which:8s} {m['peak_growth_mb']:7.1f} MB "
              f"(input {m['input_mb']:.1f} MB, result {m['result_mb']:.1f} MB)")


def kv_workers():
    import os

    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


if __name__ == "__main__":
    main()
