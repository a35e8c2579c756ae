"""The program may end while a daemon thread is still inside the module:
a batch, a fit, an impedance, a KK test or a file read, or Python code the
module calls (a dataframe's __getitem__).  The interpreter ends such a
thread when it comes back for the interpreter lock; the process must exit
cleanly all the same."""
import os
import subprocess
import sys
import textwrap

import pytest

# The object whose finaliser sleeps while the interpreter is shutting down
# lets the daemon thread come back for the lock during the shutdown, so the
# case is met every time rather than by chance.
CHILD = textwrap.dedent(
    """
    import os, sys, threading, time
    import numpy as np
    import kelvora as kv

    class SlowFinaliser:
        def __del__(self):
            time.sleep(0.5)

    keep = SlowFinaliser()
    f = np.logspace(-2, 5, 60)
    z = kv.Circuit("randles").with_values([10, 50, 100, 1e-5, 0.85]).impedance(f)
    SLOW = dict(method="particle_swarm", num_particles=400, generations=2000, seed=1)

    class SlowFrame(dict):
        def __getitem__(self, key):
            time.sleep(0.01)
            return dict.__getitem__(self, key)

    frame = SlowFrame(frequency_hertz=f, real_impedance_ohm=z.real, imaginary_impedance_ohm=z.imag)
    path = sys.argv[2]

    def forever(call):
        while True:
            call()

    WORK = {
        "fit_many": lambda: kv.fit_many("randles", [(f, z)] * 8, threads=2, **SLOW),
        "fit_many progress": lambda: kv.fit_many("randles", [(f, z)] * 8, threads=2, progress=lambda d, t: None,
                                                  **SLOW),
        "fit_many chain": lambda: kv.fit_many("randles", [(f, z)] * 8, chain=True, **SLOW),
        "fit": lambda: kv.Circuit("randles").fit(f, z, **SLOW),
        "impedance": lambda: forever(lambda: kv.Circuit("randles").impedance(np.logspace(-2, 6, 200_000))),
        "lin_kk": lambda: forever(lambda: kv.lin_kk(f, z)),
        "read_spectra": lambda: forever(lambda: kv.read_spectra(path)),
        "dataframe during fit_many": lambda: forever(lambda: kv.fit_many("randles", [frame] * 50, threads=2)),
        "dataframe during fit": lambda: forever(lambda: kv.Circuit("randles").fit(frame)),
    }
    for _ in range(2):
        threading.Thread(target=WORK[sys.argv[1]], daemon=True).start()
    time.sleep(0.3)
    print("exiting", flush=True)
    """
)


@pytest.fixture(scope="module")
def csv_file(tmp_path_factory):
    import numpy as np

    import kelvora as kv

    f = np.logspace(-2, 5, 2000)
    z = kv.Circuit("randles").with_values([10, 50, 100, 1e-5, 0.85]).impedance(f)
    path = tmp_path_factory.mktemp("shutdown") / "sweep.csv"
    np.savetxt(path, np.column_stack([f, z.real, z.imag]), delimiter=",",
               header="frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm", comments="")
    return str(path)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX threads")
@pytest.mark.parametrize(
    "work",
    [
        "fit_many",
        "dataframe during fit_many",
        pytest.param("fit_many progress", marks=pytest.mark.toolchain),
        pytest.param("fit_many chain", marks=pytest.mark.toolchain),
        pytest.param("fit", marks=pytest.mark.toolchain),
        pytest.param("impedance", marks=pytest.mark.toolchain),
        pytest.param("lin_kk", marks=pytest.mark.toolchain),
        pytest.param("read_spectra", marks=pytest.mark.toolchain),
        pytest.param("dataframe during fit", marks=pytest.mark.toolchain),
    ],
)
def test_exit_while_a_daemon_thread_works(work, csv_file):
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    out = subprocess.run([sys.executable, "-c", CHILD, work, csv_file], capture_output=True, text=True,
                         timeout=120, env=env)
    assert (out.returncode, out.stdout, out.stderr) == (0, "exiting\n", "")
