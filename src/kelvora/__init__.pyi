"""Equivalent-circuit modelling and fitting for electrochemical impedance spectroscopy.

kelvora describes an equivalent circuit as a text expression such as
``"R0-(R1,C1)"``, by a model name such as ``"randles"``, or by combining
element objects with :func:`Series` and :func:`Parallel`; computes its complex
impedance; fits its parameters to a measured spectrum with one of seven methods;
and guesses starting parameters with small trained networks shipped inside
the module.  The numerical work runs in C++ without the interpreter lock.

Examples
--------
>>> import numpy as np
>>> import kelvora as kv
>>> f = np.logspace(5, -2, 50)
>>> truth = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5])
>>> result = kv.Circuit("R0-(R1,C1)").fit(f, truth.impedance(f))
>>> round(result.params["R1.r"], 6)
50.0
"""

import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, ClassVar, Literal, Protocol, TypedDict, final, overload

from typing_extensions import Self, Unpack, disjoint_base

import numpy as np
import numpy.typing as npt

from . import plot as plot

__version__: str
__all__ = [
    "Element",
    "Circuit",
    "FitResult",
    "Series",
    "Parallel",
    "R",
    "C",
    "L",
    "La",
    "Cpe",
    "W",
    "Wo",
    "Ws",
    "G",
    "Gs",
    "K",
    "Zarc",
    "Tlmq",
    "T",
]

_RealSequence = Sequence[float] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]
"""Frequencies in hertz: a sequence of numbers or a one-dimensional array."""
_ComplexSequence = Sequence[complex] | npt.NDArray[np.complexfloating[Any, Any]] | npt.NDArray[np.floating[Any]]
"""Complex impedances in ohms: a sequence of numbers or a one-dimensional array."""

class _DataFrameLike(Protocol):
    """A pandas or polars dataframe, or a dict of columns, read by column name."""

    def __getitem__(self, key: str, /) -> Any: ...

_Weighting = Literal["modulus", "unit"]
_Method = Literal[
    "levenberg_marquardt",
    "nelder_mead",
    "particle_swarm",
    "simulated_annealing",
    "differential_evolution",
    "basin_hopping",
    "multi_start",
]
_Part = Element | Circuit

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Format = Literal[
    "gamry",
    "biologic_mpt",
    "biologic_mpr",
    "zplot",
    "autolab",
    "versastudio",
    "powersuite",
    "parstat",
    "chi",
    "zahner",
    "palmsens",
    "csv",
]

def read_spectra(path: _Path, format: _Format | None = None) -> list[dict[str, npt.NDArray[np.float64]]]:
    """Read every sweep of a potentiostat file.

    Parameters
    ----------
    path : str or path-like
        The file.  It is read and parsed in C++; nothing is written.
    format : str, optional
        One of ``"gamry"`` (``.DTA``), ``"biologic_mpt"``, ``"biologic_mpr"``,
        ``"zplot"``, ``"autolab"``, ``"versastudio"``, ``"powersuite"``,
        ``"parstat"``, ``"chi"``, ``"zahner"``, ``"palmsens"``, ``"csv"``.  None
        (default) detects the format from the content and the extension.

    Returns
    -------
    list of dict of str to numpy.ndarray of float64
        One dict per sweep (or cycle), with the columns
        ``"frequency_hertz"``, ``"real_impedance_ohm"``,
        ``"imaginary_impedance_ohm"`` and, when the file has them,
        ``"time_second"`` and ``"cycle_number"``.  Each dict is a dataframe
        that :meth:`Circuit.fit` accepts as it is.

    Raises
    ------
    OSError
        If the file cannot be read.
    ValueError
        For an unknown or undetectable format, or a malformed file: among
        others a row with more or fewer values than column names (empty
        fields from trailing separators aside), a value that is not a number,
        a file whose numbers mix decimal points and decimal commas (such as
        ``12.5`` and a thousands-grouped ``10,000``), or a frequency below
        0 Hz.  The message names the file, the line or byte offset, and what
        was expected there.

    Notes
    -----
    Delimited text (``"csv"``) and EC-Lab text split the rows into sweeps
    where a ``cycle number`` column changes and where the frequency returns
    to the first frequency of the sweep, so a file that repeats its sweep
    gives one dict per repetition; Autolab NOVA, PowerSuite and Parstat
    text split where the frequency returns.  Their column names may follow up to 63
    lines of comments or settings.  Points at 0 Hz (the DC records some
    instruments interleave) are left out.

    Examples
    --------
    >>> import kelvora as kv
    >>> for sweep in kv.read_spectra("cell.mpr"):  # doctest: +SKIP
    ...     print(kv.Circuit("randles").fit(sweep).params)
    """

def read_spectrum(path: _Path, format: _Format | None = None) -> dict[str, npt.NDArray[np.float64]]:
    """Read the one sweep of a single-sweep potentiostat file.

    Parameters
    ----------
    path : str or path-like
        The file.
    format : str, optional
        As for :func:`read_spectra`.

    Returns
    -------
    dict of str to numpy.ndarray of float64
        The columns of :func:`read_spectra`.

    Raises
    ------
    OSError
        If the file cannot be read.
    ValueError
        As for :func:`read_spectra`, and when the file holds more or fewer
        than one sweep.

    Examples
    --------
    >>> import kelvora as kv
    >>> result = kv.Circuit("randles").fit(kv.read_spectrum("cell.DTA"))  # doctest: +SKIP
    """

def _spectrum(
    frequencies: _RealSequence | _DataFrameLike, impedances: _ComplexSequence | None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]: ...

def _forward(
    model: str,
    frequencies: _RealSequence | _DataFrameLike,
    impedances: _ComplexSequence | None = None,
    kernel: Literal["blocked", "layers"] = "blocked",
    repeat: int = 1,
) -> tuple[list[float], float, float]: ...

class InternalError(BaseException):
    """Raised when an internal invariant of kelvora fails.

    Derives from :class:`BaseException`, not :class:`Exception`, so that a
    broken invariant is not swallowed by ``except Exception``.  It signals a
    defect in kelvora, never bad input: bad input raises :class:`TypeError` or
    :class:`ValueError`.
    """

@disjoint_base
class Element:
    """A single circuit element.

    ``Element`` is the common base of the fourteen element classes
    (:class:`R`, :class:`C`, :class:`L`, :class:`La`, :class:`Cpe`, :class:`W`,
    :class:`Wo`, :class:`Ws`, :class:`G`, :class:`Gs`, :class:`K`,
    :class:`Zarc`, :class:`Tlmq`, :class:`T`); it cannot be instantiated
    itself.  Each subclass takes its parameters as constructor arguments, by
    position or by keyword, and exposes them as read-only float attributes
    and as ``__match_args__`` for structural pattern matching.  Elements are
    immutable; combine them with :func:`Series` and :func:`Parallel`.

    Each subclass is also a class attribute of ``Element``:
    ``kelvora.Element.Zarc is kelvora.Zarc``.

    No range check is made when an element is built; the default bounds
    (used by fitting) are (0, 1) for the exponents ``alpha`` and ``gamma`` and
    (1e-12, inf) for every other parameter.

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Zarc(1.0, 0.001, 0.8)
    Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)
    >>> match kv.R(2.5):
    ...     case kv.R(r):
    ...         print(r)
    2.5
    """

    R: ClassVar[type[R]]
    C: ClassVar[type[C]]
    L: ClassVar[type[L]]
    La: ClassVar[type[La]]
    Cpe: ClassVar[type[Cpe]]
    W: ClassVar[type[W]]
    Wo: ClassVar[type[Wo]]
    Ws: ClassVar[type[Ws]]
    G: ClassVar[type[G]]
    Gs: ClassVar[type[Gs]]
    K: ClassVar[type[K]]
    Zarc: ClassVar[type[Zarc]]
    Tlmq: ClassVar[type[Tlmq]]
    T: ClassVar[type[T]]

@final
class R(Element):
    """Resistor, ``Z = r``.

    Parameters
    ----------
    r : float
        Resistance in ohm.  Default in expressions: 1.0; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Series([kv.R(10.0)]).impedance([1.0])
    array([10.+0.j])
    """

    __match_args__ = ("r",)
    def __new__(cls, r: float) -> Self: ...
    @property
    def r(self) -> float:
        """Resistance (ohm)."""

@final
class C(Element):
    """Capacitor, ``Z = 1 / (i*omega*c)``.

    Parameters
    ----------
    c : float
        Capacitance in F.  Default in expressions: 0.001; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.C(1e-6).c
    1e-06
    """

    __match_args__ = ("c",)
    def __new__(cls, c: float) -> Self: ...
    @property
    def c(self) -> float:
        """Capacitance (F)."""

@final
class L(Element):
    """Inductor, ``Z = i*omega*l``.

    Parameters
    ----------
    l : float
        Inductance in H.  Default in expressions: 1e-6; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.L(1e-6)
    Element.L(l=1e-6)
    """

    __match_args__ = ("l",)
    def __new__(cls, l: float) -> Self: ...  # noqa: E741
    @property
    def l(self) -> float:  # noqa: E743
        """Inductance (H)."""

@final
class La(Element):
    """Modified inductor, ``Z = (i*omega*l)**alpha``.

    The inductance sits inside the power; with ``alpha = 1`` it is :class:`L`.

    Parameters
    ----------
    l : float
        Inductance in H*s.  Default in expressions: 1e-6; bounds (1e-12, inf).
    alpha : float
        Exponent, dimensionless.  Default 0.8; bounds (0, 1).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.La(1e-6, 0.9).alpha
    0.9
    """

    __match_args__ = ("l", "alpha")
    def __new__(cls, l: float, alpha: float) -> Self: ...  # noqa: E741
    @property
    def l(self) -> float:  # noqa: E743
        """Inductance (H*s)."""
    @property
    def alpha(self) -> float:
        """Exponent (-)."""

@final
class Cpe(Element):
    """Constant-phase element, ``Z = 1 / (q * (i*omega)**alpha)``.

    Written ``CPE`` or ``Cpe`` in expressions; with ``alpha = 1`` it is a
    capacitor :class:`C` with ``c = q``.

    Parameters
    ----------
    q : float
        Magnitude in ohm^-1*s^alpha.  Default in expressions: 0.001; bounds
        (1e-12, inf).
    alpha : float
        Exponent, dimensionless.  Default 0.8; bounds (0, 1).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Cpe(0.001, 0.8)
    Element.Cpe(q=0.001, alpha=0.8)
    """

    __match_args__ = ("q", "alpha")
    def __new__(cls, q: float, alpha: float) -> Self: ...
    @property
    def q(self) -> float:
        """Magnitude (ohm^-1*s^alpha)."""
    @property
    def alpha(self) -> float:
        """Exponent (-)."""

@final
class W(Element):
    """Semi-infinite Warburg diffusion, ``Z = aw * (1 - i) / sqrt(omega)``.

    Parameters
    ----------
    aw : float
        Warburg coefficient in ohm*s^-0.5.  Default in expressions: 1.0;
        bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.W(2.0).aw
    2.0
    """

    __match_args__ = ("aw",)
    def __new__(cls, aw: float) -> Self: ...
    @property
    def aw(self) -> float:
        """Warburg coefficient (ohm*s^-0.5)."""

@final
class Wo(Element):
    """Finite-space (open, reflective) Warburg, ``Z = z0 / (u * tanh(u))``, ``u = sqrt(i*omega*tau)``.

    At low frequency it grows like a capacitor, ``z0 / (i*omega*tau)``.

    Parameters
    ----------
    z0 : float
        Diffusion resistance in ohm.  Default in expressions: 1.0; bounds
        (1e-12, inf).
    tau : float
        Diffusion time constant in s.  Default 10.0; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Wo(1.0, 10.0).tau
    10.0
    """

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: float, tau: float) -> Self: ...
    @property
    def z0(self) -> float:
        """Diffusion resistance (ohm)."""
    @property
    def tau(self) -> float:
        """Diffusion time constant (s)."""

@final
class Ws(Element):
    """Finite-length (short, transmissive) Warburg, ``Z = z0 * tanh(u) / u``, ``u = sqrt(i*omega*tau)``.

    At low frequency it tends to the resistance ``z0``.

    Parameters
    ----------
    z0 : float
        Diffusion resistance in ohm.  Default in expressions: 1.0; bounds
        (1e-12, inf).
    tau : float
        Diffusion time constant in s.  Default 10.0; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Ws(1.0, 10.0).z0
    1.0
    """

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: float, tau: float) -> Self: ...
    @property
    def z0(self) -> float:
        """Diffusion resistance (ohm)."""
    @property
    def tau(self) -> float:
        """Diffusion time constant (s)."""

@final
class G(Element):
    """Gerischer element, ``Z = rg / sqrt(1 + i*omega*tg)``.

    Parameters
    ----------
    rg : float
        Resistance in ohm.  Default in expressions: 1.0; bounds (1e-12, inf).
    tg : float
        Time constant in s.  Default 1.0; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.G(1.0, 0.5).tg
    0.5
    """

    __match_args__ = ("rg", "tg")
    def __new__(cls, rg: float, tg: float) -> Self: ...
    @property
    def rg(self) -> float:
        """Resistance (ohm)."""
    @property
    def tg(self) -> float:
        """Time constant (s)."""

@final
class Gs(Element):
    """Finite-length Gerischer element, ``Z = rg / (v * tanh(phi*v))``, ``v = sqrt(1 + i*omega*tg)``.

    Parameters
    ----------
    rg : float
        Resistance in ohm.  Default in expressions: 1.0; bounds (1e-12, inf).
    tg : float
        Time constant in s.  Default 1.0; bounds (1e-12, inf).
    phi : float
        Finite-length factor, dimensionless.  Default 1.0; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Gs(1.0, 1.0, 2.0).phi
    2.0
    """

    __match_args__ = ("rg", "tg", "phi")
    def __new__(cls, rg: float, tg: float, phi: float) -> Self: ...
    @property
    def rg(self) -> float:
        """Resistance (ohm)."""
    @property
    def tg(self) -> float:
        """Time constant (s)."""
    @property
    def phi(self) -> float:
        """Finite-length factor (-)."""

@final
class K(Element):
    """Voigt (RC) element by its time constant, ``Z = r / (1 + i*omega*tau_k)``.

    Shorthand for ``R(r)`` in parallel with ``C(tau_k / r)``; circuits using it
    reach the trained networks of the R-C pairs.

    Parameters
    ----------
    r : float
        Resistance in ohm.  Default in expressions: 1.0; bounds (1e-12, inf).
    tau_k : float
        Time constant ``r * c`` in s.  Default 0.001; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.K(1.0, 0.001)
    Element.K(r=1.0, tau_k=0.001)
    """

    __match_args__ = ("r", "tau_k")
    def __new__(cls, r: float, tau_k: float) -> Self: ...
    @property
    def r(self) -> float:
        """Resistance (ohm)."""
    @property
    def tau_k(self) -> float:
        """Time constant (s)."""

@final
class Zarc(Element):
    """ZARC (R parallel to CPE) by its time constant, ``Z = r / (1 + (i*omega*tau_k)**gamma)``.

    Shorthand for ``R(r)`` in parallel with ``Cpe(tau_k**gamma / r, gamma)``;
    with ``gamma = 1`` it equals :class:`K`.

    Parameters
    ----------
    r : float
        Resistance in ohm.  Default in expressions: 1.0; bounds (1e-12, inf).
    tau_k : float
        Time constant in s.  Default 0.001; bounds (1e-12, inf).
    gamma : float
        Depression exponent, dimensionless.  Default 0.8; bounds (0, 1).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Zarc(1.0, 0.001, 0.8)
    Element.Zarc(r=1.0, tau_k=0.001, gamma=0.8)
    """

    __match_args__ = ("r", "tau_k", "gamma")
    def __new__(cls, r: float, tau_k: float, gamma: float) -> Self: ...
    @property
    def r(self) -> float:
        """Resistance (ohm)."""
    @property
    def tau_k(self) -> float:
        """Time constant (s)."""
    @property
    def gamma(self) -> float:
        """Depression exponent (-)."""

@final
class Tlmq(Element):
    """Transmission line with a CPE interface, ``Z = sqrt(r_ion*Zs) / tanh(sqrt(r_ion/Zs))``, ``Zs = 1 / (qs * (i*omega)**gamma)``.

    Written ``TLMQ`` or ``Tlmq`` in expressions: a porous electrode with ionic
    resistance ``r_ion`` and a constant-phase double layer.

    Parameters
    ----------
    r_ion : float
        Ionic resistance in ohm.  Default in expressions: 1.0; bounds (1e-12, inf).
    qs : float
        Interface CPE magnitude in F*s^(gamma-1).  Default 0.001; bounds (1e-12, inf).
    gamma : float
        Interface CPE exponent, dimensionless.  Default 0.8; bounds (0, 1).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Tlmq(1.0, 0.001, 0.8).r_ion
    1.0
    """

    __match_args__ = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: float, qs: float, gamma: float) -> Self: ...
    @property
    def r_ion(self) -> float:
        """Ionic resistance (ohm)."""
    @property
    def qs(self) -> float:
        """Interface CPE magnitude (F*s^(gamma-1))."""
    @property
    def gamma(self) -> float:
        """Interface CPE exponent (-)."""

@final
class T(Element):
    """Diffusion in a porous electrode, ``Z = a*coth(beta)/beta + b*csch(beta)/beta``, ``beta = sqrt(k_tau + i*omega*tau)``.

    Parameters
    ----------
    a : float
        Coefficient in ohm*m^2.  Default in expressions: 1.0; bounds (1e-12, inf).
    b : float
        Coefficient in ohm*m^2.  Default 1.0; bounds (1e-12, inf).
    k_tau : float
        Rate term, dimensionless.  Default 1.0; bounds (1e-12, inf).
    tau : float
        Time constant in s.  Default 1.0; bounds (1e-12, inf).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.T(1.0, 1.0, 1.0, 1.0).k_tau
    1.0
    """

    __match_args__ = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: float, b: float, k_tau: float, tau: float) -> Self: ...
    @property
    def a(self) -> float:
        """Coefficient a (ohm*m^2)."""
    @property
    def b(self) -> float:
        """Coefficient b (ohm*m^2)."""
    @property
    def k_tau(self) -> float:
        """Rate term (-)."""
    @property
    def tau(self) -> float:
        """Time constant (s)."""

def Series(parts: Sequence[_Part]) -> Circuit:
    """Connect elements and circuits end to end.

    Parameters
    ----------
    parts : sequence of Element or Circuit
        A list or tuple (not a str).  An element adds one unlabelled element;
        a circuit adds its whole top-level series list, so series nest flat.

    Returns
    -------
    Circuit
        A new circuit.  Its values count as given explicitly (so
        :meth:`Circuit.fit` does not guess) unless a part is a circuit made
        from text.  Unlabelled elements get automatic labels in
        :meth:`Circuit.param_names`.

    Raises
    ------
    TypeError
        If `parts` is a str or not a sequence, or holds anything other than
        elements and circuits.

    Warns
    -----
    UserWarning
        When parts bring the same written label, so that parameter names
        repeat (automatic labels pass over the written ones).

    Examples
    --------
    >>> import kelvora as kv
    >>> c = kv.Series([kv.R(1.0), kv.Parallel([kv.R(2.0), kv.C(1e-6)])])
    >>> c.param_names()
    ['R0.r', 'R1.r', 'C0.c']
    """

def Parallel(parts: Sequence[_Part]) -> Circuit:
    """Connect elements and circuits as parallel branches.

    Parameters
    ----------
    parts : sequence of Element or Circuit
        A list or tuple (not a str); each part becomes one branch.

    Returns
    -------
    Circuit
        A new circuit holding one parallel group.  ``Parallel([])`` has an
        impedance of NaN.

    Raises
    ------
    TypeError
        If `parts` is a str or not a sequence, or holds anything other than
        elements and circuits.

    Warns
    -----
    UserWarning
        When parts bring the same written label, so that parameter names
        repeat (automatic labels pass over the written ones).

    Examples
    --------
    >>> import kelvora as kv
    >>> kv.Parallel([kv.R(100.0), kv.C(1e-6)]).param_names()
    ['R0.r', 'C0.c']
    """

@final
class Circuit:
    """An immutable equivalent circuit.

    Parameters
    ----------
    s : str
        A circuit expression or a model name.  In an expression every element
        carries a numeric label (``R0``, ``CPE12``); ``-`` joins in series and
        ``(a,b)`` or ``p(a,b)`` in parallel: ``"R0-(R1,C1)"``.  Element codes:
        ``R``, ``C``, ``L``, ``La``, ``CPE``/``Cpe``, ``W``, ``Wo``, ``Ws``,
        ``G``, ``Gs``, ``K``, ``Zarc``, ``TLMQ``/``Tlmq``, ``T``.  The model names
        of :meth:`ml_circuits` (matched case-insensitively, surrounding spaces
        ignored) stand for their expressions, e.g. ``"randles"`` is
        ``"R0-(R1-W1,CPE1)"``.  Elements start from their default values.

    Raises
    ------
    TypeError
        If `s` is not a str.
    ValueError
        If the expression is malformed.  The message shows the error and its
        position with a caret under the expression, the syntax rules and the
        table of element codes with their parameters and units.

    See Also
    --------
    Series, Parallel : build circuits from element objects.

    Notes
    -----
    A circuit built from text counts as having no explicit values, so
    :meth:`fit` starts from a trained network's guess; circuits from
    :meth:`with_values`, :meth:`with_named_values` and ``FitResult.circuit``
    count as explicit and are fitted from their values.

    Examples
    --------
    >>> import kelvora as kv
    >>> print(kv.Circuit("R0-(R1,C1)"))
    Circuit (3 parameters)
      R0.r = 1          [ohm]  bounds (1e-12, inf)
      R1.r = 1          [ohm]  bounds (1e-12, inf)
      C1.c = 0.001      [F]  bounds (1e-12, inf)
    """

    def __new__(cls, s: str) -> Self: ...
    @staticmethod
    def ml_circuits() -> list[str]:
        """Model names with trained initial-parameter networks.

        Returns
        -------
        list of str
            ``"rc"``, ``"rc_l"``, ``"rq"``, ``"rq_l"``, ``"two_rc"``,
            ``"two_rc_l"``, ``"two_rq"``, ``"two_rq_l"``, ``"randles"``,
            ``"sei_randles"``, ``"sei_randles_wo"``.  The constructor accepts
            each; circuits of the same topology written with other labels or
            element order, or with ``K``/``Zarc`` for R-C/R-CPE pairs, use the
            same networks.

        Examples
        --------
        >>> import kelvora as kv
        >>> "randles" in kv.Circuit.ml_circuits()
        True
        """
    def guess(
        self,
        frequencies: _RealSequence | _DataFrameLike,
        impedances: _ComplexSequence | None = None,
        weights: str | None = None,
    ) -> list[float]:
        """Machine-learning guess of starting parameters for this circuit's topology.

        Parameters
        ----------
        frequencies : sequence of float, or dataframe
            Frequencies in hertz; or a dataframe (see :meth:`fit`) with
            `impedances` left as None.
        impedances : sequence of complex, optional
            Measured impedances in ohm, the imaginary part with its sign.
        weights : str, optional
            Path of a ``.eisnn`` weight file to use instead of the bundled
            network.

        Returns
        -------
        list of float
            One value per parameter, in :meth:`param_names` order.

        Raises
        ------
        ValueError
            If no network serves this topology, the weight file is unreadable
            or does not match the circuit, or the spectrum is malformed.

        Examples
        --------
        >>> import numpy as np
        >>> import kelvora as kv
        >>> f = np.logspace(5, -2, 50)
        >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
        >>> len(kv.Circuit("R0-(R1,C1)").guess(f, z))
        3
        """
    def param_names(self) -> list[str]:
        """Parameter names, in the order :meth:`with_values` consumes.

        Returns
        -------
        list of str
            ``label.parameter`` per parameter, e.g. ``"R0.r"``, ``"CPE1.alpha"``;
            unlabelled elements get automatic labels (``R0``, ``C0``, ...),
            passing over the labels the circuit already uses.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("randles").param_names()
        ['R0.r', 'R1.r', 'W1.aw', 'CPE1.q', 'CPE1.alpha']
        """
    def with_values(self, values: Sequence[float] | npt.NDArray[np.floating[Any]]) -> Circuit:
        """Rebuild this circuit with a new flat parameter vector.

        Parameters
        ----------
        values : sequence of float
            One value per parameter, in :meth:`param_names` order.

        Returns
        -------
        Circuit
            A new circuit with the same topology and labels, whose values count
            as explicit.

        Raises
        ------
        ValueError
            ``expected n values, got m`` for the wrong number of values, or a
            NaN or infinite value or one outside its bounds for a parameter
            held fixed (:meth:`with_fixed`).
        TypeError
            If `values` is not a sequence of numbers.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("R0-C1").with_values([10.0, 1e-6]).param_values()
        [10.0, 1e-06]
        """
    def with_named_values(self, values: Mapping[str, float]) -> Circuit:
        """Rebuild this circuit with parameter values looked up by name.

        Parameters
        ----------
        values : dict of str to float
            Every name of :meth:`param_names` exactly once.

        Returns
        -------
        Circuit
            A new circuit whose values count as explicit.

        Raises
        ------
        ValueError
            For unknown names (with a "did you mean" suggestion) or missing
            names, where the message lists the valid names with units and
            bounds; or for a NaN or infinite value or one outside its bounds
            for a parameter held fixed (:meth:`with_fixed`).
        TypeError
            If `values` is not a dict of str to numbers.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("R0-C1").with_named_values({"R0.r": 5.0, "C1.c": 1e-6}).param_values()
        [5.0, 1e-06]
        """
    def impedance(self, frequencies: _RealSequence | _DataFrameLike) -> npt.NDArray[np.complex128]:
        """Complex impedance of the circuit at its stored values.

        Parameters
        ----------
        frequencies : sequence of float, or dataframe
            Frequencies in hertz, or a dataframe with a ``"frequency_hertz"``
            (or ``"Frequency / Hz"``) column.  Nothing is validated or
            dropped: zero or negative frequencies are evaluated as they stand.

        Returns
        -------
        numpy.ndarray of complex128
            ``Z(2*pi*f)`` in ohm, one entry per frequency, in input order.
            From 1000 frequencies on the work is spread over worker threads,
            with identical results.

        Raises
        ------
        ValueError
            If `frequencies` is neither a sequence of numbers nor a dataframe
            with a frequency column.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("R0-(R1,C1)").with_values([1.0, 1.0, 1.0]).impedance([0.0, 1e9]).real.round(6)
        array([nan,  1.])
        """
    def param_values(self) -> list[float]:
        """Current parameter values, in :meth:`param_names` order.

        Returns
        -------
        list of float

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("R0-C1").param_values()
        [1.0, 0.001]
        """
    def param_bounds(self) -> list[tuple[float, float]]:
        """Default physical-validity ``(lo, hi)`` bounds, in :meth:`param_names` order.

        Returns
        -------
        list of (float, float)
            (0, 1) for ``alpha`` and ``gamma``, (1e-12, inf) for every other
            parameter.  Fits keep their results inside these bounds.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("CPE0").param_bounds()
        [(1e-12, inf), (0.0, 1.0)]
        """
    def param_units(self) -> list[str]:
        """Physical units per parameter, in :meth:`param_names` order.

        Returns
        -------
        list of str
            e.g. ``"ohm"``, ``"F"``, ``"ohm^-1*s^alpha"``, ``"-"``.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("CPE0").param_units()
        ['ohm^-1*s^alpha', '-']
        """
    @property
    def expression(self) -> str:
        """Expression text that :class:`Circuit` parses back to this topology.

        The same :meth:`param_names` result; unlabelled elements are written
        with their automatic labels.

        Raises
        ------
        ValueError
            For circuits no expression can write: repeated labels, or a series
            or parallel group without elements.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Series([kv.R(1.0), kv.Parallel([kv.R(2.0), kv.C(1e-6)])]).expression
        'R0-(R1,C0)'
        """
    def with_bounds(self, bounds: Mapping[str, tuple[float, float]]) -> Circuit:
        """This circuit with new ``(lo, hi)`` bounds for the named parameters.

        Parameters
        ----------
        bounds : dict of str to (float, float)
            e.g. ``{"CPE1.alpha": (0.5, 1.0)}``.  Each must lie within the
            parameter's valid range ([0, inf) for magnitudes, [0, 1] for
            exponents) with ``lo < hi``.

        Returns
        -------
        Circuit
            A new circuit; every fit method searches within these bounds, and
            :meth:`param_bounds` reports them.

        Raises
        ------
        ValueError
            For unknown names or invalid bounds, or bounds that exclude the
            value of a parameter held fixed.
        TypeError
            If `bounds` is not a dict of str to pairs of numbers.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("CPE0").with_bounds({"CPE0.alpha": (0.5, 1.0)}).param_bounds()[1]
        (0.5, 1.0)
        """
    def with_fixed(self, params: Mapping[str, float] | Sequence[str]) -> Circuit:
        """This circuit with the named parameters held fixed.

        Parameters
        ----------
        params : dict of str to float, or sequence of str
            A dict gives the fixed values; a list of names holds their current
            values.  Parameters fixed before stay fixed.

        Returns
        -------
        Circuit
            A new circuit; every fit method leaves the fixed parameters exactly
            as they are (their standard error is 0).

        Raises
        ------
        ValueError
            For unknown names, or a value (given, or the current one for a
            list of names) that is NaN, infinite or outside the parameter's
            bounds.
        TypeError
            If `params` is neither a dict of str to numbers nor a sequence of
            str.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("R0-C1").with_fixed({"R0.r": 5.0}).fixed_params()
        ['R0.r']
        """
    def fixed_params(self) -> list[str]:
        """Names of the parameters held fixed, in :meth:`param_names` order.

        Returns
        -------
        list of str
        """
    def to_dict(self) -> dict[str, Any]:
        """This circuit as a JSON-compatible dict.

        Returns
        -------
        dict
            Expression, values, explicit-values flag, bounds and fixed set, with
            a format version; :meth:`from_dict` reads it back.

        Examples
        --------
        >>> import kelvora as kv
        >>> c = kv.Circuit("randles")
        >>> kv.Circuit.from_dict(c.to_dict()) == c
        True
        """
    @staticmethod
    def from_dict(d: Mapping[str, Any]) -> Circuit:
        """The circuit a :meth:`to_dict` dict describes.

        Parameters
        ----------
        d : dict
            As :meth:`to_dict` returns it (also after a JSON round trip).

        Returns
        -------
        Circuit

        Raises
        ------
        ValueError
            For unknown or missing keys, malformed entries or a newer format
            version.
        """
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def residuals(
        self,
        params: Sequence[float] | npt.NDArray[np.floating[Any]],
        frequencies: _RealSequence | _DataFrameLike,
        impedances: _ComplexSequence | None = None,
        weight: _Weighting = "modulus",
    ) -> list[float]:
        """Weighted residual vector at a parameter vector.

        Parameters
        ----------
        params : sequence of float
            Parameter values in :meth:`param_names` order.
        frequencies : sequence of float, or dataframe
            Frequencies in hertz, or a dataframe (see :meth:`fit`).
        impedances : sequence of complex, optional
            Measured impedances in ohm; None with a dataframe.
        weight : {"modulus", "unit"}, default "modulus"
            Each point's residual is divided by ``|Z_measured|`` ("modulus")
            or by 1 ("unit").

        Returns
        -------
        list of float
            ``2n`` values ``[re0, im0, re1, im1, ...]``, each
            ``(model - measured) / weight``.  Every fit minimises half the sum
            of their squares.

        Raises
        ------
        ValueError
            For fewer values than the circuit has parameters (values past
            them are ignored), a malformed spectrum or an unknown weight
            scheme.

        Examples
        --------
        >>> import kelvora as kv
        >>> kv.Circuit("R0").residuals([2.0], [1.0], [1.0 + 0j], weight="unit")
        [1.0, 0.0]
        """
    def jacobian(
        self,
        params: Sequence[float] | npt.NDArray[np.floating[Any]],
        frequencies: _RealSequence | _DataFrameLike,
        impedances: _ComplexSequence | None = None,
        weight: _Weighting = "modulus",
    ) -> list[list[float]]:
        """Central-difference Jacobian of :meth:`residuals`.

        Parameters
        ----------
        params, frequencies, impedances, weight
            As for :meth:`residuals`.

        Returns
        -------
        list of list of float
            ``2n`` rows of ``p`` derivatives, one column per parameter in
            :meth:`param_names` order.  Columns are computed on worker
            threads.

        Raises
        ------
        ValueError
            As for :meth:`residuals`.

        Examples
        --------
        >>> import kelvora as kv
        >>> rows = kv.Circuit("R0").jacobian([2.0], [1.0], [1.0 + 0j], weight="unit")
        >>> [round(row[0], 6) for row in rows]
        [1.0, 0.0]
        """
    @overload
    def fit(
        self,
        frequencies: _RealSequence,
        impedances: _ComplexSequence,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weighting = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult:
        """Fit this circuit's parameters to a measured spectrum.

        The spectrum is two sequences (frequencies and impedances) or one
        dataframe with `impedances` left as None.  The fit minimises half the
        sum of squared weighted residuals (see :meth:`residuals`) within the
        parameter bounds (see :meth:`param_bounds`), without the interpreter
        lock, and stops with ``KeyboardInterrupt`` soon after Ctrl-C.

        Parameters
        ----------
        frequencies : sequence of float, or dataframe
            Frequencies in hertz, in any order.  Or a pandas or polars
            dataframe, or a dict of columns, with a frequency column
            (``"frequency_hertz"`` or ``"Frequency / Hz"``) and either real and
            imaginary columns (``"real_impedance_ohm"``,
            ``"imaginary_impedance_ohm"``, or ``"Real Impedance / ohm"``,
            ``"Imaginary Impedance / ohm"``) or modulus and phase in degrees
            (``"absolute_impedance_ohm"``, ``"phase_degree"``, or
            ``"Absolute Impedance / ohm"``, ``"Phase / deg"``).  Dataframe rows
            with a non-positive frequency are dropped.
        impedances : sequence of complex, optional
            Measured impedances in ohm, the imaginary part with its own sign
            (negative for a capacitive arc).  Leave as None with a dataframe.
        guess_init : bool, optional
            Where to start.  None (default): from the trained network's guess
            when the circuit's values were not given explicitly (a circuit from
            text) or when `weights` is given; if no network serves the topology
            it warns (``UserWarning``) and starts from the circuit's values.
            True: always guess, and raise ``ValueError`` if impossible.  False:
            never guess; start from the circuit's values.
        weights : str, optional
            Path of a ``.eisnn`` weight file: a trained network, read from disk
            and cached, that supplies the starting guess instead of a bundled
            one.  Not to be confused with `weight`.
        weight : {"modulus", "unit"}, default "modulus"
            The weighting scheme of the residuals: "modulus" divides each
            point's residual by ``|Z_measured|`` (relative error, every decade
            counts alike); "unit" leaves residuals in ohm (large impedances
            dominate).
        method : str, default "levenberg_marquardt"
            ``"levenberg_marquardt"``: multi-start, bound-aware local
            least squares; fast and the right choice from a good start (the
            network's guess).  ``"nelder_mead"``: derivative-free simplex.
            ``"particle_swarm"``, ``"simulated_annealing"``,
            ``"differential_evolution"``: global searches over the bounds for
            poor starts or many local minima, slower by orders of magnitude.
            ``"basin_hopping"``: random hops between Levenberg-Marquardt
            minimisations.  Every search but basin hopping ends with a
            Levenberg-Marquardt polish that is kept when it is no worse.
            ``"multi_start"``: Levenberg-Marquardt from the start, then from
            structured restarts of its minimum (arcs swapped, placed afresh,
            shorted or opened, exponents reset, series resistances and
            inductances moved) and a few random starts scaled to the spectrum,
            keeping the lowest minimum; for multi-arc models whose one-call
            fit may settle in a neighbouring basin, at some 4-20 times the
            time.
        max_iterations : int, default 200
            Levenberg-Marquardt patience (residual evaluations per run).
        ftol : float, default 1e-8
            Levenberg-Marquardt relative tolerance on the cost; >= 0.
        xtol : float, default 1e-8
            Levenberg-Marquardt relative tolerance on the step; >= 0.
        num_particles : int, default 200
            Particle swarm: swarm size.
        generations : int, default 1000
            Particle swarm: generations.
        nelder_mead_iterations : int, default 2000
            Nelder-Mead: iterations.
        de_evaluations : int, default 20000
            Differential evolution: cost evaluations of each of its ten runs.
        sa_iterations : int, default 5000
            Simulated annealing: iterations.
        sa_initial_temperature : float, default 2.0
            Simulated annealing: starting temperature.
        basin_hopping_hops : int, default 20
            Basin hopping: number of hops.
        basin_hopping_step_size : float, default 1.0
            Basin hopping: hop size in search coordinates (decades for
            open-bound parameters).
        basin_hopping_temperature : float, default 1.0
            Basin hopping: acceptance temperature.
        seed : int, optional
            Seed of particle swarm, simulated annealing, differential evolution,
            basin hopping and multi-start: the same seed repeats the same
            search.  None
            draws from the operating system's entropy source.

        Returns
        -------
        FitResult
            Fitted parameters, standard errors, statistics and the fitted
            circuit.

        Raises
        ------
        TypeError
            ``argument 'name': ...`` for an argument of the wrong type (an int
            for `guess_init`, a float for an integer setting).
        OverflowError
            For a negative or too large integer setting.
        ValueError
            For a malformed spectrum, an unknown weight scheme or method, a
            failed guess, a circuit without parameters, or a negative or NaN
            `ftol` or `xtol` with Levenberg-Marquardt or multi-start, the
            methods that read them (checked before any work).

        Warns
        -----
        UserWarning
            When `guess_init` is None, the values are not explicit and no
            trained network serves the topology.

        See Also
        --------
        guess : the starting guess alone.
        kelvora.plot : draw the result.

        Examples
        --------
        >>> import numpy as np
        >>> import kelvora as kv
        >>> f = np.logspace(5, -2, 50)
        >>> z = kv.Circuit("randles").with_values([10, 50, 100, 1e-5, 0.85]).impedance(f)
        >>> result = kv.Circuit("randles").fit(f, z)
        >>> result.success, round(result.params["R1.r"], 3)
        (True, 50.0)
        >>> frame = {"frequency_hertz": f, "real_impedance_ohm": z.real, "imaginary_impedance_ohm": z.imag}
        >>> kv.Circuit("randles").fit(frame, method="differential_evolution").success
        True
        """
    @overload
    def fit(
        self,
        frequencies: _DataFrameLike,
        impedances: None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weighting = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult:
        """Fit this circuit's parameters to a spectrum given as one dataframe.

        The same as the two-sequence form, with the spectrum read from the
        dataframe's columns (``"frequency_hertz"``, ``"real_impedance_ohm"``,
        ``"imaginary_impedance_ohm"``, or modulus and phase); see the other
        overload for every argument.
        """

@final
class FitResult:
    """The outcome of :meth:`Circuit.fit`.

    Instances are immutable and come only from ``fit()``; calling the class
    raises ``TypeError``.  Each attribute read builds a new object.  Results
    compare with ``==``, pickle and copy (a copy is the result itself);
    :meth:`to_dict` and :meth:`from_dict` convert them to and from
    JSON-compatible dicts.

    Attributes
    ----------
    circuit : Circuit
        The circuit rebuilt with the fitted values.  Its values count as
        explicit, so ``result.circuit.fit(...)`` starts from them.
    params : dict of str to float
        Fitted value per parameter name, clamped into the bounds.
    stderr : dict of str to float, or None
        Standard error per parameter from the Jacobian at the solution, or
        None when there are no more residuals than parameters or ``J^T J`` is
        singular (a parameter without effect on the residuals, such as one
        fitted to infinity).
    success : bool
        Whether the method converged; global searches whose own result stands
        report True, unless its cost is NaN.
    iterations : int
        Method-specific count: for Levenberg-Marquardt the residual
        evaluations of its runs; for the polished searches those of the
        polish, or the search's own iterations when its result stands; for
        basin hopping and multi-start the total of all their local fits.
    impedance_evals : int
        Residual-vector evaluations of the whole fit, statistics included;
        for basin hopping only those of the final statistics (its local fits
        count in `iterations`).
    cost : float
        ``0.5 * sum(r**2)`` of the weighted residuals at the solution.
    chi_square : float
        ``sum(r**2)`` (twice the cost), not divided by the degrees of freedom.
    covariance, correlation : numpy.ndarray or None
        Parameter covariance and correlation matrices, None when ``stderr`` is.
    residuals : numpy.ndarray
        The weighted residual vector at the solution.
    dof : int
        Degrees of freedom, 2n observations minus the free parameters.
    reduced_chi_square, aic, bic : float
        ``chi_square / dof`` and the information criteria.
    method, message : str
        The method that ran and why it stopped.
    initial : Circuit
        The circuit the fit started from.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -2, 40)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> result = kv.Circuit("rc").fit(f, z)
    >>> sorted(result.params)
    ['C1.c', 'R0.r', 'R1.r']
    >>> result.chi_square < 1e-12
    True
    """

    @property
    def circuit(self) -> Circuit:
        """The circuit rebuilt with the fitted values (explicit values)."""
    @property
    def params(self) -> dict[str, float]:
        """Fitted value per parameter name."""
    @property
    def stderr(self) -> dict[str, float] | None:
        """Standard error per parameter name, or None when undetermined."""
    @property
    def success(self) -> bool:
        """Whether the method converged."""
    @property
    def iterations(self) -> int:
        """Method-specific iteration count."""
    @property
    def impedance_evals(self) -> int:
        """Residual-vector evaluations of the whole fit (for basin hopping, of its final statistics only)."""
    @property
    def cost(self) -> float:
        """Half the sum of squared weighted residuals."""
    @property
    def chi_square(self) -> float:
        """Sum of squared weighted residuals (twice the cost)."""
    @property
    def covariance(self) -> npt.NDArray[np.float64] | None:
        """Covariance of the parameters, a p x p array in :meth:`Circuit.param_names` order.

        ``chi_square / dof`` times the inverse of ``J^T J`` over the free
        parameters, J the weighted Jacobian at the solution; fixed parameters
        have zero rows and columns.  ``sqrt(diag(covariance))`` is
        :attr:`stderr`; None when :attr:`stderr` is.
        """
    @property
    def correlation(self) -> npt.NDArray[np.float64] | None:
        """Correlation matrix (:attr:`covariance` scaled to a unit diagonal); None when :attr:`stderr` is."""
    @property
    def residuals(self) -> npt.NDArray[np.float64]:
        """Weighted residual vector at the solution, ``[re0, im0, re1, im1, ...]`` as :meth:`Circuit.residuals`."""
    @property
    def dof(self) -> int:
        """Degrees of freedom: 2n observations minus the free parameters."""
    @property
    def reduced_chi_square(self) -> float:
        """``chi_square / dof``; NaN when :attr:`dof` is not positive."""
    @property
    def aic(self) -> float:
        """Akaike information criterion, ``n_obs ln(chi_square / n_obs) + 2k`` (``n_obs = 2n``, k free parameters)."""
    @property
    def bic(self) -> float:
        """Bayesian information criterion, ``n_obs ln(chi_square / n_obs) + k ln(n_obs)``."""
    @property
    def method(self) -> str:
        """Name of the fit method, e.g. ``"levenberg_marquardt"``."""
    @property
    def message(self) -> str:
        """Why the solver or the search stopped."""
    @property
    def initial(self) -> Circuit:
        """The circuit the fit started from: the network's guess, or the given values."""
    def summary(self) -> str:
        """A table of the fitted parameters.

        Returns
        -------
        str
            Headed by the method, why it stopped and the fit statistics; one
            line per parameter with value +- standard error, relative error in
            percent, unit, and a mark on fixed parameters, those at a bound,
            and those that diverged: a parameter without an upper bound that
            ended more than a million times above or below its start with no
            standard error or one larger than its value (it ran off to an open
            or short circuit the spectrum does not show; a converged fit may
            report success all the same).

        Examples
        --------
        >>> import numpy as np
        >>> import kelvora as kv
        >>> f = np.logspace(5, -2, 40)
        >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
        >>> print(kv.Circuit("rc").fit(f, z).summary())  # doctest: +SKIP
        """
    def to_dict(self) -> dict[str, Any]:
        """This result as a JSON-compatible dict of every attribute, with a format version.

        Format version 2 includes the measured spectrum (``"frequencies"``,
        ``"impedance_real"``, ``"impedance_imag"``), so a result read back by
        :meth:`from_dict` (or from a pickle) can :meth:`plot` itself.
        :meth:`from_dict` also reads version 1 dicts, which have no spectrum:
        such a result asks for the spectrum when plotted (pass it to
        :mod:`kelvora.plot` instead) and writes empty spectrum lists back.
        """
    @staticmethod
    def from_dict(d: Mapping[str, Any]) -> FitResult:
        """The result a :meth:`to_dict` dict describes.

        Raises
        ------
        ValueError
            For unknown or missing keys, malformed entries or a newer format
            version.
        """
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> FitResult:
        """The result itself: results never change."""
    def __deepcopy__(self, memo: Any, /) -> FitResult:
        """The result itself: results never change."""
    def plot(self, kind: Literal["nyquist", "bode", "residuals"] = "nyquist", ax: Any | None = None) -> Any:
        """Draw the measured spectrum with the fitted curve.

        Needs matplotlib (``pip install "kelvora[plot]"``).

        Parameters
        ----------
        kind : {"nyquist", "bode", "residuals"}, default "nyquist"
            :func:`kelvora.plot.nyquist`, :func:`kelvora.plot.bode` or
            :func:`kelvora.plot.residuals`.  The fitted curve is drawn on a
            dense logarithmic grid over the measured frequency range.
        ax : matplotlib.axes.Axes, optional
            Where to draw ("bode" takes a pair of axes); new axes when None.

        Returns
        -------
        matplotlib.axes.Axes or numpy.ndarray of Axes
            The axes drawn on (a pair for "bode").

        Raises
        ------
        ValueError
            For an unknown `kind`.
        ImportError
            When matplotlib is not installed.

        Examples
        --------
        >>> import numpy as np
        >>> import kelvora as kv
        >>> f = np.logspace(5, -2, 40)
        >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
        >>> ax = kv.Circuit("rc").fit(f, z).plot("nyquist")  # doctest: +SKIP
        """

@final
class KKResult:
    """The outcome of :func:`lin_kk`: the accepted Kramers-Kronig fit and its residuals.

    Instances are immutable and come from ``lin_kk()`` or :meth:`from_dict`;
    they compare by value (every number bit for bit), pickle and copy.  Each
    array attribute read returns a new array.

    Attributes
    ----------
    test : {"complex", "real", "imaginary"}
        The parts fitted.
    m : int
        Number of Voigt elements of the accepted fit.
    mu : float
        ``1 - sum|R_k < 0| / sum|R_k >= 0|`` of the accepted fit.
    frequencies : numpy.ndarray of float64
        The measured frequencies in the order given (Hz).
    impedance : numpy.ndarray of complex128
        The fit at the measured frequencies (ohm).
    residuals_real, residuals_imag : numpy.ndarray of float64
        ``(Z - Z_fit) / |Z|`` per point, real and imaginary parts.
    pseudo_chi_square : float
        Sum of the squares of both residuals.
    resistances : numpy.ndarray of float64
        ``R_k`` of the Voigt elements (ohm).
    time_constants : numpy.ndarray of float64
        ``tau_k`` of the Voigt elements, ascending (s).
    series_resistance : float
        The series resistance (ohm).
    inductance, capacitance : float or None
        The series inductance (H) and capacitance (F), None when not fitted.
    """

    @property
    def test(self) -> str:
        """The parts fitted: "complex", "real" or "imaginary"."""
    @property
    def m(self) -> int:
        """Number of Voigt elements of the accepted fit."""
    @property
    def mu(self) -> float:
        """mu = 1 - sum|R_k < 0| / sum|R_k >= 0| of the accepted fit."""
    @property
    def frequencies(self) -> npt.NDArray[np.float64]:
        """The measured frequencies, in the order given (float64 array, Hz)."""
    @property
    def impedance(self) -> npt.NDArray[np.complex128]:
        """The fit at the measured frequencies (complex128 array, ohm)."""
    @property
    def residuals_real(self) -> npt.NDArray[np.float64]:
        """(Z' - Z_fit') / |Z| per point (float64 array)."""
    @property
    def residuals_imag(self) -> npt.NDArray[np.float64]:
        """(Z'' - Z_fit'') / |Z| per point (float64 array)."""
    @property
    def pseudo_chi_square(self) -> float:
        """Sum of the squares of both residuals."""
    @property
    def resistances(self) -> npt.NDArray[np.float64]:
        """R_k of the Voigt elements (float64 array, ohm)."""
    @property
    def time_constants(self) -> npt.NDArray[np.float64]:
        """tau_k of the Voigt elements, ascending (float64 array, s)."""
    @property
    def series_resistance(self) -> float:
        """The series resistance (ohm)."""
    @property
    def inductance(self) -> float | None:
        """The series inductance (H), or None when not fitted."""
    @property
    def capacitance(self) -> float | None:
        """The series capacitance (F), or None when not fitted."""
    def to_dict(self) -> dict[str, Any]:
        """This result as a JSON-compatible dict of every attribute, with a format version.

        The fitted impedance is stored as ``"impedance_real"`` and
        ``"impedance_imag"``.  Like a fit result, a KK result keeps its
        frequencies (and its residuals), so one read back can :meth:`plot` itself.
        """
    @staticmethod
    def from_dict(d: Mapping[str, Any]) -> KKResult:
        """The result a :meth:`to_dict` dict describes.

        Raises
        ------
        ValueError
            For unknown or missing keys, malformed entries (lists whose
            lengths disagree with ``"m"`` or ``"frequencies"``, an unknown
            test) or a newer format version.
        """
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> KKResult:
        """The result itself: results never change."""
    def __deepcopy__(self, memo: Any, /) -> KKResult:
        """The result itself: results never change."""
    def plot(self, ax: Any | None = None) -> Any:
        """Draw the residuals in percent against frequency, real and imaginary parts.

        Needs matplotlib (``pip install "kelvora[plot]"``); draws with
        :func:`kelvora.plot.kk_residuals`.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; new axes when None.

        Returns
        -------
        matplotlib.axes.Axes
            The axes drawn on, with the lines "real" and "imaginary"
            (``100 * residuals_real`` and ``100 * residuals_imag``).

        Raises
        ------
        ImportError
            When matplotlib is not installed.

        Examples
        --------
        >>> import numpy as np
        >>> import kelvora as kv
        >>> f = np.logspace(5, -2, 40)
        >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
        >>> ax = kv.lin_kk(f, z).plot()  # doctest: +SKIP
        """

def lin_kk(
    frequencies: _RealSequence | _DataFrameLike,
    impedances: _ComplexSequence | None = None,
    *,
    c: float = 0.85,
    max_m: int | None = None,
    test: Literal["complex", "real", "imaginary"] = "complex",
    add_capacitance: bool = False,
    add_inductance: bool = True,
) -> KKResult:
    """Linear Kramers-Kronig test of a measured spectrum.

    Fits a series resistance, ``M`` Voigt elements with time constants
    log-spaced from ``1/(2 pi f_max)`` to ``1/(2 pi f_min)`` and, optionally, a
    series inductance and capacitance by linear least squares weighted by
    ``1/|Z|`` (Schoenleber et al., Electrochim. Acta 131 (2014) 20).  ``M``
    grows from 1 and stops at the first fit whose ``mu`` is below `c`, or at
    `max_m`.  A fit that is under-resolved rather than overfitted does not
    stop it: around a sharp arc that falls between two time constants the
    fit rings, ``mu`` dips while the residuals are large, and one of the next
    ``M // 2 + 2`` fits (up to half the elements the data determine) leaves
    less than a tenth of its sum of squared residuals; such a fit is passed
    over.  A spectrum that obeys the Kramers-Kronig relations gives
    residuals at its noise level without trend.

    Parameters
    ----------
    frequencies : sequence of float, or dataframe
        Frequencies in hertz, or a dataframe with the columns :meth:`Circuit.fit`
        accepts; as there, dataframe rows whose frequency is not positive
        (zero, negative or NaN) are dropped.
    impedances : sequence of complex, optional
        Measured impedances in ohm; None with a dataframe.
    c : float, default 0.85
        The ``mu`` threshold, in (0, 1].
    max_m : int, optional
        Largest number of Voigt elements; default the number of points, capped
        at half the number the data determine (a fit with more matches the
        fitted part(s) of any spectrum; points repeated at one frequency
        count once).  An explicit value is capped at that number.
    test : {"complex", "real", "imaginary"}, default "complex"
        Fit both parts together, the real part, or the imaginary part.
    add_capacitance : bool, default False
        Fit a series capacitance.
    add_inductance : bool, default True
        Fit a series inductance.

    Returns
    -------
    KKResult

    Raises
    ------
    ValueError
        For `c` outside (0, 1], ``max_m < 1``, an unknown test, fewer than 3
        points or 3 distinct frequencies, non-positive or non-finite frequencies, or non-finite, zero or
        overflowing impedances (a magnitude beyond double precision).
    TypeError
        For `add_capacitance` or `add_inductance` other than a bool (or
        NumPy's), as :meth:`Circuit.fit` takes its switches.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -2, 50)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> result = kv.lin_kk(f, z)
    >>> result.test, result.residuals_real.shape
    ('complex', (50,))
    """

class _FitOptions(TypedDict, total=False):
    """The keyword arguments of :meth:`Circuit.fit` after the spectrum."""

    guess_init: bool | np.bool_ | None
    weights: str | None
    weight: _Weighting
    method: _Method
    max_iterations: int
    ftol: float
    xtol: float
    num_particles: int
    generations: int
    nelder_mead_iterations: int
    de_evaluations: int
    sa_iterations: int
    sa_initial_temperature: float
    basin_hopping_hops: int
    basin_hopping_step_size: float
    basin_hopping_temperature: float
    seed: int | None

_Spectrum = _DataFrameLike | tuple[_RealSequence, _ComplexSequence] | list[Any]
"""One spectrum of a batch: a dataframe or dict of columns, or a (frequencies, impedances) pair."""

def fit_many(
    circuit: Circuit | str,
    spectra: Iterable[_Spectrum],
    *,
    threads: int | None = None,
    chain: bool = False,
    progress: bool | Callable[[int, int], object] = False,
    **fit_options: Unpack[_FitOptions],
) -> list[FitResult | Exception]:
    """Fit one circuit to many spectra on native threads.

    Every spectrum is fitted as ``circuit.fit(...)`` would fit it, with the
    same options, and the results come back in input order.  The fits run on
    native threads with the interpreter lock released for the whole batch;
    other Python threads keep running meanwhile.

    Parameters
    ----------
    circuit : Circuit or str
        The circuit to fit, or a model name or expression for :class:`Circuit`.
    spectra : iterable of spectra
        Each a dataframe or dict of columns as :meth:`Circuit.fit` reads it, or
        a ``(frequencies, impedances)`` tuple or two-item list.
    threads : int, optional
        Worker threads, at least 1; default one per processor available to
        the process.  No more threads start than there are spectra.
    chain : bool, default False
        Fit the spectra in order on one thread, each starting from the fitted
        values of the last earlier result whose ``success`` is True; until
        there is one, a fit starts as ``fit()`` would (from the guess or the
        circuit's values).  A chained start is never guessed from, whatever
        `guess_init` and `weights` say: they decide the starts before it.  For
        series whose parameters drift slowly (state of charge, temperature,
        ageing).
    progress : bool or callable, default False
        True shows a bar on stderr (tqdm when it is installed, a plain one
        otherwise; none when ``sys.stderr`` is None).  A callable is called as ``progress(done, total)`` about
        every 50 ms while the count changes, and once with ``(total, total)``
        at the end; an exception it raises stops the batch and propagates.
    **fit_options
        The keyword arguments of :meth:`Circuit.fit` (``method``, ``seed``,
        ``guess_init``, ...), checked once before any fit starts.

    Returns
    -------
    list of FitResult or Exception
        One item per spectrum, in input order: its :class:`FitResult`, or the
        exception ``fit()`` would have raised for it (a spectrum that cannot
        be read, a fit that fails), so that one bad spectrum loses nothing
        else.  :func:`results_table` turns the list into columns.

    Raises
    ------
    TypeError
        For arguments of the wrong type (one dataframe or dict given as
        ``spectra`` among them), unknown keywords, and the ``frequencies``
        and ``impedances`` keywords (the spectra carry them).
    ValueError
        For ``threads < 1``, an unknown method or weight scheme, or a negative
        ``ftol`` or ``xtol`` with Levenberg-Marquardt.
    RuntimeError
        When the system starts not one worker thread (a limit on threads or
        on memory); fewer than asked are enough.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second; the results are dropped.

    Notes
    -----
    Results equal those of one ``fit()`` call per spectrum exactly, whatever
    the number of threads (with a ``seed`` for the searches that take one).
    The guess decision is made once: a circuit without a trained network and
    ``guess_init`` left unset warns once per batch, not once per spectrum.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -1, 40)
    >>> spectra = [(f, kv.Circuit("rc").with_values([10.0, r, 1e-5]).impedance(f)) for r in (20.0, 40.0, 80.0)]
    >>> spectra.append((f, f[:-1]))
    >>> results = kv.fit_many("rc", spectra, threads=2)
    >>> [round(r.params["R1.r"], 6) for r in results[:3]]
    [20.0, 40.0, 80.0]
    >>> results[3]
    ValueError('frequencies and impedances must have the same length')
    """

def results_table(
    results: Iterable[FitResult | BaseException], circuit: Circuit | str | None = None
) -> dict[str, npt.NDArray[Any] | list[str]]:
    """The results of :func:`fit_many` as columns for a dataframe.

    ``pandas.DataFrame(table)`` and ``polars.DataFrame(table)`` take the dict
    as it is; each column has one entry per result.

    Parameters
    ----------
    results : iterable of FitResult or BaseException
        What :func:`fit_many` returns, or any such list.
    circuit : Circuit or str, optional
        The circuit fitted (or its model name or expression): its parameter
        names come first among the columns, so that a table in which every
        fit failed still has them (NaN).  Without it the columns come from
        the results alone.

    Returns
    -------
    dict of str to column
        In this order:

        - one float64 column per parameter name (``"R0.r"``), the fitted value;
        - ``"{name}_stderr"`` per parameter (``"R0.r_stderr"``), its standard
          error, NaN when :attr:`FitResult.stderr` is None;
        - ``"cost"``, ``"chi_square"`` (float64), ``"success"`` (bool),
          ``"iterations"`` (int64), ``"method"`` and ``"message"`` (lists of
          str): the :class:`FitResult` attributes of those names;
        - ``"error"`` (list of str): ``"{type}: {message}"`` of a failed
          slot's exception, ``""`` for a result;
        - ``"dof"`` (int64), ``"reduced_chi_square"``, ``"aic"`` and
          ``"bic"`` (float64): the :class:`FitResult` attributes of those
          names, for comparing models fitted to the same spectra.

        A failed slot has NaN values, errors, cost and criteria, ``success``
        False, ``iterations`` and ``dof`` 0 and empty ``method`` and
        ``message``.  Results of
        different circuits share one table: the parameter columns are the
        union of their names in order of first appearance, NaN where a
        result has no such parameter.

    Raises
    ------
    TypeError
        For an item that is neither a FitResult nor an exception, or a
        `circuit` that is neither a Circuit nor a str.
    ValueError
        For a `circuit` text that is no model name or valid expression.

    Examples
    --------
    >>> import numpy as np
    >>> import kelvora as kv
    >>> f = np.logspace(5, -1, 40)
    >>> z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
    >>> table = kv.results_table(kv.fit_many("rc", [(f, z), (f, z[:3])]))
    >>> list(table)[:6]
    ['R0.r', 'R1.r', 'C1.c', 'R0.r_stderr', 'R1.r_stderr', 'C1.c_stderr']
    >>> table["error"]
    ['', 'ValueError: frequencies and impedances must have the same length']
    """
