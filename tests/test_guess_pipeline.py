"""The guess pipeline with weight files: errors, the per-path cache, the K/Zarc
back-conversion, and concurrent first use of the embedded networks."""

import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

from test_eisnn_writer import oracle_blob, random_network  # noqa: E402

F = list(np.logspace(-1, 4, 25))
Z = list(kv.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 1e-4]).impedance(F))
RC_NAMES = ["R0.r", "R1.r", "C1.c"]


def write(path, data):
    with open(path, "wb") as fh:
        fh.write(data)
    return str(path)


def value_error(fn):
    with pytest.raises(ValueError) as info:
        fn()
    return str(info.value)


def test_weights_must_be_str_or_none(tmp_path):
    c = kv.Circuit("R0-(R1,C1)")
    for bad in (3, b"m.eisnn", tmp_path):
        with pytest.raises(TypeError, match="weights"):
            c.guess(F, Z, weights=bad)
    assert c.guess(F, Z, weights=None) == c.guess(F, Z)


def test_missing_file_and_directory(tmp_path):
    c = kv.Circuit("R0-(R1,C1)")
    msg = value_error(lambda: c.guess(F, Z, weights=str(tmp_path / "absent.eisnn")))
    assert msg == "reading weights: No such file or directory (os error 2)"
    msg = value_error(lambda: c.guess(F, Z, weights=str(tmp_path)))
    assert msg.startswith("reading weights: ") and msg.endswith("(os error 21)")
    msg = value_error(lambda: c.guess(F, Z, weights="a\0b"))
    assert msg.startswith("reading weights: ")


def test_file_name_that_is_not_utf8(tmp_path):
    # os.listdir and sys.argv hand such a name over with its bytes escaped as
    # lone surrogates; the file is opened by those bytes, as open() does.
    raw = os.fsencode(str(tmp_path)) + b"/net-\xff.eisnn"
    try:
        write(raw, oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, 3.0, 0.25]))
    except OSError:
        pytest.skip("the file system refuses a name that is not UTF-8")
    path = os.fsdecode(raw)
    c = kv.Circuit("R0-(R1,C1)")
    assert c.guess(F, Z, weights=path) == [2.0, 3.0, 0.25]
    assert isinstance(c.fit(F, Z, weights=path), kv.FitResult)
    [result] = kv.fit_many(c, [(F, Z)], weights=path)
    assert isinstance(result, kv.FitResult)
    # an error that names the file still reads as text
    msg = value_error(lambda: kv.Circuit("R0-C1").guess(F, Z, weights=path))
    assert "was trained for" in msg and "net-" in msg


def test_file_for_another_topology(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write("m.eisnn", oracle_blob("R0-(R1,C1)", RC_NAMES, [0.0] * 3))
    msg = value_error(lambda: kv.Circuit("R0-C1").guess(F, Z, weights="m.eisnn"))
    assert msg == ('weight file has an unparsable value for '
                   '"m.eisnn was trained for \\"R0-(R1,C1)\\", which is a different circuit"')


def test_file_whose_circuit_does_not_parse(tmp_path):
    path = write(tmp_path / "bad.eisnn", oracle_blob("R0-(R1,C1", RC_NAMES, [0.0] * 3))
    msg = value_error(lambda: kv.Circuit("R0-(R1,C1)").guess(F, Z, weights=path))
    assert msg == 'weight file has an unparsable value for "circuit \\"R0-(R1,C1\\" in %s"' % path


def test_file_whose_circuit_and_names_disagree(tmp_path):
    # three outputs named, but the circuit has four parameters
    path = write(tmp_path / "m.eisnn", oracle_blob("R0-(R1,CPE1)", RC_NAMES, [0.0] * 3))
    msg = value_error(lambda: kv.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path))
    assert msg == 'weight file has an unparsable value for "param_names"'


def test_one_file_serves_relabelled_and_abbreviated_circuits(tmp_path):
    path = write(tmp_path / "rc.eisnn", oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, 3.0, 0.25]))
    assert kv.Circuit("R0-(R1,C1)").guess(F, Z, weights=path) == [2.0, 3.0, 0.25]
    assert kv.Circuit("R9-(C3,R4)").guess(F, Z, weights=path) == [2.0, 0.25, 3.0]
    assert kv.Circuit("R0-K1").guess(F, Z, weights=path) == [2.0, 3.0, 0.75]


def test_too_few_points_with_weights(tmp_path):
    path = write(tmp_path / "rc.eisnn", oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, 3.0, 0.25]))
    msg = value_error(lambda: kv.Circuit("R0-(R1,C1)").guess(F[:1], Z[:1], weights=path))
    assert msg == "need at least 2 frequency points to guess, got 1"


@pytest.mark.parametrize("r,q,alpha", [(4.0, 0.5, 0.5), (2.0, 0.25, 1.0), (3.0, 2.0, 0.0625)])
def test_zarc_back_conversion(tmp_path, r, q, alpha):
    path = write(tmp_path / "rq.eisnn",
                 oracle_blob("R0-(R1,CPE1)", ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"], [1.0, r, q, alpha]))
    out = kv.Circuit("Zarc7-R0").guess(F, Z, weights=path)
    assert out == [r, (r * q) ** (1.0 / alpha), alpha, 1.0]


def test_zarc_back_conversion_with_nan_exponent(tmp_path):
    # a NaN exponent passes the clamp unchanged and counts as 1e-6 in tau_k
    path = write(tmp_path / "rq.eisnn",
                 oracle_blob("R0-(R1,CPE1)", ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"], [1.0, 2.0, 0.25, math.nan]))
    r0, r, tau_k, gamma = kv.Circuit("R0-Zarc1").guess(F, Z, weights=path)
    assert (r0, r, tau_k) == (1.0, 2.0, 0.0) and math.isnan(gamma)  # 0.5^(1e6) underflows


def test_file_is_read_once_per_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    name = "cached-%d.eisnn" % os.getpid()
    write(name, oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, 3.0, 0.25]))
    c = kv.Circuit("R0-(R1,C1)")
    first = c.guess(F, Z, weights=name)
    # changed on disk, then removed: the cached network is used
    write(name, oracle_blob("R0-(R1,C1)", RC_NAMES, [7.0, 7.0, 7.0]))
    assert c.guess(F, Z, weights=name) == first
    os.remove(name)
    assert c.guess(F, Z, weights=name) == first
    # other texts for the same file share its entry
    assert c.guess(F, Z, weights="./" + name) == first
    assert c.guess(F, Z, weights=str(tmp_path / name)) == first
    # the same relative text in another folder is another file
    (tmp_path / "other").mkdir()
    monkeypatch.chdir(tmp_path / "other")
    write(name, oracle_blob("R0-(R1,C1)", RC_NAMES, [4.0, 5.0, 0.5]))
    assert c.guess(F, Z, weights=name) == [4.0, 5.0, 0.5]


def test_the_file_read_is_the_one_the_path_names_through_a_link(tmp_path, monkeypatch):
    # For the operating system "link/../net.eisnn" is net.eisnn beside the
    # link's target, not net.eisnn in the working folder.
    (tmp_path / "real" / "sub").mkdir(parents=True)
    (tmp_path / "work").mkdir()
    try:
        os.symlink(tmp_path / "real" / "sub", tmp_path / "work" / "link")
    except OSError:
        pytest.skip("no symbolic links here")
    write(tmp_path / "real" / "net.eisnn", oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, 3.0, 0.25]))
    write(tmp_path / "work" / "net.eisnn", oracle_blob("R0-(R1,C1)", RC_NAMES, [4.0, 5.0, 0.5]))
    monkeypatch.chdir(tmp_path / "work")
    c = kv.Circuit("R0-(R1,C1)")
    assert c.guess(F, Z, weights="link/../net.eisnn") == [2.0, 3.0, 0.25]
    assert c.guess(F, Z, weights="net.eisnn") == [4.0, 5.0, 0.5]
    assert c.guess(F, Z, weights="link/../net.eisnn") == [2.0, 3.0, 0.25]


def test_a_fit_does_not_start_from_a_guess_that_is_no_number(tmp_path):
    # Damaged weights (here an output that is NaN) would start a fit from
    # nothing and end it at meaningless values reported as a success.
    path = write(tmp_path / "nan.eisnn", oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, math.nan, 0.25]))
    c = kv.Circuit("R0-(R1,C1)")
    assert math.isnan(c.guess(F, Z, weights=path)[1])  # the guess alone is handed back as it is
    assert "guessed values that are not finite numbers" in value_error(lambda: c.fit(F, Z, weights=path))
    # A spectrum the network cannot read (zero impedances) is no sign of damage: the fit runs.
    assert isinstance(c.fit(F, [0j] * len(F)), kv.FitResult)
    [failed] = kv.fit_many(c, [(F, Z)], weights=path)
    assert isinstance(failed, ValueError) and "are damaged" in str(failed)


def test_failures_are_not_cached(tmp_path):
    path = str(tmp_path / "late.eisnn")
    c = kv.Circuit("R0-(R1,C1)")
    assert value_error(lambda: c.guess(F, Z, weights=path)).startswith("reading weights: ")
    write(path, b"EISNN00")
    assert value_error(lambda: c.guess(F, Z, weights=path)) == "weight file is truncated"
    write(path, oracle_blob("R0-(R1,C1)", RC_NAMES, [2.0, 3.0, 0.25]))
    assert c.guess(F, Z, weights=path) == [2.0, 3.0, 0.25]


def test_concurrent_guesses_with_one_file(tmp_path):
    data, _ = random_network("R0-(R1,C1)", RC_NAMES, seed=3)
    path = write(tmp_path / "shared.eisnn", data)
    results, barrier = [], threading.Barrier(8)

    def work():
        barrier.wait()
        results.append(kv.Circuit("R0-(R1,C1)").guess(F, Z, weights=path))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8 and all(r == results[0] for r in results)


FIRST_USE = r"""
import threading, sys
import numpy as np
import kelvora as kv
names = kv.Circuit.ml_circuits()
f = list(np.logspace(-2, 5, 40))
z = list(kv.Circuit("R0-(R1,CPE1)").with_values([5.0, 60.0, 1e-4, 0.8]).impedance(f))
barrier = threading.Barrier(3 * len(names))
results = {}
lock = threading.Lock()
def work(name, k):
    barrier.wait()
    out = kv.Circuit(name).guess(f, z)
    with lock:
        results[(name, k)] = out
threads = [threading.Thread(target=work, args=(n, k)) for n in names for k in range(3)]
for t in threads: t.start()
for t in threads: t.join()
for n in names:
    again = kv.Circuit(n).guess(f, z)
    assert all(results[(n, k)] == again for k in range(3)), n
print("ok", len(results))
"""


def test_first_use_of_embedded_networks_from_many_threads():
    # In a fresh process, so that no network has been decoded yet.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", FIRST_USE], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok 33"


RC_TRUE = [5.0, 50.0, 1e-4]


def with_point(f, z):
    """F and Z with one more point (f, z) in the middle."""
    return F[:12] + [f] + F[12:], Z[:12] + [z] + Z[12:]


@pytest.mark.parametrize("f, z", [
    (math.nan, 1 + 1j),
    (math.inf, 1 + 1j),
    (0.0, 1 + 1j),
    (3.0, complex(math.nan, 0.0)),
    (3.0, complex(0.0, math.inf)),
])
def test_a_point_the_network_cannot_read_leaves_the_fit_start_guessed(f, z):
    # One such point makes the whole guess NaN, and the fit used to start
    # from it.  The start is the guess from the other points; a fit whose
    # cost is not finite ends there at once.
    c = kv.Circuit("R0-(R1,C1)")
    freqs, imps = with_point(f, z)
    assert all(math.isnan(v) for v in c.guess(freqs, imps))  # the guess alone stays as it is
    result = c.fit(freqs, imps)
    assert not result.success
    assert list(result.params.values()) == pytest.approx(c.guess(F, Z), rel=1e-12)
    [batch] = kv.fit_many(c, [(freqs, imps)])
    assert batch.params == result.params


def test_a_negative_frequency_does_not_end_the_fit_at_the_bounds():
    c = kv.Circuit("R0-(R1,C1)")
    freqs, imps = with_point(-3.0, kv.Circuit("R0-(R1,C1)").with_values(RC_TRUE).impedance([-3.0])[0])
    result = c.fit(freqs, imps)
    assert result.success
    assert list(result.params.values()) == pytest.approx(RC_TRUE, rel=1e-6)


@pytest.mark.parametrize("imps", [[0j] * len(F), [complex(math.nan, 0.0)] * len(F)])
def test_a_spectrum_without_readable_points_starts_from_the_circuit_values(imps):
    c = kv.Circuit("R0-(R1,C1)")
    assert c.fit(F, imps).params == c.fit(F, imps, guess_init=False).params
