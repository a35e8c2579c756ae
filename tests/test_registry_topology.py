"""Which embedded network serves a circuit, and how its outputs map onto the
circuit's parameters (order and label insensitive, K/Zarc through expansion)."""

import math

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

F = list(np.logspace(-2, 5, 60))
Z = list(kv.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values([8.0, 40.0, 1e-4, 0.85, 120.0, 5e-3, 0.7]).impedance(F))

NAMES = kv.Circuit.ml_circuits()  # the model table, checked against it in test_tables
NO_MODEL = ("No training data on this circuit. Machine-learning based initial parameters available for "
            + ", ".join("'%s'" % n for n in NAMES))


def guess(expr):
    return kv.Circuit(expr).guess(F, Z)


@pytest.mark.parametrize("name", NAMES)
def test_every_embedded_model_loads_and_guesses(name):
    c = kv.Circuit(name)
    out = c.guess(F, Z)
    assert len(out) == len(c.param_names())
    assert all(math.isfinite(v) and v > 0 for v in out)


@pytest.mark.parametrize("expr,order", [
    ("R0-(R1,C1)", [0, 1, 2]),
    ("(R1,C2)-R3", [1, 2, 0]),    # parallel R, C, then series R
    ("R5-(C9,R2)", [0, 2, 1]),
    ("R0-p(R1,C1)", [0, 1, 2]),
    ("(C1,R1)-R0", [2, 1, 0]),
])
def test_rc_in_any_order_and_labels(expr, order):
    base = guess("R0-(R1,C1)")
    assert guess(expr) == [base[i] for i in order]


def test_unlabelled_elements_from_series_and_parallel():
    c = kv.Series([kv.Parallel([kv.C(1e-6), kv.R(3.0)]), kv.R(1.0)])
    base = guess("R0-(R1,C1)")
    assert c.guess(F, Z) == [base[2], base[1], base[0]]


def test_k_matches_rc_after_expansion():
    r0, r1, c1 = guess("R0-(R1,C1)")
    assert guess("R0-K1") == [r0, r1, r1 * c1]
    assert guess("K1-R0") == [r1, r1 * c1, r0]


def test_zarc_matches_rq_after_expansion():
    r0, r1, q, alpha = guess("R0-(R1,CPE1)")
    out = guess("R0-Zarc1")
    assert out[0] == r0 and out[1] == r1 and out[3] == alpha
    assert out[2] == (r1 * q) ** (1.0 / max(alpha, 1e-6))
    assert 0.05 <= out[3] <= 1.0


def test_mixed_expansion_two_rq_l():
    l0, r0, r1, q1, a1, r2, q2, a2 = guess("L0-R0-(R1,CPE1)-(R2,CPE2)")
    out = guess("L0-R0-Zarc1-(R2,CPE2)")
    assert out[:3] == [l0, r0, r1]
    assert out[3] == (r1 * q1) ** (1.0 / a1) and out[4] == a1
    assert out[5:] == [r2, q2, a2]


def test_k_with_explicit_pair_matches_two_rc():
    r0, r1, c1, r2, c2 = guess("R0-(R1,C1)-(R2,C2)")
    assert guess("R0-K1-(R2,C2)") == [r0, r1, r1 * c1, r2, c2]


def test_swapped_pairs_map_first_written_pair_to_first_network_pair():
    assert guess("R0-(R2,C2)-(R1,C1)") == guess("R0-(R1,C1)-(R2,C2)")
    # the first written pair keeps taking the network's first pair even when
    # written C-first
    r0, r1, c1, r2, c2 = guess("R0-(R1,C1)-(R2,C2)")
    assert guess("(C5,R5)-R0-(R6,C6)") == [c1, r1, r0, r2, c2]


@pytest.mark.parametrize("expr", ["R0-C1", "R0", "R0-(R1,C1)-W2", "R0-(R1,L1)", "(R0,C0,L0)", "R0-Zarc1-Zarc2-Zarc3"])
def test_no_model(expr):
    with pytest.raises(ValueError) as info:
        guess(expr)
    assert str(info.value) == NO_MODEL


def test_no_model_reported_before_too_few_points():
    with pytest.raises(ValueError) as info:
        kv.Circuit("R0-C1").guess([1.0], [1.0 + 0j])
    assert str(info.value) == NO_MODEL


@pytest.mark.parametrize("n", [0, 1])
def test_too_few_points(n):
    with pytest.raises(ValueError) as info:
        kv.Circuit("R0-(R1,C1)").guess(F[:n], Z[:n])
    assert str(info.value) == "need at least 2 frequency points to guess, got %d" % n


def test_values_of_circuit_play_no_part():
    a = kv.Circuit("R0-(R1,C1)")
    b = a.with_values([1e3, 1e-3, 1.0])
    assert a.guess(F, Z) == b.guess(F, Z)


def test_dataframe_input():
    frame = {"frequency_hertz": F, "real_impedance_ohm": [z.real for z in Z],
             "imaginary_impedance_ohm": [z.imag for z in Z]}
    assert kv.Circuit("rq").guess(frame) == kv.Circuit("rq").guess(F, Z)
