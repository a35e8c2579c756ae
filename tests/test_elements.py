import cmath
import math
import sys

import numpy as np
import pytest

import kelvora as kv

TWO_PI = 6.283185307179586

# Default elements of the catalog at 1 Hz and 1000 Hz, seven significant digits.
REFERENCE = {
    "R": ((1, 0), (1, 0)),
    "C": ((0, -159.1549), (0, -0.1591549)),
    "L": ((0, 6.283185e-06), (0, 0.006283185)),
    "La": ((2.130719e-05, 6.55768e-05), (0.005352125, 0.01647215)),
    "CPE": ((71.02945, -218.6062), (0.2827733, -0.8702869)),
    "W": ((0.3989423, -0.3989423), (0.01261566, -0.01261566)),
    "Wo": ((0.08920908, -0.08920436), (0.002820948, -0.002820948)),
    "Ws": ((0.08920333, -0.08920805), (0.002820948, -0.002820948)),
    "G": ((0.3015636, -0.2573638), (0.00892133, -0.008919911)),
    "Gs": ((0.2903574, -0.244939), (0.00892133, -0.008919911)),
    "K": ((0.9999605, -0.006282937), (0.02470452, -0.1552231)),
    "Zarc": ((0.9944094, -0.01629286), (0.1036606, -0.1829505)),
    "TLMQ": ((71.36276, -218.6063), (0.6067872, -0.8917636)),
    "T": ((0.2109939, -0.326736), (0.00892133, -0.008919911)),
}


def close7(actual, expected):
    for a, e in zip((actual.real, actual.imag), expected):
        assert a == pytest.approx(e, rel=6e-7, abs=1e-300)


@pytest.mark.parametrize("code", list(REFERENCE))
def test_default_elements_match_reference_values(code):
    z = kv.Circuit(f"{code}1").impedance([1.0, 1000.0])
    close7(z[0], REFERENCE[code][0])
    close7(z[1], REFERENCE[code][1])


def z_of(element, f):
    return kv.Series([element]).impedance([f])[0]


@pytest.mark.parametrize("f", [1e-3, 0.37, 1.0, 52.0, 1e4, 3e7])
def test_abbreviation_identities(f):
    w = TWO_PI * f
    # Zarc with gamma = 1 is K; Cpe with alpha = 1 is C; La with alpha = 1 is L
    assert z_of(kv.Zarc(3.0, 2e-3, 1.0), f) == pytest.approx(z_of(kv.K(3.0, 2e-3), f), rel=1e-12)
    assert z_of(kv.Cpe(2e-4, 1.0), f) == pytest.approx(z_of(kv.C(2e-4), f), rel=1e-12)
    assert z_of(kv.La(5e-6, 1.0), f) == pytest.approx(z_of(kv.L(5e-6), f), rel=1e-12)
    # K is R || C(tau/r); Zarc is R || Cpe(tau^gamma / r, gamma)
    rc = kv.Parallel([kv.R(3.0), kv.C(2e-3 / 3.0)]).impedance([f])[0]
    assert z_of(kv.K(3.0, 2e-3), f) == pytest.approx(rc, rel=1e-12)
    rq = kv.Parallel([kv.R(3.0), kv.Cpe((2e-3) ** 0.7 / 3.0, 0.7)]).impedance([f])[0]
    assert z_of(kv.Zarc(3.0, 2e-3, 0.7), f) == pytest.approx(rq, rel=1e-10)
    # closed forms
    s = 1j * w
    assert z_of(kv.Cpe(2e-4, 0.7), f) == pytest.approx(1 / (2e-4 * s**0.7), rel=1e-12)
    assert z_of(kv.Wo(2.0, 5.0), f) == pytest.approx(2.0 / (cmath.sqrt(s * 5.0) * cmath.tanh(cmath.sqrt(s * 5.0))), rel=1e-9)
    assert z_of(kv.G(2.0, 0.5), f) == pytest.approx(2.0 / cmath.sqrt(1 + s * 0.5), rel=1e-12)


def test_zarc_limits():
    for f in (1e-2, 1.0, 1e5):
        assert z_of(kv.Zarc(4.0, 1e-3, 0.0), f) == 2.0
        assert z_of(kv.Zarc(4.0, 0.0, 0.6), f) == 4.0
        assert z_of(kv.Zarc(4.0, 0.0, 0.0), f) == 2.0
        assert z_of(kv.K(4.0, 0.0), f) == 4.0


def test_zero_frequency_and_zero_parameters():
    z = kv.Series([kv.R(2.0), kv.L(1e-3)]).impedance([0.0])[0]
    assert z == 2.0
    for element in (kv.C(1e-3), kv.Cpe(1e-3, 0.8), kv.W(1.0)):
        z = z_of(element, 0.0)
        assert math.isnan(z.real) and math.isnan(z.imag), element
    for element in (kv.C(0.0), kv.Cpe(0.0, 0.8)):
        z = z_of(element, 10.0)
        assert math.isnan(z.real) and math.isnan(z.imag), element


def test_high_frequency_cutoffs_are_exact():
    f = 1e3
    u = cmath.sqrt(1j * TWO_PI * f * 10.0)
    assert z_of(kv.Wo(1.0, 10.0), f) == z_of(kv.Ws(1.0, 10.0), f)
    assert z_of(kv.Wo(1.0, 10.0), f) == pytest.approx(1.0 / u, rel=1e-14)
    beta = cmath.sqrt(1.0 + 1j * TWO_PI * f * 1.0)
    assert z_of(kv.T(1.0, 1.0, 1.0, 1.0), f) == pytest.approx(1.0 / beta, rel=1e-14)


@pytest.mark.parametrize("f", [1.0, 50.0, 300.0])
@pytest.mark.parametrize("b", [1.0, 1e6])
def test_t_past_the_cutoff_keeps_its_csch_term(f, b):
    # Past |Re beta| = 20 coth is 1 to within e^-40, but csch is about 2e^-beta:
    # small, not zero, and weighted by b, which may dwarf a.
    tau = 441.0
    beta = np.sqrt(1.0 + 1j * TWO_PI * f * tau)
    assert 20 < beta.real < 700
    want = (1.0 / np.tanh(beta) + b / np.sinh(beta)) / beta
    assert z_of(kv.T(1.0, b, 1.0, tau), f) == pytest.approx(want, rel=1e-13)


@pytest.mark.parametrize(
    "element, text",
    [
        (kv.L(1e-6), "Element.L(l=1e-6)"),
        (kv.R(0.0001), "Element.R(r=0.0001)"),
        (kv.R(0.00001), "Element.R(r=1e-5)"),
        (kv.R(150), "Element.R(r=150.0)"),
        (kv.R(1e16), "Element.R(r=1e16)"),
        (kv.R(2.5e-5), "Element.R(r=2.5e-5)"),
        (kv.R(-0.0), "Element.R(r=-0.0)"),
        (kv.R(float("nan")), "Element.R(r=NaN)"),
        (kv.R(-math.inf), "Element.R(r=-inf)"),
        (kv.R(123456789012345.6), "Element.R(r=123456789012345.6)"),
        (kv.Zarc(1.0, 0.001, 0.8), "Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)"),
        (kv.Cpe(0.001, 0.8), "Element.Cpe(q=0.001, alpha=0.8)"),
        (kv.Tlmq(1, 2, 0.5), "Element.Tlmq(r_ion=1.0, qs=2.0, gamma=0.5)"),
    ],
)
def test_element_text_form(element, text):
    assert repr(element) == text


def test_element_classes():
    assert kv.Element.R is kv.R and kv.Element.Zarc is kv.Zarc
    assert isinstance(kv.R(1), kv.Element)
    assert kv.R.__name__ == "Element_R" and kv.R.__module__ == "kelvora"
    assert kv.R(1).r == 1.0 and type(kv.R(1).r) is float
    assert kv.R(r=2.5).r == 2.5
    assert kv.T.__match_args__ == ("a", "b", "k_tau", "tau")
    if sys.version_info >= (3, 10):  # older interpreters do not read it from a heap type's doc
        assert kv.Gs.__text_signature__ == "(rg, tg, phi)"
    if sys.version_info >= (3, 10):  # structural pattern matching
        scope = {"kv": kv}
        exec("match kv.Zarc(1.0, 2.0, 0.5):\n    case kv.Zarc(r, tau, gamma):\n        bound = (r, tau, gamma)", scope)
        assert scope["bound"] == (1.0, 2.0, 0.5)
    with pytest.raises(AttributeError):
        kv.R(1).r = 3.0


@pytest.mark.parametrize(
    "call",
    [
        lambda: kv.Element(),
        lambda: kv.R("1"),
        lambda: kv.R(),
        lambda: kv.R(1, 2),
        lambda: kv.R(x=1),
        lambda: kv.La(1e-6),
        lambda: kv.Series("R0-C1"),
        lambda: kv.Series(5),
        lambda: kv.Parallel([kv.R(1), "R0"]),
    ],
)
def test_bad_constructor_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_element_constructor_messages():
    with pytest.raises(TypeError, match="No constructor defined for Element"):
        kv.Element()
    with pytest.raises(TypeError, match="'r'"):
        kv.R("1")


# Exponents just below 1: the real part of s^alpha is cos(alpha pi/2) times
# the modulus, a cosine near 0.  Reference values from 50-digit arithmetic.
@pytest.mark.parametrize(
    "element, f, want",
    [
        (kv.Cpe(0.001, 0.999999999999), 1000.0, complex(2.499944695721559e-13, -0.1591549430932872)),
        (kv.Cpe(2e-06, 0.9999999), 50.0, complex(0.000250000143615953, -1591.550346044215)),
        (kv.La(1e-06, 0.9999999999), 10000.0, complex(9.869605220435297e-12, 0.06283185308918328)),
        (kv.Zarc(1.0, 100.0, 0.999999999999), 1e9, complex(5.032974286963676e-24, -1.591549430962189e-12)),
        (kv.Zarc(10.0, 0.0002, 0.999999999), 3e8, complex(7.040360155737524e-11, -2.6525824189053317e-05)),
    ],
)
def test_exponent_near_one_keeps_the_real_part(element, f, want):
    z = z_of(element, f)
    assert z.real == pytest.approx(want.real, rel=1e-13, abs=0)
    assert z.imag == pytest.approx(want.imag, rel=1e-13, abs=0)
    # A negative frequency takes the general power rather than the prepared
    # direction of the positive axis: the mirror image, exactly.
    assert z_of(element, -f) == z.conjugate()


# The diffusion elements near the origin of u^2 = s tau (and its kin): the
# formulas' products cancel there, leaving the small component (the 1/3 of
# Wo's real part, Ws's imaginary part) to rounding.  The pairs at
# omega tau = 1 -+ 1e-6 straddle the change of form.  Reference values from
# 50-digit arithmetic.
@pytest.mark.parametrize(
    "element, f, want",
    [
        (kv.Wo(1.0, 1e-12), 1e-06, complex(0.3333333333333333, -1.5915494309189536e17)),
        (kv.Wo(2.0, 1e-09), 0.0001, complex(0.6666666666666666, -3183098861837.9062)),
        (kv.Wo(1.0, 10.0), 0.015899578814880345, complex(0.3312422385838929, -1.0229921268433113)),
        (kv.Wo(1.0, 1.0), 0.15915478393695226, complex(0.3312380961331101, -1.0220137028290173)),
        (kv.Wo(1.0, 1.0), 0.15915510224683843, complex(0.3312380878359285, -1.0220117460249576)),
        (kv.Ws(1.0, 1e-09), 0.0001, complex(1.0, -2.0943951023931956e-13)),
        (kv.Ws(3.0, 0.001), 1e-05, complex(2.9999999999999982, -6.283185307179584e-08)),
        (kv.Gs(1.0, 1e6, 1e-12), 10000.0, complex(2.5363629243917776e-10, -15.915494309189533)),
        (kv.Gs(2.0, 0.001, 0.0001), 1000.0, complex(494.0905273038194, -3104.461922692952)),
        (kv.Tlmq(1e-12, 1e-12, 1.0), 1.0, complex(3.3333333333333334e-13, -159154943091.89532)),
        (kv.Tlmq(0.001, 1e-06, 0.999999999), 0.01, complex(0.02533333255710272, -15915494.265146697)),
        (kv.T(1.0, 1e9, 1e-12, 1.0), 1e-06, complex(-141336370.39731884, -159154943250924.1)),
        (kv.T(1.0, 1.0, 1e-12, 1e-06), 10.0, complex(0.16717327258461448, -31830.988618553594)),
    ],
)
def test_diffusion_elements_near_the_origin_keep_both_parts(element, f, want):
    z = z_of(element, f)
    assert z.real == pytest.approx(want.real, rel=1e-13, abs=0)
    assert z.imag == pytest.approx(want.imag, rel=1e-13, abs=0)
    assert z_of(element, -f) == z.conjugate()


@pytest.mark.parametrize("element", [kv.Wo(1.0, 10.0), kv.Ws(1.0, 10.0), kv.Tlmq(1.0, 1e-3, 0.8)])
def test_diffusion_elements_at_zero_frequency_stay_plain_arithmetic(element):
    z = z_of(element, 0.0)
    assert math.isnan(z.real) and math.isnan(z.imag)
