import math
import threading

import numpy as np
import pytest

import kelvora as kv

TWO_PI = 6.283185307179586


def randles_reference(f, r0, r1, aw, q, alpha):
    w = TWO_PI * np.asarray(f, dtype=float)
    zw = aw * (1 - 1j) / np.sqrt(w)
    zq = 1 / (q * (1j * w) ** alpha)
    return r0 + 1 / (1 / (r1 + zw) + 1 / zq)


def test_result_type_and_values():
    f = np.logspace(-2, 6, 60)
    c = kv.Circuit("randles").with_values([10, 50, 100, 1e-5, 0.85])
    z = c.impedance(f)
    assert isinstance(z, np.ndarray) and z.dtype == np.complex128 and z.shape == (60,)
    np.testing.assert_allclose(z, randles_reference(f, 10, 50, 100, 1e-5, 0.85), rtol=1e-12)
    assert kv.Circuit("R0-(R1,C1)").impedance([1.0])[0] == pytest.approx(1.9999605 - 0.0062829j, rel=1e-7)


@pytest.mark.parametrize(
    "freqs",
    [
        [1.0, 10.0, 100.0],
        (1.0, 10.0, 100.0),
        np.array([1.0, 10.0, 100.0]),
        np.array([1, 10, 100]),
        np.array([1.0, 10.0, 100.0], dtype=np.float32),
        np.array([100.0, 10.0, 1.0])[::-1],  # non-contiguous view
        [np.float64(1.0), 10, 100.0],
        range(1, 4),
    ],
)
def test_accepted_frequency_sequences(freqs):
    c = kv.Circuit("R0-(R1,C1)")
    expected = c.impedance([float(x) for x in np.asarray(freqs, dtype=float)])
    np.testing.assert_array_equal(c.impedance(freqs), expected)


def test_empty_and_dataframe_forms():
    c = kv.Circuit("R0-(R1,C1)")
    assert c.impedance([]).shape == (0,) and c.impedance([]).dtype == np.complex128
    z = c.impedance({"frequency_hertz": [1.0, 10.0]})
    np.testing.assert_array_equal(z, c.impedance([1.0, 10.0]))
    z = c.impedance({"Frequency / Hz": [1.0], "frequency_hertz": [5.0]})
    np.testing.assert_array_equal(z, c.impedance([1.0]))
    with pytest.raises(ValueError) as info:
        c.impedance({"f": [1.0]})
    assert str(info.value) == (
        'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or "frequency_hertz" column'
    )
    with pytest.raises(ValueError, match=r'^column "frequency_hertz" is not numeric$'):
        c.impedance({"frequency_hertz": ["a", "b"]})
    with pytest.raises(ValueError):
        c.impedance("1,2,3")
    with pytest.raises(ValueError):
        c.impedance(5.0)


def test_pandas_dataframe():
    pd = pytest.importorskip("pandas")
    c = kv.Circuit("R0-(R1,C1)")
    df = pd.DataFrame({"frequency_hertz": [1.0, 10.0], "other": [0, 0]})
    np.testing.assert_array_equal(c.impedance(df), c.impedance([1.0, 10.0]))
    np.testing.assert_array_equal(c.impedance(df["frequency_hertz"]), c.impedance([1.0, 10.0]))


def test_frequencies_are_not_validated():
    z = kv.Circuit("R0-(R1,C1)").impedance([0.0, -1.0, math.nan, math.inf])
    assert math.isnan(z[0].real) and math.isnan(z[0].imag)
    assert z[1] == pytest.approx(1 + 1 / (1 - 1j * TWO_PI * 0.001))
    assert math.isnan(z[2].real)


@pytest.mark.parametrize("n", [999, 1000, 1001, 4097, 100_000])
def test_parallel_path_equals_sequential(n):
    f = np.logspace(-3, 7, n)
    c = kv.Circuit("sei_randles_wo").with_values([1, 2, 1e-4, 0.8, 5, 3, 0.5, 1e-3, 0.7])
    z = c.impedance(f)
    chunks = np.concatenate([c.impedance(f[i : i + 500]) for i in range(0, n, 500)])
    np.testing.assert_array_equal(z, chunks)  # bit-identical, same order


def test_list_and_array_paths_agree_bitwise():
    f = np.logspace(-3, 7, 3000)
    c = kv.Circuit("two_rq_l")
    np.testing.assert_array_equal(c.impedance(f), c.impedance(f.tolist()))


def test_bad_items_raise_type_error():
    c = kv.Circuit("R0")
    with pytest.raises(ValueError):  # a list with a str item is not a sequence of numbers, nor a dataframe
        c.impedance([1.0, "x"])
    with pytest.raises(TypeError):
        c.impedance()
    with pytest.raises(TypeError):
        c.impedance([1.0], [2.0])


def test_threads_evaluate_concurrently():
    f = np.logspace(-2, 6, 20_000)
    circuits = [kv.Circuit(name) for name in kv.Circuit.ml_circuits()]
    expected = [c.impedance(f) for c in circuits]
    errors = []

    def worker(k):
        try:
            for _ in range(5):
                i = k % len(circuits)
                if not np.array_equal(circuits[i].impedance(f), expected[i]):
                    errors.append(k)
                k += 1
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
