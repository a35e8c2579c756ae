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
