"""kelvora.plot and FitResult.plot draw the measured spectrum and the fitted
curve: the line data are checked against the spectrum and an independent
evaluation of the fitted circuit, not the pixels."""
import copy
import sys

import numpy as np
import pytest

import kelvora as kv

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

TRUTH = [10.0, 50.0, 1e-5]


@pytest.fixture(scope="module")
def fitted():
    f = np.logspace(5, -2, 36)
    z = kv.Circuit("rc").with_values(TRUTH).impedance(f)
    z = z * (1 + 0.01 * np.sin(np.arange(f.size)))  # a visible, known misfit
    return f, z, kv.Circuit("rc").fit(f, z)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def lines(ax):
    return {line.get_label(): (np.asarray(line.get_xdata()), np.asarray(line.get_ydata())) for line in ax.lines}


def curve_grid(f):
    grid = kv.plot.fit_grid(f)
    assert grid[0] == pytest.approx(f.max()) and grid[-1] == pytest.approx(f.min())
    assert len(grid) >= 50 * np.log10(f.max() / f.min())
    assert np.allclose(np.diff(np.log10(grid)), np.diff(np.log10(grid))[0])
    return grid


def test_nyquist_draws_measured_points_and_fit(fitted):
    f, z, result = fitted
    ax = kv.plot.nyquist(f, z, result=result)
    drawn = lines(ax)
    assert np.array_equal(drawn["measured"][0], z.real) and np.array_equal(drawn["measured"][1], -z.imag)
    zf = result.circuit.impedance(curve_grid(f))
    assert np.allclose(drawn["fit"][0], zf.real) and np.allclose(drawn["fit"][1], -zf.imag)
    assert ax.get_aspect() == 1.0  # equal aspect
    assert ax.get_ylabel().startswith("-Im")


def test_bode_draws_modulus_and_phase_on_log_frequency(fitted):
    f, z, result = fitted
    mod_ax, phase_ax = kv.plot.bode(f, z, result=result)
    grid = curve_grid(f)
    zf = result.circuit.impedance(grid)
    mod, phase = lines(mod_ax), lines(phase_ax)
    assert np.array_equal(mod["measured"][0], f) and np.allclose(mod["measured"][1], np.abs(z))
    assert np.allclose(phase["measured"][1], -np.degrees(np.arctan2(z.imag, z.real)))
    assert np.allclose(mod["fit"][0], grid) and np.allclose(mod["fit"][1], np.abs(zf))
    assert np.allclose(phase["fit"][1], -np.degrees(np.arctan2(zf.imag, zf.real)))
    assert mod_ax.get_xscale() == "log" == phase_ax.get_xscale() and mod_ax.get_yscale() == "log"


def test_residuals_are_relative_misfit_in_percent(fitted):
    f, z, result = fitted
    ax = kv.plot.residuals(f, z, result=result)
    zf = result.circuit.impedance(f)
    drawn = lines(ax)
    assert np.allclose(drawn["real"][1], 100 * (zf.real - z.real) / np.abs(z))
    assert np.allclose(drawn["imaginary"][1], 100 * (zf.imag - z.imag) / np.abs(z))
    assert np.array_equal(drawn["real"][0], f) and ax.get_xscale() == "log"
    assert np.abs(drawn["real"][1]).max() > 0.1  # the planted 1 % misfit shows


@pytest.mark.parametrize("kind", ["nyquist", "bode", "residuals"])
def test_fit_result_plot_calls_the_module_with_its_spectrum(fitted, kind):
    f, z, result = fitted
    ours = result.plot(kind)
    theirs = getattr(kv.plot, kind)(f, z, result=result)
    for a, b in zip(np.atleast_1d(ours), np.atleast_1d(theirs)):
        assert lines(a).keys() == lines(b).keys()
        for label in lines(a):
            assert np.array_equal(lines(a)[label][0], lines(b)[label][0])
            assert np.array_equal(lines(a)[label][1], lines(b)[label][1])


def test_given_axes_are_drawn_on_and_returned(fitted):
    f, z, result = fitted
    fig, ax = plt.subplots()
    assert result.plot("nyquist", ax=ax) is ax and len(ax.lines) == 2
    fig, axes = plt.subplots(1, 2)
    out = result.plot(kind="bode", ax=axes)
    assert out[0] is axes[0] and out[1] is axes[1]
    with pytest.raises(ValueError, match="pair"):
        kv.plot.bode(f, z, ax=axes[0])


def test_a_dataframe_draws_like_two_sequences(fitted):
    f, z, _ = fitted
    frame = {"frequency_hertz": np.r_[f, 0.0], "real_impedance_ohm": np.r_[z.real, 1.0],
             "imaginary_impedance_ohm": np.r_[z.imag, 1.0]}  # the zero-frequency row is dropped, as fit() does
    a = lines(kv.plot.nyquist(frame))["measured"]
    b = lines(kv.plot.nyquist(f, z))["measured"]
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


def test_bad_arguments(fitted):
    f, z, result = fitted
    with pytest.raises(ValueError, match='unknown plot kind "polar", expected one of "nyquist", "bode", "residuals"'):
        result.plot("polar")
    with pytest.raises(TypeError, match="argument 'kind'"):
        result.plot(1)
    with pytest.raises(TypeError, match="spectrum"):
        kv.plot.nyquist(None, result=result)
    with pytest.raises(ValueError, match="same length"):
        kv.plot.nyquist(f, z[:-1])


def test_missing_matplotlib_names_the_extra(fitted, monkeypatch):
    f, z, result = fitted
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r'pip install "kelvora\[plot\]"'):
        kv.plot.nyquist(f, z)
    with pytest.raises(ImportError, match=r"kelvora\[plot\]"):
        result.plot("bode")


def test_copies_keep_the_spectrum(fitted):
    f, z, result = fitted
    for twin in (copy.copy(result), copy.deepcopy(result), copy.deepcopy({"r": result})["r"]):
        assert twin == result
        twin.plot("nyquist")


def test_a_result_read_back_plots_the_spectrum_it_was_fitted_to(fitted):
    import json
    import pickle

    f, z, result = fitted
    want = lines(result.plot("nyquist"))
    for back in (kv.FitResult.from_dict(json.loads(json.dumps(result.to_dict()))), pickle.loads(pickle.dumps(result))):
        got = lines(back.plot("nyquist"))
        assert got.keys() == want.keys()
        assert all(np.array_equal(got[k][0], want[k][0]) and np.array_equal(got[k][1], want[k][1]) for k in want)


def test_a_result_read_back_from_a_version_1_dict_asks_for_the_spectrum(fitted):
    f, z, result = fitted
    old = {k: v for k, v in result.to_dict().items() if k not in ("frequencies", "impedance_real", "impedance_imag")}
    copy = kv.FitResult.from_dict(dict(old, version=1))
    with pytest.raises(ValueError, match=r"no measured spectrum .* kelvora\.plot\.bode\(frequencies, impedances"):
        copy.plot("bode")
    ax = kv.plot.nyquist(f, z, result=copy)  # the module draws it from the spectrum given
    assert np.allclose(lines(ax)["fit"][1], -result.circuit.impedance(kv.plot.fit_grid(f)).imag)


@pytest.fixture(scope="module")
def kk_checked(fitted):
    f, z, _ = fitted
    return kv.lin_kk(f, z)


def test_kk_residuals_are_the_result_residuals_in_percent(fitted, kk_checked):
    f, z, _ = fitted
    ax = kk_checked.plot()
    drawn = lines(ax)
    assert np.array_equal(drawn["real"][0], f) and np.array_equal(drawn["imaginary"][0], f)
    assert np.allclose(drawn["real"][1], 100 * (z - kk_checked.impedance).real / np.abs(z))
    assert np.allclose(drawn["imaginary"][1], 100 * (z - kk_checked.impedance).imag / np.abs(z))
    assert ax.get_xscale() == "log" and "%" in ax.get_ylabel()
    assert f"M = {kk_checked.m}" in ax.get_title()
    theirs = lines(kv.plot.kk_residuals(kk_checked))
    assert all(np.array_equal(drawn[k][1], theirs[k][1]) for k in ("real", "imaginary"))


def test_kk_plot_draws_on_given_axes(kk_checked):
    fig, ax = plt.subplots()
    assert kk_checked.plot(ax=ax) is ax and {"real", "imaginary"} <= lines(ax).keys()
    with pytest.raises(TypeError):
        kk_checked.plot(ax, ax)


def test_kk_plot_without_matplotlib_names_the_extra(kk_checked, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r'pip install "kelvora\[plot\]"'):
        kk_checked.plot()
