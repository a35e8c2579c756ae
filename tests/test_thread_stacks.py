"""Deep circuits on threads with small stacks.

A circuit may nest 1000 parallel groups on a thread with a large stack (the
main thread, or a thread of the default size with glibc), but tree walks
recurse once per level, so a thread with a small stack -- one started after
`threading.stack_size()`, or any thread under musl, whose default is
128 KiB -- cannot walk that deep (a 256 KiB thread holds some 190 levels;
AddressSanitizer's larger frames need a thread four times the size).  Such a thread gets a ValueError, never a
crash; and the module's own threads (the worker pool, fit_many's workers)
have large stacks whatever the C library's default.

Each case runs in a child process, so that a crash fails the test rather
than ending the test run.
"""

import ctypes
import ctypes.util
import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"child ended with {proc.returncode}:\n{proc.stderr[-3000:]}"
    return proc.stdout.split()


SMALL_THREAD = """
    import pickle, threading
    import numpy as np
    import kelvora as kv

    deep_text = "(" * 999 + "R0-(R1,C1)" + ")" * 999
    deep = kv.Circuit(deep_text).with_values([1.0, 10.0, 1e-4])   # built on the main thread
    deep_dict = deep.to_dict()
    f = np.logspace(-1, 4, 20)
    z = deep.impedance(f)
    result = deep.fit(f, z)

    def refused(call):
        try:
            call()
        except ValueError as e:
            return "stack" in str(e)
        return False

    def work():
        calls = (lambda: kv.Circuit(deep_text), lambda: kv.Circuit.from_dict(deep_dict),
                 lambda: deep.impedance([1.0]), lambda: deep.param_names(), lambda: repr(deep),
                 lambda: deep == deep, lambda: hash(deep), lambda: pickle.dumps(deep), lambda: deep.expression,
                 lambda: deep.to_dict(), lambda: deep.with_values([1.0, 2.0, 3.0]), lambda: deep.fit(f, z),
                 lambda: deep.jacobian([1.0, 10.0, 1e-4], f, z), lambda: kv.Series([deep]),
                 lambda: kv.Parallel([deep]), lambda: kv.fit_many(deep, [(f, z)]),
                 lambda: result.circuit, lambda: result.to_dict(), lambda: result == result)
        out.extend(refused(call) for call in calls)
        # shallow circuits work as anywhere else
        c = kv.Circuit("(" * 20 + "R0-(R1,C1)" + ")" * 20).with_values([1.0, 10.0, 1e-4])
        out.append(np.allclose(c.impedance(f), z, rtol=1e-12))
        out.append(pickle.loads(pickle.dumps(c)) == c)

    out = []
    threading.stack_size(STACK)
    t = threading.Thread(target=work)
    t.start()
    t.join()

    # The last references dropped on a small thread: freeing a tree walks it too.
    kept = [deep, result]
    del deep, result
    threading.stack_size(32 * 1024)
    t = threading.Thread(target=kept.clear)
    t.start()
    t.join()
    print(*out)
"""


def test_small_thread_refuses_deep_circuits_without_crashing():
    stack = 1024 * 1024 if os.environ.get("KELVORA_SANITIZED") == "1" else 256 * 1024
    assert run_child(SMALL_THREAD.replace("STACK", str(stack))) == ["True"] * 21


@pytest.mark.skipif(not sys.platform.startswith("linux") or not ctypes.util.find_library("c"),
                    reason="lowers the C library's default thread stack through glibc's pthread_setattr_default_np")
def test_own_threads_have_large_stacks():
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "pthread_setattr_default_np"):
        pytest.skip("no pthread_setattr_default_np")
    # New threads default to 128 KiB, as under musl; the deep fits below run
    # on the worker pool and on fit_many's threads.
    assert run_child("""
        import ctypes
        libc = ctypes.CDLL(None)
        attr = ctypes.create_string_buffer(256)
        assert libc.pthread_attr_init(attr) == 0
        assert libc.pthread_attr_setstacksize(attr, ctypes.c_size_t(128 * 1024)) == 0
        assert libc.pthread_setattr_default_np(attr) == 0
        import numpy as np
        import kelvora as kv
        c = kv.Circuit("(" * 900 + "R0-(R1,C1)" + ")" * 900).with_values([1.0, 10.0, 1e-4])
        f = np.logspace(-1, 4, 30)
        z = c.impedance(f)
        assert len(c.impedance(np.logspace(-1, 4, 2000))) == 2000
        results = kv.fit_many(c, [(f, z)] * 4, threads=2)
        assert all(isinstance(r, kv.FitResult) for r in results)
        assert len(c.jacobian([1.0, 10.0, 1e-4], f, z)) == 60
        print("ok")
    """) == ["ok"]
