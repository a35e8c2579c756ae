"""Random valid circuits round-trip: the parsed expression, rebuilt with
values, evaluates like the same tree assembled from element objects with
Series/Parallel, and like an independent NumPy evaluation."""
import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import kelvora as kv  # noqa: E402

TWO_PI = 6.283185307179586
F = np.logspace(-2, 5, 9)
W = TWO_PI * F

# code in expressions, element class, reference formula, value strategies per parameter
POSITIVE = st.floats(1e-6, 1e4)
EXPONENT = st.floats(0.3, 1.0)
KINDS = {
    "R": (kv.R, lambda p: np.full_like(W, p[0], dtype=complex), [POSITIVE]),
    "C": (kv.C, lambda p: 1 / (1j * W * p[0]), [POSITIVE]),
    "L": (kv.L, lambda p: 1j * W * p[0], [POSITIVE]),
    "CPE": (kv.Cpe, lambda p: 1 / (p[0] * (1j * W) ** p[1]), [POSITIVE, EXPONENT]),
    "W": (kv.W, lambda p: p[0] * (1 - 1j) / np.sqrt(W), [POSITIVE]),
    "K": (kv.K, lambda p: p[0] / (1 + 1j * W * p[1]), [POSITIVE, POSITIVE]),
    "Zarc": (kv.Zarc, lambda p: p[0] / (1 + (1j * W * p[1]) ** p[2]), [POSITIVE, POSITIVE, EXPONENT]),
    "G": (kv.G, lambda p: p[0] / np.sqrt(1 + 1j * W * p[1]), [POSITIVE, POSITIVE]),
}


@st.composite
def leaves(draw):
    code = draw(st.sampled_from(sorted(KINDS)))
    cls, ref, strategies = KINDS[code]
    values = [draw(s) for s in strategies]
    return ("leaf", code, values)


def trees(max_leaves=8):
    def extend(children):
        series = st.lists(children, min_size=1, max_size=3).map(lambda xs: ("series", xs))
        group = st.lists(children, min_size=1, max_size=3).map(lambda xs: ("group", xs))
        return st.one_of(series, group)

    return st.recursive(leaves(), extend, max_leaves=max_leaves)


class Builder:
    def __init__(self):
        self.n = 0

    def expression(self, node):
        kind = node[0]
        if kind == "leaf":
            self.n += 1
            return f"{node[1]}{self.n}"
        parts = [self.expression(child) for child in node[1]]
        if kind == "series":
            return "-".join(parts)
        return "(" + ",".join(parts) + ")"


def values_of(node):
    if node[0] == "leaf":
        return list(node[2])
    return [v for child in node[1] for v in values_of(child)]


def as_circuit(node):
    if node[0] == "leaf":
        cls = KINDS[node[1]][0]
        return kv.Series([cls(*node[2])])
    parts = [as_circuit(child) for child in node[1]]
    return kv.Series(parts) if node[0] == "series" else kv.Parallel(parts)


def reference(node):
    if node[0] == "leaf":
        return KINDS[node[1]][1](node[2])
    zs = [reference(child) for child in node[1]]
    if node[0] == "series":
        return sum(zs)
    return 1 / sum(1 / z for z in zs)


@settings(max_examples=150, deadline=None)
@given(trees())
def test_parsed_circuit_matches_series_parallel_and_numpy(tree):
    expression = Builder().expression(tree)
    parsed = kv.Circuit(expression)
    values = values_of(tree)
    assert len(parsed.param_names()) == len(values)
    rebuilt = parsed.with_values(values)
    assert rebuilt.param_values() == values
    assembled = as_circuit(tree)
    assert assembled.param_values() == values
    z_parsed = rebuilt.impedance(F)
    np.testing.assert_array_equal(z_parsed, assembled.impedance(F))
    np.testing.assert_allclose(z_parsed, reference(tree), rtol=1e-9)
    # names round-trip through with_named_values
    named = parsed.with_named_values(dict(zip(parsed.param_names(), values)))
    np.testing.assert_array_equal(named.impedance(F), z_parsed)
