"""Levenberg-Marquardt on real measured spectra, from the guessed starting
values: every fit ends with a finite cost inside the bounds, reproducibly.
Skipped when the shared collection of measured spectra is absent."""
import csv
import glob
import math
import os

import pytest

import kelvora as kv

SPECTRA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "..", "shared", "realdata",
                       "spectra")
FILES = sorted(glob.glob(os.path.join(SPECTRA, "*.csv")))
pytestmark = pytest.mark.skipif(not FILES, reason="measured spectra not available")


def load(path):
    with open(path, newline="") as fh:
        rows = list(csv.DictReader(fh))
    f = [float(r["frequency_hertz"]) for r in rows]
    z = [complex(float(r["real_impedance_ohm"]), float(r["imaginary_impedance_ohm"])) for r in rows]
    return f, z


@pytest.mark.parametrize("name, stride", [("R0-(R1,C1)", 3), ("randles", 3), ("sei_randles_wo", 48)])
def test_fits_of_measured_spectra(name, stride):
    circuit = kv.Circuit(name)
    bounds = circuit.param_bounds()
    for path in FILES[::stride]:
        f, z = load(path)
        start = circuit.with_values(circuit.guess(f, z))
        result = start.fit(f, z)
        assert math.isfinite(result.cost), path
        for (lo, hi), v in zip(bounds, result.params.values()):
            assert lo <= v <= hi, path
        if path == FILES[0]:
            assert repr(start.fit(f, z)) == repr(result)


def test_multi_start_swaps_the_arcs_a_search_from_a_degenerate_fit_ended_with():
    # From this start Levenberg-Marquardt opens the first arc (cost 24 times
    # the lowest known, 0.005275); the search from there finds the two arcs
    # the other way round from the lowest basin (1.25 times), and the swap of
    # its result reaches it.
    path = os.path.join(SPECTRA, "autoeis__battery_cycle003.csv")
    if not os.path.exists(path):
        pytest.skip("autoeis cycle 3 not in the collection")
    f, z = load(path)
    start = kv.Circuit("sei_randles_wo").with_values(
        [0.03854, 5.938, 1.474, 0.8573, 0.03222, 4.26, 0.6166, 0.1813, 0.1859])
    assert start.fit(f, z).cost > 10 * 0.005275
    assert start.fit(f, z, method="multi_start", seed=0).cost < 1.01 * 0.005275



# Starts on these spectra that are the lowest basin known, each with a
# parameter on a bound; unbounded, LM from them leaves by a bound.  The fit
# used to end 1.17 to 4 times above its own start:
@pytest.mark.parametrize("name, path, values, start_cost", [
    # the first exponent pushed to 1.45; pinned back at 1 with the magnitude
    # fitted for 1.45, the re-fit ended at 4.08
    ("two_rq", "pyeis__ex1_cycle1.csv",
     [206.4978239, 1762.089094, 1.165982904e-09, 1.0, 100966.4195, 3.886289124e-05, 0.498506334], 1.0826),
    # the run from the start ends inside the bounds, but with the inductance
    # on its lower bound it is not clean; a later run beyond an exponent's
    # bound became the best and was re-fitted to 0.0898
    ("two_rq_l", "autoeis__battery_cycle086.csv",
     [1e-12, 0.1558871017, 2.436752105, 0.1087997674, 0.7994212667, 0.7546070929, 0.03387112999, 0.5979269812],
     0.076488),
    # the best run left by the second exponent's lower bound, the run from the
    # start by both upper bounds: only the start's pins lead back
    ("sei_randles", "uctp_pemfc__CCM-40_125A_1.csv",
     [0.00269054836, 0.006321745119, 0.04349441009, 1.0, 0.000682512715, 1e-12, 0.08806059444, 1.0], 0.26716),
    ("sei_randles_wo", "autoeis__battery_cycle103.csv",
     [0.1520762012, 1.839577445, 0.08768700142, 1.0, 1.06243664, 1.938560605e+89, 3.124849045e+179,
      0.04227822625, 0.5676797157], 0.0027946),
])
def test_a_fit_started_on_a_bound_never_ends_above_its_start(name, path, values, start_cost):
    full = os.path.join(SPECTRA, path)
    if not os.path.exists(full):
        pytest.skip("%s not in the collection" % path)
    f, z = load(full)
    start = kv.Circuit(name).with_values(values)
    r = start.residuals(start.param_values(), f, z)
    cost = 0.5 * sum(x * x for x in r)
    assert cost == pytest.approx(start_cost, rel=1e-4)
    result = start.fit(f, z)
    assert result.success and result.cost <= cost * (1 + 1e-12)
    for (lo, hi), v in zip(start.param_bounds(), result.params.values()):
        assert lo <= v <= hi
