import multiprocessing as mp
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvora as kv

F = np.logspace(-2, 6, 50_000)


def child_evaluation(_):
    return kv.Circuit("randles").impedance(F).sum()


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pool_survives_fork_and_spawn(method):
    if method not in mp.get_all_start_methods():
        pytest.skip(f"{method} not available")
    expected = kv.Circuit("randles").impedance(F).sum()  # starts the pool in the parent
    ctx = mp.get_context(method)
    with ctx.Pool(2) as pool:
        results = pool.map_async(child_evaluation, range(4)).get(timeout=120)
    assert results == [expected] * 4
    assert kv.Circuit("randles").impedance(F).sum() == expected  # parent pool still works


def test_plain_fork_child_recreates_pool():
    code = textwrap.dedent(
        """
        import os, numpy as np, kelvora as kv
        f = np.logspace(-2, 6, 20000)
        a = kv.Circuit("rc").impedance(f)
        pid = os.fork()
        if pid == 0:
            b = kv.Circuit("rc").impedance(f)
            os._exit(0 if np.array_equal(a, b) else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "0", out.stderr


def test_module_is_single_instance_and_names():
    import importlib

    assert importlib.import_module("kelvora") is kv
    assert kv.__all__ == [
        "Element", "Circuit", "FitResult", "Series", "Parallel",
        "R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T",
    ]
    assert issubclass(kv.InternalError, BaseException) and not issubclass(kv.InternalError, Exception)
    assert "InternalError" not in kv.__all__
    with pytest.raises(TypeError, match="No constructor defined for FitResult"):
        kv.FitResult()


def test_subinterpreter_refuses_import():
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        pytest.skip("no subinterpreter support")
    code = textwrap.dedent(
        """
        import _xxsubinterpreters as i, sys
        interp = i.create()
        try:
            i.run_string(interp, "import kelvora")
        except Exception as e:
            print("refused", type(e).__name__)
        else:
            print("imported")
        """
    )
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert "refused" in out.stdout, out.stdout + out.stderr


FORK_DURING_WEIGHTS_READ = textwrap.dedent(
    """
    import os, sys, threading, time
    import numpy as np
    import kelvora as kv

    weights, fifo = sys.argv[1], sys.argv[2]
    f = np.logspace(-2, 5, 40)
    c = kv.Circuit("R0-(R1,CPE1)")
    z = c.with_values([5.0, 40.0, 2e-5, 0.9]).impedance(f)
    results = []
    # A worker of fit_many reads the weight file, a FIFO, holding the cache of
    # weight files, and waits there for data.
    batch = threading.Thread(target=lambda: results.extend(kv.fit_many(c, [(f, z)], weights=fifo, guess_init=True)))
    batch.start()
    while True:
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # ENXIO until the worker has it open
            break
        except OSError:
            time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        guess = c.guess(f, z, weights=weights)
        os._exit(0 if len(guess) == 4 else 3)
    deadline = time.monotonic() + 20
    while os.waitpid(pid, os.WNOHANG)[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            print("child hung")
            break
        time.sleep(0.01)
    else:
        print("child done")
    os.set_blocking(writer, True)
    with open(weights, "rb") as fh:
        os.write(writer, fh.read())
    os.close(writer)
    batch.join()
    print(type(results[0]).__name__)
    """
)


@pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(os, "mkfifo"), reason="needs fork and FIFOs")
def test_fork_while_a_batch_reads_a_weight_file(tmp_path):
    weights = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "parity_net.eisnn")
    fifo = tmp_path / "slow.eisnn"
    os.mkfifo(fifo)
    out = subprocess.run([sys.executable, "-c", FORK_DURING_WEIGHTS_READ, weights, str(fifo)],
                         capture_output=True, text=True, timeout=180)
    assert out.stdout.split() == ["child", "done", "FitResult"], out.stderr
