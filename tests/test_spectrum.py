"""Reading measured spectra: two sequences, or a dataframe-like object."""
import math

import numpy as np
import pytest

import kelvora as kv

R0 = kv.Circuit("R0")


def read(frequencies, impedances=None):
    """The spectrum as the module reads it: with a zero resistor and unit
    weights the residuals are minus the measured impedances."""
    r = R0.residuals([0.0], frequencies, impedances, weight="unit")
    return [complex(-r[2 * i], -r[2 * i + 1]) for i in range(len(r) // 2)]


def test_two_sequences_keep_every_row():
    z = read([0.0, -1.0, math.nan, 10.0], [1 + 1j, 2, 3j, 4 - 4j])
    assert z == [1 + 1j, 2 + 0j, 3j, 4 - 4j]
    assert read([], []) == []
    assert read(np.array([1.0, 2.0]), np.array([1 + 2j, 3 + 4j])) == [1 + 2j, 3 + 4j]


def test_pandas_series_of_complex():
    pd = pytest.importorskip("pandas")
    assert read(pd.Series([1.0, 2.0]), pd.Series([1 + 1j, 2 - 2j])) == [1 + 1j, 2 - 2j]


@pytest.mark.parametrize(
    "frequencies, impedances, exc, message",
    [
        ("12", [1.0, 2.0], TypeError, "Can't extract `str` to `Vec`"),
        ([1.0, 2.0], "12", TypeError, "Can't extract `str` to `Vec`"),
        (5, [1.0], TypeError, "'int' object cannot be converted to 'Sequence'"),
        ([1.0], {1, 2}, TypeError, "'set' object cannot be converted to 'Sequence'"),
        ([1.0, "a"], [1.0, 2.0], TypeError, None),
        ([1.0, 2.0], [1.0, object()], TypeError, None),
        ([1.0, 2.0], [1.0], ValueError, "frequencies and impedances must have the same length"),
    ],
)
def test_two_sequence_errors(frequencies, impedances, exc, message):
    with pytest.raises(exc) as info:
        read(frequencies, impedances)
    if message:
        assert str(info.value) == message


def test_dataframe_real_and_imaginary():
    frame = {"frequency_hertz": [1, 2], "real_impedance_ohm": [1, 1], "imaginary_impedance_ohm": [0, 0]}
    assert read(frame) == [1, 1]
    frame = {
        "Frequency / Hz": [0.0, math.nan, 10.0],
        "Real Impedance / ohm": [1.0, 2.0, 3.0],
        "Imaginary Impedance / ohm": [-1.0, -2.0, -3.0],
        "Absolute Impedance / ohm": [9.0, 9.0, 9.0],  # ignored when both parts are present
        "Phase / deg": [0.0, 0.0, 0.0],
    }
    assert read(frame) == [3 - 3j]


def test_dataframe_modulus_and_phase():
    z = read({"frequency_hertz": [1.0], "absolute_impedance_ohm": [1.0], "phase_degree": [-90.0]})
    assert z[0].real == 6.123233995736766e-17 and z[0].imag == -1.0
    # a half pair of real/imaginary falls through to modulus and phase
    z = read({"frequency_hertz": [1.0], "Real Impedance / ohm": [5.0], "Absolute Impedance / ohm": [2.0],
              "Phase / deg": [0.0]})
    assert z == [2 + 0j]


def test_pandas_dataframe():
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"Frequency / Hz": [1.0, 2.0, -1.0], "Real Impedance / ohm": [1.0, 2.0, 3.0],
                       "Imaginary Impedance / ohm": [0.5, 0.25, 0.0]})
    assert read(df) == [1 + 0.5j, 2 + 0.25j]


P_FREQ = '"Frequency / Hz" or "frequency_hertz"'
P_RE = '"Real Impedance / ohm" or "real_impedance_ohm"'
P_IM = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
P_MOD = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
P_PH = '"Phase / deg" or "phase_degree"'


@pytest.mark.parametrize(
    "frame, message",
    [
        ({"f": [1.0]}, f"expected a dataframe with a {P_FREQ} column, or frequencies and impedances as two arguments"),
        ({"frequency_hertz": [1.0, 2.0], "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0, 2.0]},
         "real and imaginary impedance columns must have the same length"),
        ({"frequency_hertz": [1.0], "absolute_impedance_ohm": [1.0], "phase_degree": [1.0, 2.0]},
         "absolute impedance and phase columns must have the same length"),
        ({"frequency_hertz": [1.0], "real_impedance_ohm": [1.0]},
         f"no impedance columns: expected {P_RE} together with {P_IM}, or {P_MOD} together with {P_PH}"),
        ({"frequency_hertz": [1.0, 2.0, 3.0], "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0]},
         f"frequency column has 3 rows but {P_RE} and {P_IM} have 1"),
        ({"frequency_hertz": [1.0], "absolute_impedance_ohm": [1.0, 2.0], "phase_degree": [1.0, 2.0]},
         f"frequency column has 1 rows but {P_MOD} and {P_PH} have 2"),
        ({"frequency_hertz": [0.0, math.nan], "real_impedance_ohm": [1.0, 1.0], "imaginary_impedance_ohm": [1.0, 1.0]},
         f"no measured points: every row of the {P_FREQ} column is zero or negative"),
        ({"frequency_hertz": [1.0], "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0],
          "Phase / deg": ["a"]}, 'column "Phase / deg" is not numeric'),
        ({"frequency_hertz": "abc", "real_impedance_ohm": [1.0], "imaginary_impedance_ohm": [1.0]},
         'column "frequency_hertz" is not numeric'),
    ],
)
def test_dataframe_errors(frame, message):
    with pytest.raises(ValueError) as info:
        read(frame)
    assert str(info.value) == message


def test_frame_lookup_errors_count_as_missing():
    class Frame:
        def __getitem__(self, key):
            if key == "frequency_hertz":
                return [1.0]
            if key == "real_impedance_ohm":
                raise RuntimeError("boom")  # any failure of the lookup means "not found"
            if key == "absolute_impedance_ohm":
                return [2.0]
            if key == "phase_degree":
                return [0.0]
            raise KeyError(key)

    assert read(Frame()) == [2 + 0j]
