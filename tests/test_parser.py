import pytest

import kelvora as kv

HINTS = """syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)"

available elements (code, parameters, [units]):
  R     r [ohm]
  C     c [F]
  L     l [H]
  La    l [H*s], alpha [-]
  CPE   q [ohm^-1*s^alpha], alpha [-]
  W     aw [ohm*s^-0.5]
  Wo    z0 [ohm], tau [s]
  Ws    z0 [ohm], tau [s]
  G     rg [ohm], tg [s]
  Gs    rg [ohm], tg [s], phi [-]
  K     r [ohm], tau_k [s]
  Zarc  r [ohm], tau_k [s], gamma [-]
  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]
  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]"""


def error_of(text):
    with pytest.raises(ValueError) as info:
        kv.Circuit(text)
    return str(info.value)


@pytest.mark.parametrize(
    "text, first_line",
    [
        ("", "unexpected end of input"),
        ("R0-", "unexpected end of input"),
        ("(R1,C1", "unexpected end of input"),
        ("(R1,", "unexpected end of input"),
        ("(R1;C1)", "unexpected character at position 3"),
        ("(R1,C1]", "unexpected character at position 6"),
        ("R", "unexpected character at position 1"),
        ("R-C", "unexpected character at position 1"),
        ("RZ", "unexpected character at position 2"),  # "RC" itself is the model name rc
        ("P(R1,C1)", "unexpected character at position 1"),
        ("X3", 'unknown element code "X" at position 0'),
        ("RC1", 'unknown element code "RC" at position 0'),
        ("p1", 'unknown element code "p" at position 0'),
        ("-R0", "unexpected character at position 0"),
        ("R0--C1", "unexpected character at position 3"),
        ("R0,C1", "unexpected trailing input at position 2"),
        ("R0)", "unexpected trailing input at position 2"),
        ("R0 C1", "unexpected trailing input at position 2"),
        (" R0", "unexpected character at position 0"),
        ("R1-(R1,C2)", 'duplicate element label "R1"'),
        ("R1-r1", 'unknown element code "r" at position 3'),
        ("cpe1", 'unknown element code "cpe" at position 0'),
        ("ZARC1", 'unknown element code "ZARC" at position 0'),
        ("R0-ΩΩ-C1", "unexpected character at position 3"),
        ("ΩR0 C1", "unexpected character at position 0"),
    ],
)
def test_parse_errors(text, first_line):
    assert error_of(text).split("\n")[0] == first_line


def test_report_layout_with_caret():
    assert error_of("R0-(R1,C1]") == "unexpected character at position 9\n\n  R0-(R1,C1]\n           ^\n\n" + HINTS
    assert error_of("-R0").split("\n")[2:4] == ["  -R0", "  ^"]
    # positions count characters, not bytes
    assert error_of("Ω-R0 x").split("\n")[3] == "  ^"
    assert error_of("R0-ΩX").split("\n")[3] == "     ^"


def test_report_layout_without_position():
    assert error_of("") == "unexpected end of input\n\n" + HINTS
    assert error_of("R1-R1") == 'duplicate element label "R1"\n\n' + HINTS


def test_quoted_form_in_messages():
    # a letter code can only be ASCII, but labels echo the text as written
    assert error_of("R1-(C1,R1)").startswith('duplicate element label "R1"')


def test_valid_expressions():
    assert kv.Circuit("R0-(R1,C1)").param_names() == ["R0.r", "R1.r", "C1.c"]
    assert kv.Circuit("R0-p(R1,C1)").param_values() == [1.0, 1.0, 0.001]
    assert kv.Circuit("CPE1-Tlmq2").param_names() == ["CPE1.q", "CPE1.alpha", "Tlmq2.r_ion", "Tlmq2.qs", "Tlmq2.gamma"]
    assert kv.Circuit("Cpe1-TLMQ2").param_names()[2] == "TLMQ2.r_ion"
    assert kv.Circuit("((R1,C1),R2)-W3").param_names() == ["R1.r", "C1.c", "R2.r", "W3.aw"]
    assert kv.Circuit("R01-R1").param_names() == ["R01.r", "R1.r"]
    assert kv.Circuit("(R1)").param_names() == ["R1.r"]
    assert kv.Circuit("Wo1").param_values() == [1.0, 10.0]


@pytest.mark.parametrize("name", kv.Circuit.ml_circuits())
def test_model_names_match_case_insensitively(name):
    expected = kv.Circuit(name).param_names()
    assert kv.Circuit(f" \t{name.upper()}\u3000 ").param_names() == expected


def test_model_name_matching_is_whole_and_trimmed():
    assert kv.Circuit("rc ").param_names() == ["R0.r", "R1.r", "C1.c"]
    with pytest.raises(ValueError):
        kv.Circuit("r c")
    with pytest.raises(ValueError):
        kv.Circuit("randles1")


def test_constructor_type_errors():
    with pytest.raises(TypeError, match="argument 's' must be str, not int"):
        kv.Circuit(5)
    with pytest.raises(TypeError, match="'s'"):
        kv.Circuit(s=b"R0")
    with pytest.raises(TypeError):
        kv.Circuit()


@pytest.mark.parametrize("depth", [10, 1000])
def test_nesting_within_limit_parses(depth):
    c = kv.Circuit("(" * depth + "R1" + ")" * depth)
    assert c.impedance([1.0])[0] == pytest.approx(1.0)


@pytest.mark.parametrize("depth", [1001, 100_000])
def test_deep_nesting_is_refused_cleanly(depth):
    text = "(" * depth + "R1" + ")" * depth
    assert "nested deeper than 1000 levels" in error_of(text).split("\n")[0]
    assert "nested deeper" in error_of("p(" * depth + "R1" + ")" * depth)


def test_long_flat_series_is_fine():
    text = "-".join(f"R{i}" for i in range(100_000))
    c = kv.Circuit(text)
    assert len(c.param_names()) == 100_000
    assert c.impedance([1.0])[0] == pytest.approx(100_000.0)
