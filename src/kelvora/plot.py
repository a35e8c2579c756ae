"""Plots of impedance spectra and fits, drawn with matplotlib.

Each function takes a spectrum (two sequences, or a dataframe with the
column names :meth:`kelvora.Circuit.fit` accepts) and, optionally, a
:class:`kelvora.FitResult`, draws on the axes given as `ax` or on new ones,
and returns the axes; :func:`kk_residuals` takes a :class:`kelvora.KKResult`,
which holds its frequencies, and :meth:`KKResult.plot` calls it.  With a result, the fitted curve is drawn on a dense
logarithmic frequency grid over the measured range; :meth:`FitResult.plot`
calls these functions with the spectrum the result was fitted to.

matplotlib is optional: ``pip install "kelvora[plot]"``.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _spectrum as _read_spectrum

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from . import FitResult, KKResult

__all__ = ["nyquist", "bode", "residuals", "kk_residuals", "fit_grid"]

# Points per decade of the fitted curve's frequency grid.
CURVE_POINTS_PER_DECADE = 50


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:
        raise ImportError(
            'kelvora.plot needs matplotlib: install it with pip install "kelvora[plot]"'
        ) from e
    return plt


def _spectrum(frequencies: Any, impedances: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]:
    """The spectrum as arrays, read as fit() reads it (two sequences or a dataframe)."""
    if frequencies is None:
        raise TypeError("expected the measured spectrum (two sequences or a dataframe); "
                        "FitResult.plot() passes the one the result was fitted to")
    return _read_spectrum(frequencies, impedances)


def fit_grid(frequencies: Sequence[float] | npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """A dense logarithmic grid over the positive range of `frequencies`, highest first.

    Parameters
    ----------
    frequencies : sequence of float
        Measured frequencies in hertz.

    Returns
    -------
    numpy.ndarray of float64
        ``CURVE_POINTS_PER_DECADE`` points per decade (at least 100 in all)
        from the highest to the lowest positive frequency.
    """
    f = np.asarray(frequencies, dtype=float)
    f = f[np.isfinite(f) & (f > 0)]
    if f.size == 0:
        raise ValueError("no positive frequency to draw a fitted curve over")
    lo, hi = float(f.min()), float(f.max())
    n = max(100, int(math.ceil(CURVE_POINTS_PER_DECADE * (math.log10(hi) - math.log10(lo)))) + 1) if hi > lo else 1
    return np.logspace(math.log10(hi), math.log10(lo), n)


def _curve(
    f: npt.NDArray[np.float64], result: FitResult | None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]] | None:
    """The fitted impedance on a dense grid over the measured range, or None."""
    if result is None:
        return None
    grid = fit_grid(f)
    return grid, result.circuit.impedance(grid)


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    return _pyplot().subplots()[1]


def nyquist(
    frequencies: Any,
    impedances: Any = None,
    *,
    result: FitResult | None = None,
    ax: Axes | None = None,
) -> Axes:
    """Nyquist plot: -Im Z against Re Z, equal aspect, -Im upward.

    Parameters
    ----------
    frequencies : sequence of float, or dataframe
        Measured frequencies in hertz, or a dataframe holding the whole
        spectrum (then `impedances` stays None).  For a FitResult without its
        spectrum at hand, call ``result.plot()``, which passes the one the
        result was fitted to.
    impedances : sequence of complex, optional
        Measured impedances in ohm.
    result : FitResult, optional
        Draws its fitted curve over the measured frequency range.
    ax : matplotlib.axes.Axes, optional
        Axes to draw on; new ones when None.

    Returns
    -------
    matplotlib.axes.Axes
        The measured points are the line labelled "measured" (markers only),
        the fit the line labelled "fit".

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -2, 50)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> ax = kv.plot.nyquist(f, z, result=kv.Circuit("rc").fit(f, z))  # doctest: +SKIP
    """
    _pyplot()
    f, z = _spectrum(frequencies, impedances)
    curve = _curve(f, result)
    ax = _axes(ax)
    ax.plot(z.real, -z.imag, "o", markersize=4, label="measured")
    if curve is not None:
        ax.plot(curve[1].real, -curve[1].imag, "-", label="fit")
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("Re Z / ohm")
    ax.set_ylabel("-Im Z / ohm")
    ax.legend()
    return ax


def bode(
    frequencies: Any,
    impedances: Any = None,
    *,
    result: FitResult | None = None,
    ax: Any = None,
) -> Any:
    """Bode plot: modulus and phase against frequency on a logarithmic axis.

    Parameters
    ----------
    frequencies, impedances, result
        As for :func:`nyquist`.
    ax : pair of matplotlib.axes.Axes, optional
        The modulus and phase axes; two new stacked axes sharing the frequency
        axis when None.

    Returns
    -------
    numpy.ndarray of two matplotlib.axes.Axes
        ``[modulus_axes, phase_axes]``: the modulus ``|Z|`` in ohm on a log scale, and the
        phase ``-arg Z`` in degrees (capacitive points upward), each with the
        lines "measured" and "fit".

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -2, 50)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> axes = kv.plot.bode(f, z)  # doctest: +SKIP
    """
    plt = _pyplot()
    f, z = _spectrum(frequencies, impedances)
    curve = _curve(f, result)
    if ax is None:
        axes = np.asarray(plt.subplots(2, 1, sharex=True)[1])
    else:
        axes = np.asarray(ax, dtype=object).reshape(-1)
        if axes.size != 2:
            raise ValueError("bode() draws on two axes: pass ax as a pair (modulus, phase)")
    mod_ax, phase_ax = axes[0], axes[1]
    mod_ax.plot(f, np.abs(z), "o", markersize=4, label="measured")
    phase_ax.plot(f, -np.degrees(np.angle(z)), "o", markersize=4, label="measured")
    if curve is not None:
        mod_ax.plot(curve[0], np.abs(curve[1]), "-", label="fit")
        phase_ax.plot(curve[0], -np.degrees(np.angle(curve[1])), "-", label="fit")
    for a in (mod_ax, phase_ax):
        a.set_xscale("log")
        a.legend()
    mod_ax.set_yscale("log")
    mod_ax.set_ylabel("|Z| / ohm")
    phase_ax.set_ylabel("-phase / deg")
    phase_ax.set_xlabel("frequency / Hz")
    return axes


def residuals(
    frequencies: Any,
    impedances: Any = None,
    *,
    result: FitResult,
    ax: Axes | None = None,
) -> Axes:
    """Relative misfit of a fit per frequency, real and imaginary parts, in percent.

    Parameters
    ----------
    frequencies, impedances
        The measured spectrum (two sequences, or a dataframe); required.
    result : FitResult
        The fit whose misfit is drawn.
    ax : matplotlib.axes.Axes, optional
        Axes to draw on; new ones when None.

    Returns
    -------
    matplotlib.axes.Axes
        The lines "real" ``100 * (Re Z_fit - Re Z) / |Z|`` and "imaginary"
        ``100 * (Im Z_fit - Im Z) / |Z|`` against frequency on a log axis,
        with a zero line.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -2, 50)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> ax = kv.plot.residuals(f, z, result=kv.Circuit("rc").fit(f, z))  # doctest: +SKIP
    """
    _pyplot()
    f, z = _spectrum(frequencies, impedances)
    fitted = result.circuit.impedance(f)
    scale = np.abs(z)
    ax = _axes(ax)
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    ax.plot(f, 100.0 * (fitted.real - z.real) / scale, "o-", markersize=4, label="real")
    ax.plot(f, 100.0 * (fitted.imag - z.imag) / scale, "s-", markersize=4, label="imaginary")
    ax.set_xscale("log")
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("relative misfit / %")
    ax.legend()
    return ax


def kk_residuals(result: KKResult, *, ax: Axes | None = None) -> Axes:
    """Residuals of a Kramers-Kronig test per frequency, real and imaginary parts, in percent.

    Parameters
    ----------
    result : KKResult
        The outcome of :func:`kelvora.lin_kk`; it holds the measured frequencies.
    ax : matplotlib.axes.Axes, optional
        Axes to draw on; new ones when None.

    Returns
    -------
    matplotlib.axes.Axes
        The lines "real" ``100 * result.residuals_real`` and "imaginary"
        ``100 * result.residuals_imag`` (that is ``100 * (Z - Z_fit) / |Z|``)
        against frequency on a log axis, with a zero line.  The title names M
        and mu.  Residuals at the noise level without a trend mean the
        spectrum is Kramers-Kronig consistent.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -2, 50)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> ax = kv.plot.kk_residuals(kv.lin_kk(f, z))  # doctest: +SKIP
    """
    _pyplot()
    f = result.frequencies
    ax = _axes(ax)
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    ax.plot(f, 100.0 * result.residuals_real, "o-", markersize=4, label="real")
    ax.plot(f, 100.0 * result.residuals_imag, "s-", markersize=4, label="imaginary")
    ax.set_xscale("log")
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("Kramers-Kronig residual / %")
    ax.set_title(f"lin-KK ({result.test}): M = {result.m}, mu = {result.mu:.3f}")
    ax.legend()
    return ax
