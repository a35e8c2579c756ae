"""method="multi_start" on a spectrum the fitted model cannot match exactly
(three arcs and a tail fitted by two arcs), where Levenberg-Marquardt alone
settles in different basins from different starts."""
import numpy as np
import pytest

import kelvora as kv

F = np.logspace(-2, 5, 50)
Z = kv.Circuit("R0-(R1,CPE1)-(R2,CPE2)-(R3-W3,CPE3)").with_values(
    [5.0, 20.0, 1e-5, 0.85, 60.0, 1e-3, 0.7, 30.0, 20.0, 1e-2, 0.9]).impedance(F)
MODEL = kv.Circuit("two_rq")
STARTS = [
    [35.7, 7.99, 0.0408, 0.89, 0.102, 0.0139, 0.42],
    [82.1, 56.9, 2.73e-06, 0.93, 0.16, 1.04e-05, 0.49],
    [244.0, 0.113, 0.0152, 0.99, 224.0, 7.8e-07, 0.98],
    [7.85, 0.248, 2.77e-05, 0.40, 40.3, 0.0129, 0.48],
]


@pytest.mark.parametrize("start", STARTS)
def test_never_ends_above_levenberg_marquardt_from_the_same_start(start):
    c = MODEL.with_values(start)
    lm = c.fit(F, Z)
    ms = c.fit(F, Z, method="multi_start", seed=3)
    assert ms.cost <= lm.cost * (1 + 1e-9)
    assert ms.impedance_evals > lm.impedance_evals
    for (lo, hi), v in zip(MODEL.param_bounds(), ms.params.values()):
        assert lo <= v <= hi


@pytest.mark.parametrize("start", STARTS[1:3])
def test_leaves_the_basin_levenberg_marquardt_stops_in(start):
    # From these starts Levenberg-Marquardt stops at 3.6 times the lowest
    # minimum known (0.147, from 40 random starts); multi-start at 1.4-2.5.
    c = MODEL.with_values(start)
    assert c.fit(F, Z, method="multi_start", seed=3).cost < 0.75 * c.fit(F, Z).cost


def test_with_nothing_to_improve_the_result_is_the_levenberg_marquardt_fit():
    truth = [10.0, 100.0, 1e-6, 0.9, 300.0, 1e-3, 0.8]
    z = MODEL.with_values(truth).impedance(F)
    near = MODEL.with_values([v * 1.1 for v in truth])
    lm, ms = near.fit(F, z), near.fit(F, z, method="multi_start", seed=1)
    assert ms.cost < 1e-20
    np.testing.assert_allclose(sorted([ms.params["R1.r"], ms.params["R2.r"]]), [100.0, 300.0], rtol=1e-8)
    assert ms.method == "multi_start" and lm.cost < 1e-20
