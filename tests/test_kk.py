"""The linear Kramers-Kronig test: against a NumPy implementation of the same
algorithm, on spectra of valid circuits and on spectra built to violate the
relations, and its arguments and result object."""
import importlib.util
import math
import re
import pathlib

import numpy as np
import pytest

import kelvora as kv

_BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench_kk.py"
_bench_source = importlib.util.spec_from_file_location("bench_kk", _BENCH)
bench_kk = importlib.util.module_from_spec(_bench_source)
_bench_source.loader.exec_module(bench_kk)

F = np.logspace(5, -2, 60)
TWO_ARC = "L5-R0-(R1,Cpe2)-(R3,Cpe4)"
TWO_ARC_VALUES = [1e-6, 1.0, 5.0, 1e-3, 0.9, 10.0, 0.1, 0.8]
NOISE = 1e-3


def noisy(z, seed=0, noise=NOISE):
    rng = np.random.default_rng(seed)
    return z * (1 + noise * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z))))


def two_arc(**changes):
    values = dict(zip(kv.Circuit(TWO_ARC).param_names(), TWO_ARC_VALUES))
    values.update(changes)
    return kv.Circuit(TWO_ARC).with_named_values(values)


def rms(result):
    return math.sqrt(result.pseudo_chi_square / (2 * len(result.residuals_real)))


# ---- against NumPy ---------------------------------------------------------

@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
@pytest.mark.parametrize("add_capacitance, add_inductance", [(False, False), (False, True), (True, False), (True, True)])
@pytest.mark.parametrize("m", [1, 2, 5, 12])
def test_fixed_m_matches_numpy(test, add_capacitance, add_inductance, m):
    z = noisy(two_arc().impedance(F))
    kw = dict(c=1e-12, max_m=m, test=test, add_capacitance=add_capacitance, add_inductance=add_inductance)
    result = kv.lin_kk(F, z, **kw)
    m_ref, mu, z_fit, r, tau, rs, ind, cap = bench_kk.numpy_lin_kk(F, z, scale_columns=True, **kw)
    assert result.m == m_ref == m
    np.testing.assert_allclose(result.time_constants, tau, rtol=1e-13)
    np.testing.assert_allclose(result.resistances, r, rtol=0, atol=1e-9 * np.abs(r).max())
    np.testing.assert_allclose(result.impedance, z_fit, rtol=1e-9)
    assert result.mu == pytest.approx(mu, rel=1e-9, abs=1e-9)
    assert result.series_resistance == pytest.approx(rs, rel=1e-9)
    assert (result.inductance is None) == (ind is None) and (result.capacitance is None) == (cap is None)
    if ind is not None:
        assert result.inductance == pytest.approx(ind, rel=1e-9)
    if cap is not None:
        assert result.capacitance == pytest.approx(cap, rel=1e-9)
    np.testing.assert_allclose(result.residuals_real + 1j * result.residuals_imag, (z - z_fit) / np.abs(z),
                               rtol=0, atol=1e-9)


@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
@pytest.mark.parametrize("points", [25, 200])
def test_chosen_m_matches_numpy(test, points):
    f = np.logspace(4, -1, points)
    z = noisy(two_arc().impedance(f), seed=points)
    result = kv.lin_kk(f, z, test=test)
    m, mu, z_fit, *_ = bench_kk.numpy_lin_kk(f, z, test=test, scale_columns=True)
    assert result.m == m and result.mu < 0.85 or result.m == min(points, m)
    assert result.mu == pytest.approx(mu, abs=1e-7)
    np.testing.assert_allclose(result.impedance, z_fit, rtol=1e-7)


def test_max_m_bounds_the_search():
    z = noisy(two_arc().impedance(F))
    assert kv.lin_kk(F, z, c=1e-12, max_m=7).m == 7
    # More Voigt elements than the data determine: capped (60 real equations, R_s besides).
    assert kv.lin_kk(F, z, c=1e-12, max_m=500, test="real").m == 59
    assert kv.lin_kk(F[:3], z[:3], c=1e-12, max_m=5, test="imaginary").m == 2
    # By default at most half of that: beyond it a fit matches its part of any spectrum.
    assert kv.lin_kk(F[:3], z[:3], c=1e-12, test="imaginary").m == 1
    assert kv.lin_kk(F, z, c=1e-12, test="real").m == 29


# ---- valid and invalid spectra ---------------------------------------------

VALID = {
    "two arcs with an inductive tail": (TWO_ARC, TWO_ARC_VALUES, {}),
    "depressed arc": ("R0-Zarc1", [2.0, 20.0, 0.05, 0.75], {}),
    "battery with diffusion tail": (bench_kk.BATTERY, bench_kk.BATTERY_VALUES, {"add_capacitance": True}),
}


@pytest.mark.parametrize("name", VALID)
def test_valid_circuits_leave_noise_level_residuals(name):
    expr, values, kw = VALID[name]
    z = noisy(kv.Circuit(expr).with_values(values).impedance(F))
    result = kv.lin_kk(F, z, **kw)
    assert rms(result) < 1.5 * NOISE
    assert max(np.abs(result.residuals_real).max(), np.abs(result.residuals_imag).max()) < 6 * NOISE


SPARSE = {
    "single RC arc": ("R0-(R1,C1)", [10.0, 50.0, 1e-5]),
    "randles": ("randles", [10.0, 50.0, 100.0, 1e-5, 0.85]),
    "two depressed arcs": ("two_rq", [5.0, 20.0, 1e-4, 0.8, 40.0, 1e-2, 0.7]),
}


@pytest.mark.parametrize("name", SPARSE)
@pytest.mark.parametrize("points", [20, 30, 40])
@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
def test_few_points_per_decade_keep_both_parts(name, points, test):
    # Seven decades at three to six points a decade: a fit of one part with
    # nearly as many elements as points interpolates that part and leaves
    # the other hundreds of percent off; the default search stops short of it.
    expr, values = SPARSE[name]
    f = np.logspace(5, -2, points)
    z = noisy(kv.Circuit(expr).with_values(values).impedance(f), seed=points)
    result = kv.lin_kk(f, z, test=test, add_capacitance=name == "randles")
    worst = max(np.abs(result.residuals_real).max(), np.abs(result.residuals_imag).max())
    assert worst < (0.3 if points == 20 else 0.05)


SHARP_ARC_TAUS = [1e-5, 5e-4, 3e-3, 0.1, 3.0]


@pytest.mark.parametrize("tau", SHARP_ARC_TAUS)
@pytest.mark.parametrize("noise", [0.0, NOISE])
def test_a_single_rc_arc_is_resolved_not_cut_short(tau, noise):
    # A single RC element is the sharpest arc there is: between two of the
    # fixed time constants the fit rings and mu dips below c while the
    # residuals are tens of percent.  The spectrum is valid, so its residuals
    # must come down to a few times the noise (far below 0.01 % without noise).
    w = 2 * np.pi * F
    z = 10.0 + 50.0 / (1 + 1j * w * tau)
    z = noisy(z, seed=int(-np.log10(tau) * 10) % 97, noise=noise) if noise else z
    result = kv.lin_kk(F, z)
    assert rms(result) < (5 * noise if noise else 1e-4)
    m, *_ = bench_kk.numpy_lin_kk(F, z, scale_columns=True)
    assert result.m == m


def test_the_under_resolved_guard_leaves_an_overfit_choice_alone():
    # At the noise level more elements only take up noise: the mu rule alone
    # decides, as a guard so weak that it never fires shows.
    z = noisy(two_arc().impedance(F))
    plain = bench_kk.numpy_lin_kk(F, z, scale_columns=True, poor_fit_factor=math.inf)
    assert kv.lin_kk(F, z).m == plain[0]


def drifting():
    """R1 grows by 40 % during the sweep, which runs from high to low frequency."""
    growth = np.linspace(1.0, 1.4, len(F))
    return np.array([two_arc(**{"R1.r": 5.0 * g}).impedance([fi])[0] for fi, g in zip(F, growth)])


def mismatched_parts():
    """The real part of one state with the imaginary part of another (R3 30 % higher)."""
    return two_arc().impedance(F).real + 1j * two_arc(**{"R3.r": 13.0}).impedance(F).imag


def current_dependent():
    """A charge-transfer resistance that falls as the excitation (|Z| sets the
    voltage-controlled current) grows: R1 / (1 + 0.5 (|Z| / |Z|max)^2)."""
    z = two_arc().impedance(F)
    scale = 1.0 / (1.0 + 0.5 * (np.abs(z) / np.abs(z).max()) ** 2)
    return np.array([two_arc(**{"R1.r": 5.0 * s}).impedance([fi])[0] for fi, s in zip(F, scale)])


@pytest.mark.parametrize("build", [drifting, mismatched_parts, current_dependent])
@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
def test_spectra_violating_kk_leave_large_residuals(build, test):
    valid = kv.lin_kk(F, noisy(two_arc().impedance(F)), test=test)
    z = noisy(build())
    invalid = kv.lin_kk(F, z, test=test)
    assert rms(invalid) > 4 * rms(valid)
    assert rms(invalid) > 3 * NOISE
    # More elements cannot absorb the violation, so the under-resolved guard
    # does not move M: the mu rule alone picks it.
    assert invalid.m == bench_kk.numpy_lin_kk(F, z, test=test, scale_columns=True, poor_fit_factor=math.inf)[0]


@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
def test_a_sweep_recorded_twice_is_judged_as_once(test):
    # Points repeated at one frequency add no equation: the search must stop
    # short of the elements the distinct frequencies determine, or a fit of
    # one part interpolates it and leaves the other part to chance.
    f = np.logspace(5, -2, 30)
    z = noisy(two_arc().impedance(f), seed=5)
    once = kv.lin_kk(f, z, test=test)
    twice = kv.lin_kk(np.r_[f, f], np.r_[z, z], test=test)
    assert twice.m == once.m
    np.testing.assert_allclose(twice.impedance, np.r_[once.impedance, once.impedance], rtol=1e-9)
    shuffled = np.random.default_rng(1).permutation(60)
    again = kv.lin_kk(np.r_[f, f][shuffled], np.r_[z, z][shuffled], test=test)
    assert again.m == once.m


@pytest.mark.parametrize("exponent", [-1040, -1000, 0, 1000, 1018])
@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
def test_the_unit_of_the_impedances_does_not_change_the_test(exponent, test):
    # Impedances scaled by a power of two (exactly, also into the subnormal
    # range and up to the largest doubles) give the same fit, scaled.
    z = noisy(two_arc().impedance(F))
    tiny = np.ldexp(z.real, exponent) + 1j * np.ldexp(z.imag, exponent)
    z = np.ldexp(tiny.real, -exponent) + 1j * np.ldexp(tiny.imag, -exponent)  # the bits the scaled data kept
    kw = dict(test=test, add_capacitance=True)
    ours, plain = kv.lin_kk(F, tiny, **kw), kv.lin_kk(F, z, **kw)
    assert ours.m == plain.m and ours.mu == plain.mu
    assert np.array_equal(ours.residuals_real, plain.residuals_real)
    assert np.array_equal(ours.residuals_imag, plain.residuals_imag)
    assert np.array_equal(ours.resistances, np.ldexp(plain.resistances, exponent))
    assert np.array_equal(ours.impedance.real, np.ldexp(plain.impedance.real, exponent))
    assert ours.series_resistance == np.ldexp(plain.series_resistance, exponent)
    assert ours.inductance == np.ldexp(plain.inductance, exponent)
    with np.errstate(over="ignore"):  # C grows as Z shrinks: beyond double precision it is inf
        assert ours.capacitance == pytest.approx(np.ldexp(plain.capacitance, -exponent), rel=1e-15)


# ---- input forms and arguments ---------------------------------------------

def test_dataframe_input_equals_two_sequences():
    z = noisy(two_arc().impedance(F))
    frame = {"frequency_hertz": list(F), "real_impedance_ohm": list(z.real), "imaginary_impedance_ohm": list(z.imag)}
    a, b = kv.lin_kk(F, z), kv.lin_kk(frame)
    assert a.m == b.m and np.array_equal(a.impedance, b.impedance)
    pd = pytest.importorskip("pandas")
    c = kv.lin_kk(pd.DataFrame(frame))
    assert np.array_equal(a.resistances, c.resistances)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((F, F), {"c": 0.0}, ValueError, "c must satisfy 0 < c <= 1, got 0"),
        ((F, F), {"c": 1.5}, ValueError, "c must satisfy 0 < c <= 1, got 1.5"),
        ((F, F), {"c": math.nan}, ValueError, "c must satisfy 0 < c <= 1, got NaN"),
        ((F, F), {"max_m": 0}, ValueError, "max_m must be >= 1, got 0"),
        ((F, F), {"max_m": -3}, ValueError, "max_m must be >= 1, got -3"),
        ((F, F), {"test": "both"}, ValueError, 'unknown test "both"; expected "complex", "real" or "imaginary"'),
        (([1.0, 2.0], [1.0, 1.0]), {}, ValueError, "lin_kk needs at least 3 points, got 2"),
        (([1.0, 2.0, 1.0, 2.0], [1 - 1j, 1 - 2j, 1 - 1j, 1 - 2j]), {"add_inductance": False}, ValueError,
         "lin_kk needs at least 3 distinct frequencies, got 2 among 4 points"),
        (([5.0] * 3, [1 - 1j] * 3), {}, ValueError, "lin_kk needs at least 3 distinct frequencies, got 1 among 3"),
        (([1.0, math.nan, 3.0], [1.0] * 3), {}, ValueError, "frequency 1 is NaN; lin_kk needs positive finite"),
        (([1.0, 0.0, 3.0], [1.0] * 3), {}, ValueError, "frequency 1 is 0; lin_kk needs positive finite"),
        (([1.0, 2.0, 3.0], [1.0, complex(1, math.inf), 1.0]), {}, ValueError, "impedance 1 is not finite"),
        (([1.0, 2.0, 3.0], [1.0, 0.0, 1.0]), {}, ValueError, "impedance 1 is zero"),
        (([1.0, 2.0, 3.0], [1.0, 1.0, complex(1.5e308, -1.5e308)]), {}, ValueError,
         "impedance 2 has a magnitude beyond"),
        (([1.0, 2.0, 3.0], [1.0, 1.0]), {}, ValueError, "frequencies and impedances must have the same length"),
        (([1.0, 2.0, 1e308], [1.0] * 3), {}, ValueError,
         "frequency 2 is 1e308 Hz; lin_kk needs 2 pi f and its inverse within the range of double precision"),
        (([1e-320, 2.0, 3.0], [1.0] * 3), {}, ValueError, "frequency 0 is 1e-320 Hz; lin_kk needs 2 pi f"),
        (([1e-200, 1.0, 1e150], [1.0] * 3), {}, ValueError,
         "the frequencies span 1e-200 to 1e150 Hz, a ratio beyond the range of double precision"),
        ((F, F), {"c": "high"}, TypeError, "c"),
        ((F, F), {"max_m": 2.5}, TypeError, "max_m"),
        ((F, F), {"test": 1}, TypeError, "test"),
        ((F, F), {"add_capacitance": "no"}, TypeError, "argument 'add_capacitance': 'str' object cannot be converted"),
        ((F, F), {"add_inductance": None}, TypeError, "argument 'add_inductance': 'NoneType' object cannot be"),
        ((F, F), {"add_inductance": 0}, TypeError, "argument 'add_inductance': 'int' object cannot be converted"),
        ((F, F, 0.85), {}, TypeError, None),
    ],
)
def test_bad_arguments(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        kv.lin_kk(*args, **kwargs)
    if message:
        assert message in str(info.value)


# ---- the result object -----------------------------------------------------

def test_result_object():
    z = noisy(two_arc().impedance(F))
    r = kv.lin_kk(F, z)
    assert isinstance(r, kv.KKResult) and "KKResult" not in kv.__all__ and "lin_kk" not in kv.__all__
    assert r.impedance.dtype == np.complex128 and r.impedance.shape == (60,)
    for name in ("residuals_real", "residuals_imag", "resistances", "time_constants"):
        assert getattr(r, name).dtype == np.float64
    assert r.resistances.shape == r.time_constants.shape == (r.m,)
    assert np.array_equal(r.frequencies, F)
    assert np.all(np.diff(r.time_constants) > 0)
    assert r.time_constants[0] == pytest.approx(1 / (2 * np.pi * F.max()))
    assert r.time_constants[-1] == pytest.approx(1 / (2 * np.pi * F.min()))
    assert r.capacitance is None and r.inductance == pytest.approx(1e-6, rel=0.05) and r.test == "complex"
    assert kv.lin_kk(F, z, add_inductance=False).inductance is None
    assert kv.lin_kk(F, z, add_inductance=np.False_, add_capacitance=np.True_).capacitance is not None
    assert repr(r).startswith(f'KKResult(test="complex", m={r.m}, mu=')
    assert repr(r).endswith(", capacitance=None)")
    r.impedance[0] = 0  # a copy: the result is unchanged
    assert r.impedance[0] != 0
    with pytest.raises(AttributeError):
        r.m = 3
    with pytest.raises(TypeError):
        kv.KKResult()
    assert kv.KKResult.__doc__ and kv.lin_kk.__doc__
    assert str(__import__("inspect").signature(kv.lin_kk)) == (
        "(frequencies, impedances=None, *, c=0.85, max_m=None, test='complex', "
        "add_capacitance=False, add_inductance=True)")


# ---- results as values -----------------------------------------------------

@pytest.mark.parametrize("test", ["complex", "real", "imaginary"])
@pytest.mark.parametrize("add_capacitance, add_inductance", [(False, True), (True, False), (True, True)])
def test_results_round_trip_as_values(test, add_capacitance, add_inductance):
    import copy
    import json
    import pickle

    z = noisy(two_arc().impedance(F))
    r = kv.lin_kk(F, z, test=test, add_capacitance=add_capacitance, add_inductance=add_inductance)
    d = r.to_dict()
    json.dumps(d, allow_nan=False)  # plain JSON for these values
    back = [kv.KKResult.from_dict(d), kv.KKResult.from_dict(json.loads(json.dumps(d))),
            pickle.loads(pickle.dumps(r)), copy.copy(r), copy.deepcopy(r)]
    names = ("test", "m", "mu", "pseudo_chi_square", "series_resistance", "inductance", "capacitance")
    arrays = ("frequencies", "impedance", "residuals_real", "residuals_imag", "resistances", "time_constants")
    for b in back:
        assert b == r and not (b != r)
        assert all(getattr(b, n) == getattr(r, n) for n in names)
        assert all(np.array_equal(getattr(b, n), getattr(r, n)) for n in arrays)
        assert repr(b) == repr(r) and b.to_dict() == d
    other = kv.lin_kk(F, noisy(two_arc().impedance(F), seed=1), test=test, add_capacitance=add_capacitance,
                      add_inductance=add_inductance)
    assert other != r and r != kv.lin_kk(F, z, test=test, max_m=1) and r != "KKResult"
    with pytest.raises(TypeError):
        hash(r)


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"type": "FitResult"}, "KKResult dict"),
        ({"version": 2}, "version"),
        ({"m": 0}, '"m" must be at least 1'),
        ({"m": 2.5}, "m"),
        ({"test": "both"}, 'unknown "test" "both"'),
        ({"resistances": [1.0]}, '"resistances" must hold'),
        ({"impedance_imag": [0.0]}, '"impedance_imag" must hold'),
        ({"residuals_real": []}, '"residuals_real" must hold'),
        ({"inductance": "none"}, "inductance"),
        ({"extra": 1}, "extra"),
        ({"mu": None}, "mu"),
        ({k: [1.0, 2.0] for k in ("frequencies", "impedance_real", "impedance_imag", "residuals_real",
                                   "residuals_imag")}, '"frequencies" must hold at least 3 values, got 2'),
    ],
)
def test_from_dict_rejects_malformed_entries(changes, message):
    d = kv.lin_kk(F, noisy(two_arc().impedance(F))).to_dict()
    missing = dict(d)
    del missing["frequencies"]
    with pytest.raises(ValueError, match="frequencies"):
        kv.KKResult.from_dict(missing)
    d.update(changes)
    with pytest.raises(ValueError, match=re.escape(message)):
        kv.KKResult.from_dict(d)
