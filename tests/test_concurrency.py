"""Many Python threads calling into the module at once get exactly the
results of the same calls made one after another."""
import threading

import numpy as np
import pytest

import kelvora as kv

F = np.logspace(-2, 5, 40)
TRUE = {
    "rc": [5.0, 40.0, 2e-5],
    "randles": [10.0, 50.0, 100.0, 1e-5, 0.85],
    "two_rq": [2.0, 10.0, 1e-4, 0.8, 30.0, 1e-2, 0.7],
}
METHODS = [
    ("levenberg_marquardt", {}),
    ("nelder_mead", {"nelder_mead_iterations": 60}),
    ("particle_swarm", {"num_particles": 8, "generations": 5, "seed": 3}),
    ("simulated_annealing", {"sa_iterations": 60, "seed": 4}),
    ("basin_hopping", {"basin_hopping_hops": 2, "seed": 5}),
    ("multi_start", {"seed": 6}),
]


def spectrum(name):
    z = kv.Circuit(name).with_values(TRUE[name]).impedance(F)
    rng = np.random.default_rng(len(name))
    return z * (1 + 0.01 * rng.standard_normal(len(F)))


def make_calls():
    """A list of zero-argument callables returning comparable values."""
    calls = []
    long_f = np.logspace(-3, 6, 5000).tolist()
    for name in TRUE:
        c = kv.Circuit(name)
        z = spectrum(name)
        start = c.with_values(TRUE[name])
        calls.append(lambda c=c: c.impedance(long_f).tolist())
        calls.append(lambda c=c, z=z, p=TRUE[name]: c.residuals(p, F, z))
        calls.append(lambda c=c, z=z, p=TRUE[name]: c.jacobian(p, F, z))
        calls.append(lambda c=c, z=z, p=TRUE[name]: c.residuals([x * 1e40 for x in p], F, z))  # non-finite
        calls.append(lambda c=c, z=z: c.guess(F, z))
        for method, options in METHODS:
            calls.append(
                lambda s=start, z=z, m=method, o=options: (lambda r: (r.params, r.cost, r.iterations, r.impedance_evals))(
                    s.fit(F, z, guess_init=False, method=m, **o)
                )
            )
    return calls


@pytest.mark.parametrize("threads, rounds", [(8, 3)])  # 8 threads x 90 calls, each thread in its own order
def test_threads_match_sequential(threads, rounds):
    calls = make_calls()
    expected = [repr(call()) for call in calls]  # repr: NaN compares equal to NaN
    mismatches = []
    errors = []
    barrier = threading.Barrier(threads)

    def worker(k):
        try:
            barrier.wait()
            order = list(range(len(calls)))
            np.random.default_rng(k).shuffle(order)
            for _ in range(rounds):
                for i in order:
                    if repr(calls[i]()) != expected[i]:
                        mismatches.append(i)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert errors == []
    assert mismatches == []


def test_first_use_of_every_model_from_many_threads():
    code = r"""
import threading, numpy as np, kelvora as kv
f = np.logspace(-2, 5, 30)
names = kv.Circuit.ml_circuits()
z = {n: kv.Circuit(n).impedance(f) for n in names}
results = {}
def go(k):
    for n in names[k % 3:] + names[:k % 3]:
        results.setdefault(n, []).append(kv.Circuit(n).guess(f, z[n]))
ts = [threading.Thread(target=go, args=(k,)) for k in range(8)]
[t.start() for t in ts]; [t.join() for t in ts]
assert all(len(v) == 8 and all(x == v[0] for x in v) for v in results.values()), results
print("ok")
"""
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.stdout.strip() == "ok", out.stderr[-3000:]


# Frequencies in an array that another thread writes to while impedance()
# runs without the interpreter lock.  The writer sets the first entry, then
# the last, to its counter, so that at any moment the lock is held the first
# is at least the last.  A call that copies its argument before releasing the
# lock sees such a moment; one that read the array while it computed could
# see the last entry written after the first was read.  For L0 with l = 1,
# Im Z = 2*pi*f names the frequency read.
def test_impedance_reads_the_array_before_the_lock_is_released():
    c = kv.Circuit("L0").with_values([1.0])
    f = np.zeros(1_000_000)
    stop = threading.Event()

    def writer():
        k = 0
        while not stop.is_set():
            k += 1
            f[0] = k
            f[-1] = k

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        seen = [c.impedance(f).imag[[0, -1]] / 6.283185307179586 for _ in range(40)]
    finally:
        stop.set()
        thread.join()
    assert all(first >= last for first, last in seen)
