"""Circuits, elements and results as values: pickling and copying, equality
and hashing, expressions, and the JSON-compatible dict forms."""
import copy
import json
import math
import multiprocessing
import pickle
import struct

import numpy as np
import pytest

import kelvora as kv

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402

from test_property_roundtrip import Builder, as_circuit, trees, values_of  # noqa: E402

F = np.logspace(-1, 5, 30)
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# A NaN with a payload and the sign bit set: only a bitwise copy keeps it.
ODD_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_DEAD_BEEF))[0]


def bits(x):
    return struct.pack("<d", x)


def copies(obj):
    """pickle at every protocol, copy and deepcopy."""
    out = [pickle.loads(pickle.dumps(obj, protocol=p)) for p in PROTOCOLS]
    return out + [copy.copy(obj), copy.deepcopy(obj)]


ELEMENTS = [cls(*[0.5 + i for i in range(len(cls.__match_args__))]) for cls in
            (kv.R, kv.C, kv.L, kv.La, kv.Cpe, kv.W, kv.Wo, kv.Ws, kv.G, kv.Gs, kv.K, kv.Zarc, kv.Tlmq, kv.T)]


@pytest.mark.parametrize("element", ELEMENTS, ids=lambda e: type(e).__name__)
def test_every_element_kind_copies_and_compares_by_value(element):
    for c in copies(element):
        assert type(c) is type(element) and c == element and hash(c) == hash(element)
        assert repr(c) == repr(element)
    args = [getattr(element, n) for n in element.__match_args__]
    assert type(element)(*args) == element
    assert type(element)(*([args[0] + 1] + args[1:])) != element


def test_element_equality_is_bitwise_and_by_kind():
    assert kv.R(1) == kv.R(1.0) and kv.R(1) != kv.C(1) and kv.K(1, 2) != kv.Wo(1, 2)
    assert kv.R(0.0) != kv.R(-0.0)
    nan = kv.R(ODD_NAN)
    assert nan == kv.R(ODD_NAN) and nan != kv.R(float("nan"))
    assert len({kv.R(1), kv.R(1.0), kv.C(1)}) == 2
    assert (kv.R(1) == "R(1)") is False
    with pytest.raises(TypeError):
        kv.R(1) < kv.R(2)  # noqa: B015
    # Binary pickles and copies keep NaN payloads (protocol 0 writes floats as text).
    for c in copies(kv.Circuit("R0-(R1,C1)").with_values([1.0, ODD_NAN, -0.0]))[1:]:
        assert bits(c.param_values()[1]) == bits(ODD_NAN) and bits(c.param_values()[2]) == bits(-0.0)
    for p in range(1, pickle.HIGHEST_PROTOCOL + 1):
        assert bits(pickle.loads(pickle.dumps(nan, protocol=p)).r) == bits(ODD_NAN)


def constrained():
    return (kv.Circuit("randles").with_values([0.1, 2.0, 30.0, 1e-3, 0.85])
            .with_bounds({"CPE1.alpha": (0.5, 1.0), "R1.r": (0.0, 1e3)}).with_fixed(["R0.r"]))


def repeated_labels():
    with pytest.warns(UserWarning, match="parameter names repeat"):
        return kv.Series([kv.Circuit("R0"), kv.Circuit("R0"), kv.R(3.0)])


CIRCUITS = {
    "text": kv.Circuit("R0-(R1,C1)"),
    "explicit": kv.Circuit("R0-(R1,C1)").with_values([1.0, math.inf, -0.0]),
    "constrained": constrained(),
    "series-parallel": kv.Series([kv.R(1.0), kv.Parallel([kv.R(2.0), kv.Cpe(1e-6, 0.9)]), kv.Circuit("W3")]),
    "duplicate labels": repeated_labels(),
    "empty series": kv.Series([]),
    "empty group": kv.Parallel([]),
    "empty branch": kv.Parallel([kv.Series([]), kv.R(1.0)]),
    "all kinds": kv.Series(ELEMENTS),
}


@pytest.mark.parametrize("name", CIRCUITS)
def test_circuits_copy_pickle_and_store_exactly(name):
    c = CIRCUITS[name]
    stored = json.loads(json.dumps(c.to_dict()))
    for d in copies(c) + [kv.Circuit.from_dict(c.to_dict()), kv.Circuit.from_dict(stored)]:
        assert d == c and hash(d) == hash(c)
        assert str(d) == str(c) and d.param_names() == c.param_names()
        assert d.param_bounds() == c.param_bounds() and d.fixed_params() == c.fixed_params()
        assert [bits(v) for v in d.param_values()] == [bits(v) for v in c.param_values()]
    # The explicit-values flag travels: a text circuit stays one that fit() guesses for.
    assert kv.Circuit.from_dict(c.to_dict()).to_dict() == c.to_dict()


def test_equality_covers_labels_flag_bounds_and_fixed_set():
    base = kv.Circuit("R0-(R1,C1)")
    assert base == kv.Circuit("R0-(R1,C1)") and hash(base) == hash(kv.Circuit("R0-(R1,C1)"))
    assert base != kv.Circuit("R0-(R2,C1)")  # label
    assert base != kv.Circuit("R0-(C1,R1)")  # branch order
    assert base != base.with_values(base.param_values())  # flag
    assert base != base.with_bounds({"R0.r": (0.0, 10.0)})
    assert base != base.with_fixed(["R0.r"])
    assert kv.Series([kv.R(1.0)]) != kv.Circuit("R0").with_values([1.0])  # unlabelled vs labelled
    assert base.with_values([1, 2, 3]) == base.with_values([1.0, 2.0, 3.0])
    assert len({base, kv.Circuit("R0-(R1,C1)"), base.with_fixed(["R0.r"])}) == 2


@settings(max_examples=120, deadline=None)
@given(trees())
def test_random_circuits_write_their_expression_and_round_trip(tree):
    parsed = kv.Circuit(Builder().expression(tree)).with_values(values_of(tree))
    assembled = as_circuit(tree)  # unlabelled elements: automatic labels
    for c in (parsed, assembled):
        again = kv.Circuit(c.expression)
        assert again.param_names() == c.param_names()
        assert again.expression == c.expression
        np.testing.assert_array_equal(again.with_values(c.param_values()).impedance(F), c.impedance(F))
        for d in copies(c) + [kv.Circuit.from_dict(json.loads(json.dumps(c.to_dict())))]:
            assert d == c and hash(d) == hash(c) and d.param_values() == c.param_values()
    assert parsed.expression == Builder().expression(tree)


@pytest.mark.parametrize("name, expression", [("randles", "R0-(R1-W1,CPE1)"), ("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)")])
def test_model_names_write_the_expression_behind_the_name(name, expression):
    assert kv.Circuit(name).expression == expression


@pytest.mark.parametrize("name", ["duplicate labels", "empty series", "empty group", "empty branch"])
def test_circuits_the_grammar_cannot_write_have_no_expression(name):
    with pytest.raises(ValueError, match="has no expression"):
        CIRCUITS[name].expression


def test_series_of_unlabelled_elements_gets_explicit_labels():
    c = kv.Series([kv.R(1.0), kv.Parallel([kv.R(2.0), kv.Cpe(1e-6, 0.9)]), kv.Zarc(1, 2, 0.5)])
    assert c.expression == "R0-(R1,Cpe0)-Zarc0"
    assert kv.Circuit(c.expression).param_names() == c.param_names()


def test_fit_result_round_trips_and_compares_by_value():
    circuit = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4])
    z = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5]).impedance(F)
    z = z * (1 + 0.01 * np.sin(np.arange(len(F))))
    result = circuit.fit(F, z)
    d = result.to_dict()
    assert d["version"] == 2 and d["type"] == "FitResult"
    assert np.array_equal(d["frequencies"], F) and np.array_equal(d["impedance_real"], z.real)
    assert np.array_equal(d["impedance_imag"], z.imag)
    json.dumps(d, allow_nan=False)  # strict JSON: open upper bounds are written as null
    for r in copies(result) + [kv.FitResult.from_dict(d), kv.FitResult.from_dict(json.loads(json.dumps(d)))]:
        assert r == result and not (r != result)
        assert repr(r) == repr(result) and r.params == result.params and r.stderr == result.stderr
        assert r.circuit == result.circuit and r.cost == result.cost and r.impedance_evals == result.impedance_evals
    assert result != circuit.fit(F, z * 1.01)
    with pytest.raises(TypeError):
        hash(result)
    # A dict of the first format, without the spectrum, still reads: the same
    # result but for the spectrum, which it writes back empty.
    v1 = {k: v for k, v in d.items() if k not in ("frequencies", "impedance_real", "impedance_imag")}
    old = kv.FitResult.from_dict(dict(v1, version=1))
    assert old != result and repr(old) == repr(result) and old.residuals.tolist() == result.residuals.tolist()
    assert old.to_dict() == dict(d, frequencies=[], impedance_real=[], impedance_imag=[])
    assert kv.FitResult.from_dict(old.to_dict()) == old


def bad(d, **changes):
    d = copy.deepcopy(d)
    for k, v in changes.items():
        if v is KeyError:
            del d[k]
        else:
            d[k] = v
    return d


@pytest.mark.parametrize("changes, message", [
    ({"colour": "red"}, r'unknown key\(s\) \["colour"\]'),
    ({"values": KeyError}, r'missing key\(s\) \["values"\]'),
    ({"version": 2, "new_key": 1}, "format version 2 is newer"),
    ({"version": 0}, '"version" must be an integer'),
    ({"type": "FitResult"}, '"type" must be "Circuit"'),
    ({"expression": "R0-(R1"}, "unexpected end of input"),
    ({"values": [1.0, 2.0]}, '"values" must hold 3 entries, got 2'),
    ({"values": [1.0, "2", 3.0]}, '"values" must hold numbers'),
    ({"bounds": [[1e-12, None], [2.0, 1.0], [1e-12, None]]}, 'lower bound of "R1.r" must be below'),
    ({"bounds": [[1e-12, None], [None, 1.0], [1e-12, None]]}, '"bounds" must hold numbers'),
    ({"fixed": [True, False]}, '"fixed" must be a list of 3 bools'),
    ({"unlabelled": [7]}, "names leaf 7 of a circuit with 3 elements"),
    ({"version": 10**30}, "format version beyond .* is newer"),
    ({"values": [1.0, 10**400, 3.0]}, '"values" holds an int too large for a float'),
    ({"expression": "R0-(R1,C1)\x00-R9"}, '"expression" must not contain a NUL'),
])
def test_circuit_dict_errors_are_clear_value_errors(changes, message):
    d = kv.Circuit("R0-(R1,C1)").to_dict()
    with pytest.raises(ValueError, match=message):
        kv.Circuit.from_dict(bad(d, **changes))


def test_fit_result_dict_errors_name_the_key():
    result = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4]).fit(F, kv.Circuit("R0-(R1,C1)").impedance(F))
    d = result.to_dict()
    with pytest.raises(ValueError, match=r"FitResult dict: missing key\(s\) \[\"cost\"\]"):
        kv.FitResult.from_dict(bad(d, cost=KeyError))
    with pytest.raises(ValueError, match="FitResult dict: format version 9 is newer"):
        kv.FitResult.from_dict(bad(d, version=9))
    with pytest.raises(ValueError, match=r'FitResult dict: "circuit": missing key\(s\)'):
        kv.FitResult.from_dict(bad(d, circuit={"type": "Circuit", "version": 1}))
    with pytest.raises(ValueError, match='"iterations" must be an int'):
        kv.FitResult.from_dict(bad(d, iterations=1.5))
    with pytest.raises(ValueError, match=r'"params" must equal the values of "circuit" \("R1.r" differs\)'):
        kv.FitResult.from_dict(bad(d, params=[d["params"][0], 7.0, d["params"][2]]))
    with pytest.raises(ValueError, match='"cost" holds an int too large'):
        kv.FitResult.from_dict(bad(d, cost=10**400))
    with pytest.raises(ValueError, match='"method" must not contain a NUL'):
        kv.FitResult.from_dict(bad(d, method="levenberg_marquardt\x00x"))
    with pytest.raises(ValueError, match='unknown "ending" "gave_up"'):
        kv.FitResult.from_dict(bad(d, ending="gave_up"))
    with pytest.raises(ValueError, match='"covariance" and "stderr" must both be None'):
        kv.FitResult.from_dict(bad(d, covariance=None))
    with pytest.raises(ValueError, match='"initial" must have the parameters of "circuit"'):
        kv.FitResult.from_dict(bad(d, initial=kv.Circuit("R0").to_dict()))
    with pytest.raises(ValueError, match=r'unknown key\(s\) \["frequencies", "impedance_imag", "impedance_real"\]'):
        kv.FitResult.from_dict(bad(d, version=1))
    with pytest.raises(ValueError, match=r'missing key\(s\) \["impedance_imag"\]'):
        kv.FitResult.from_dict(bad(d, impedance_imag=KeyError))
    with pytest.raises(ValueError, match='"impedance_imag" must hold 30 entries, got 29'):
        kv.FitResult.from_dict(bad(d, impedance_imag=d["impedance_imag"][1:]))
    # The spectrum and the residuals it gave cannot part: a shortened spectrum (all three lists) is refused.
    with pytest.raises(ValueError, match=r'"residuals" must hold twice as many values as "frequencies" \(60 for 29'):
        kv.FitResult.from_dict(bad(d, **{k: d[k][1:] for k in ("frequencies", "impedance_real", "impedance_imag")}))
    with pytest.raises(TypeError):
        kv.FitResult.from_dict([])


# ---- fits carried across processes ----

TRUE = [10.0, 50.0, 1e-5]


def spectra():
    base = kv.Circuit("R0-(R1,C1)").with_values(TRUE).impedance(F)
    return [base * (1 + 0.02 * np.sin(k + np.arange(len(F)))) for k in range(4)]


def fit_one(args):
    circuit, z = args
    return circuit.fit(F, z)


@pytest.mark.parametrize("start_method", ["fork", "spawn"])
def test_pool_maps_fits_and_returns_results_equal_to_sequential_ones(start_method):
    if start_method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {start_method} start method here")
    circuit = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4]).with_fixed(["R0.r"])
    jobs = [(circuit, z) for z in spectra()]
    sequential = [fit_one(j) for j in jobs]
    with multiprocessing.get_context(start_method).Pool(2) as pool:
        parallel = pool.map(fit_one, jobs)
    assert parallel == sequential
    assert all(r.circuit.fixed_params() == ["R0.r"] for r in parallel)
