import math
import warnings

import pytest

import kelvora as kv


def test_summary_layout():
    assert repr(kv.Circuit("R0-(R1,C1)")) == (
        "Circuit (3 parameters)\n"
        "  R0.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  C1.c = 0.001      [F]  bounds (1e-12, inf)"
    )
    assert repr(kv.Circuit("R0")) == "Circuit (1 parameter)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)"
    assert repr(kv.Series([])) == "Circuit (0 parameters)\n"
    long = repr(kv.Circuit("R0").with_values([1.2345678901e-5]))
    assert long.endswith("  R0.r = 1.2345678901e-5 [ohm]  bounds (1e-12, inf)")


@pytest.mark.parametrize(
    "value, text",
    [
        (1e6, "1e6"), (999999.5, "999999.5"), (0.0001, "0.0001"), (0.00009, "9e-5"), (250000.0, "250000"),
        (1234567.0, "1.234567e6"), (-0.0, "-0"), (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"),
        (1e-5, "1e-5"), (-2.5, "-2.5"), (0.1 + 0.2, "0.30000000000000004"), (5e-324, "5e-324"),
    ],
)
def test_compact_number_format(value, text):
    line = repr(kv.Circuit("R0").with_values([value])).split("\n")[1]
    assert line.split(" = ")[1].split(" [")[0].rstrip() == text


def test_parameter_accessors():
    c = kv.Circuit("R0-(R1,C1)")
    assert c.param_units() == ["ohm", "ohm", "F"]
    assert c.param_bounds() == [(1e-12, math.inf)] * 3
    z = kv.Circuit("Zarc1")
    assert z.param_names() == ["Zarc1.r", "Zarc1.tau_k", "Zarc1.gamma"]
    assert z.param_bounds() == [(1e-12, math.inf), (1e-12, math.inf), (0.0, 1.0)]
    t = kv.Circuit("Gs1-T2")
    assert t.param_bounds()[2] == (1e-12, math.inf)  # phi is not an exponent
    assert t.param_bounds()[5] == (1e-12, math.inf)  # nor is k_tau


def test_automatic_labels():
    assert kv.Series([kv.R(1.0), kv.C(1e-6), kv.R(2.0)]).param_names() == ["R0.r", "C0.c", "R1.r"]
    assert kv.Series([kv.Cpe(1, 0.5), kv.Tlmq(1, 1, 1)]).param_names()[:3] == ["Cpe0.q", "Cpe0.alpha", "Tlmq0.r_ion"]


@pytest.mark.parametrize("build, names", [
    (lambda: kv.Series([kv.Circuit("R0-C1"), kv.R(5.0)]), ["R0.r", "C1.c", "R1.r"]),
    (lambda: kv.Parallel([kv.Circuit("R0-C1"), kv.R(5.0)]), ["R0.r", "C1.c", "R1.r"]),
    (lambda: kv.Series([kv.R(5.0), kv.Circuit("randles"), kv.R(1.0)]),
     ["R2.r", "R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha", "R3.r"]),
])
def test_automatic_labels_pass_over_written_ones(build, names):
    # Names are keys of FitResult.params and of the by-name methods: an
    # automatic label that repeated a written one would lose a parameter there.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c = build()
    assert c.param_names() == names
    assert kv.Circuit(c.expression).param_names() == names


def test_written_labels_that_repeat_are_kept_with_a_warning():
    with pytest.warns(UserWarning, match=r'parameter names repeat \("R0.r"\): .* FitResult.params'):
        c = kv.Series([kv.Circuit("R0"), kv.Circuit("R0-C1")])
    assert c.param_names() == ["R0.r", "R0.r", "C1.c"]


def test_series_parallel_structure_and_flags():
    c = kv.Series([kv.Circuit("R0-C1"), kv.Circuit("R2")])
    assert c.param_names() == ["R0.r", "C1.c", "R2.r"]
    # explicit values propagate only when every part is explicit
    f = [1.0]
    with_vals = kv.Circuit("R0-C1").with_values([1.0, 1e-3])
    z = kv.Parallel([with_vals, kv.R(2.0)]).impedance(f)[0]
    zb = with_vals.impedance(f)[0]
    assert z == pytest.approx(1 / (1 / zb + 1 / 2.0))
    assert kv.Series([]).impedance([1.0, 2.0]).tolist() == [0j, 0j]
    empty_group = kv.Parallel([]).impedance([1.0])[0]
    assert math.isnan(empty_group.real) and math.isnan(empty_group.imag)
    zero_branch = kv.Parallel([kv.R(0.0), kv.R(1.0)]).impedance([1.0])[0]
    assert math.isnan(zero_branch.real)


def test_with_values():
    c = kv.Circuit("R0-(R1,C1)")
    d = c.with_values((10, 20.0, 3e-6))
    assert d.param_values() == [10.0, 20.0, 3e-6]
    assert c.param_values() == [1.0, 1.0, 0.001]  # unchanged
    assert d.param_names() == c.param_names()
    with pytest.raises(ValueError, match=r"^expected 3 values, got 2$"):
        c.with_values([1, 2])
    with pytest.raises(ValueError, match=r"^expected 1 values, got 0$"):
        kv.Circuit("R0").with_values([])
    with pytest.raises(TypeError):
        c.with_values("123")
    with pytest.raises(TypeError):
        c.with_values([1, "a", 3])
    with pytest.raises(TypeError):
        c.with_values(3)


def test_with_named_values():
    c = kv.Circuit("R0-(R1,C1)")
    d = c.with_named_values({"C1.c": 2e-6, "R0.r": 5, "R1.r": 7.0})
    assert d.param_values() == [5.0, 7.0, 2e-6]
    with pytest.raises(TypeError):
        c.with_named_values([("R0.r", 1.0)])
    with pytest.raises(TypeError):
        c.with_named_values({1: 1.0})
    with pytest.raises(TypeError):
        c.with_named_values({"R0.r": "x"})


def test_with_named_values_report():
    c = kv.Circuit("R0-(R1,C1)")
    with pytest.raises(ValueError) as info:
        c.with_named_values({"R0.t": 1.0, "tau": 2.0, "R1.r": 1.0})
    assert str(info.value) == (
        'unknown parameter "R0.t" (did you mean "R0.r"?)\n'
        'unknown parameter "tau"\n'
        'missing parameter(s): ["R0.r", "C1.c"]\n'
        "\n"
        "valid parameters for this circuit:\n"
        "  R0.r  [ohm]  bounds (1e-12, inf)\n"
        "  R1.r  [ohm]  bounds (1e-12, inf)\n"
        "  C1.c  [F]  bounds (1e-12, inf)"
    )
    with pytest.raises(ValueError) as info:
        kv.Circuit("Zarc1").with_named_values({})
    assert str(info.value).startswith('missing parameter(s): ["Zarc1.r", "Zarc1.tau_k", "Zarc1.gamma"]\n\n')
    assert "  Zarc1.gamma  [-]  bounds (0, 1)" in str(info.value)


@pytest.mark.parametrize(
    "key, suggestion",
    [
        ("R2.r", "R0.r"),        # tie: the earlier name wins
        ("C1.cc", "C1.c"),
        ("xyzw", None),          # 4 characters: threshold 2
        ("R1.rxxx", "R1.r"),     # 7 characters: threshold 3
        ("R1.rxxxx", None),      # 8 characters: threshold 4, distance 4 -> still offered
    ],
)
def test_suggestions(key, suggestion):
    c = kv.Circuit("R0-(R1,C1)")
    with pytest.raises(ValueError) as info:
        c.with_named_values({key: 1.0, "R0.r": 1, "R1.r": 1, "C1.c": 1})
    first = str(info.value).split("\n")[0]
    if key == "R1.rxxxx":
        suggestion = "R1.r"
    if suggestion is None:
        assert first == f'unknown parameter "{key}"'
    else:
        assert first == f'unknown parameter "{key}" (did you mean "{suggestion}"?)'


def test_quoted_form_escapes():
    c = kv.Circuit("R0")
    with pytest.raises(ValueError) as info:
        c.with_named_values({'a"b\\c\td\n\x01': 1.0, "R0.r": 1.0})
    assert str(info.value).split("\n")[0] == 'unknown parameter "a\\"b\\\\c\\td\\n\\u{1}"'


def test_deep_parallel_nesting_via_python_is_refused():
    c = kv.Circuit("R0")
    for _ in range(1000):
        c = kv.Parallel([c])
    assert c.impedance([1.0])[0] == pytest.approx(1.0)
    assert len(repr(c)) > 0
    with pytest.raises(ValueError, match="deeper than 1000 levels"):
        kv.Parallel([c])
    # series of deep parts stays within the limit
    with pytest.warns(UserWarning, match="parameter names repeat"):
        assert kv.Series([c, c]).param_names() == ["R0.r", "R0.r"]
    del c
