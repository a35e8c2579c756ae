"""The training prior's arc placement: interchangeable arcs keep one order, the
Randles-type circuits (diffusion element in the second branch) get both."""

import os
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from training import prior2  # noqa: E402
from training.registry import BY_NAME  # noqa: E402


def arc_log_frequency(v, k):
    """log10 of 1 / (2 pi tau) of arc k from the drawn values, tau = (R Q)^(1/alpha) or R C."""
    r = v["R%s.r" % k]
    if "C%s.c" % k in v:
        tau = r * v["C%s.c" % k]
    else:
        tau = (r * v["CPE%s.q" % k]) ** (1.0 / v["CPE%s.alpha" % k])
    return np.log10(1.0 / (2.0 * np.pi * tau))


@pytest.mark.parametrize("name, reversed_share", [
    ("sei_randles", prior2.REVERSED_SHARE),
    ("sei_randles_wo", prior2.REVERSED_SHARE),
    ("two_rc", 0.0),
    ("two_rc_l", 0.0),
    ("two_rq", 0.0),
    ("two_rq_l", 0.0),
])
def test_second_arc_above_the_first_only_where_the_order_matters(name, reversed_share):
    names = list(BY_NAME[name].param_names)
    rng = np.random.default_rng(5)
    _, lo, hi = prior2.sample_window(rng, 30, 4000)
    v = prior2.sample_values(names, rng, lo, hi)
    lf1, lf2 = arc_log_frequency(v, "1"), arc_log_frequency(v, "2")
    # the element values follow the arc frequencies the prior placed
    np.testing.assert_allclose(lf1, v["_lf1"], atol=1e-9)
    np.testing.assert_allclose(lf2, v["_lf2"], atol=1e-9)
    assert np.mean(lf2 > lf1) == pytest.approx(reversed_share, abs=0.03)
