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
    log_r = np.log10(v["R%s.r" % k])
    if "C%s.c" % k in v:
        log_tau = log_r + np.log10(v["C%s.c" % k])
    else:  # in logarithms: an exponent near zero would overflow the power
        log_tau = (log_r + np.log10(v["CPE%s.q" % k])) / v["CPE%s.alpha" % k]
    return -log_tau - np.log10(2.0 * np.pi)


def placed_arcs(name, seed):
    """4000 draws of the model's values with their window, and both arcs'
    log-frequencies, checked against the frequencies the prior placed."""
    names = list(BY_NAME[name].param_names)
    rng = np.random.default_rng(seed)
    _, lo, hi = prior2.sample_window(rng, 30, 4000)
    v = prior2.sample_values(names, rng, lo, hi)
    lf1, lf2 = arc_log_frequency(v, "1"), arc_log_frequency(v, "2")
    # the element values follow the arc frequencies the prior placed
    np.testing.assert_allclose(lf1, v["_lf1"], atol=1e-9)
    np.testing.assert_allclose(lf2, v["_lf2"], atol=1e-9)
    return v, lo, hi, lf1, lf2


@pytest.mark.parametrize("name, reversed_share", [
    ("sei_randles", 1 - (1 - prior2.REVERSED_SHARE) * (1 - prior2.DIFFUSION_ABOVE_SHARE)),
    ("sei_randles_wo", 1 - (1 - prior2.REVERSED_SHARE) * (1 - prior2.DIFFUSION_ABOVE_SHARE)),
    ("two_rc", 0.0),
    ("two_rc_l", 0.0),
    ("two_rq", 0.0),
    ("two_rq_l", 0.0),
])
def test_second_arc_above_the_first_only_where_the_order_matters(name, reversed_share):
    v, _, _, lf1, lf2 = placed_arcs(name, 5)
    arcs = ~v.get("_resistive", np.zeros(len(lf1), bool))
    assert np.mean(lf2[arcs] > lf1[arcs]) == pytest.approx(reversed_share, abs=0.03)


@pytest.mark.parametrize("name", ["two_rc", "two_rc_l", "two_rq", "two_rq_l", "sei_randles"])
def test_best_fit_labels_put_interchangeable_arcs_in_order(name):
    kv = pytest.importorskip("kelvora")
    from training import synth
    from training.registry import log_flags

    model = BY_NAME[name]
    names = list(model.param_names)
    rng = np.random.default_rng(11)
    _, lo, hi = prior2.sample_window(rng, 30, 200)
    v = prior2.sample_values(names, rng, lo, hi)
    if "L0.l" in names:
        v["L0.l"] = 10.0 ** rng.uniform(-9, -5, 200)
    p = np.stack([v[n] for n in names], axis=1)
    # a best fit may name the arcs the other way round: relabel half the rows
    pairs = prior2.arc_pairs(model)
    flipped = p.copy()
    for i, j in pairs:
        flipped[::2, i], flipped[::2, j] = p[::2, j], p[::2, i]
    ones = np.ones(len(p))
    t = prior2.canonical_arcs(model, synth.targets_from_params(model, flipped, ones, ones))
    logs = np.array(log_flags(names))
    back = np.where(logs, 10.0 ** t, t)
    if pairs:
        # arc 1 above arc 2 again, as the prior places them
        np.testing.assert_allclose(back, p, rtol=1e-9)
    else:
        np.testing.assert_allclose(back, flipped, rtol=1e-9)
    # either way the circuit is the same one
    c = kv.Circuit(model.circuit)
    f = np.logspace(5, -2, 40)
    for row in range(0, 200, 37):
        np.testing.assert_allclose(c.with_values(list(back[row])).impedance(f),
                                   c.with_values(list(flipped[row])).impedance(f), rtol=1e-9)


@pytest.mark.parametrize("name", ["sei_randles", "sei_randles_wo"])
def test_reversed_labels_only_where_the_spectrum_shows_the_order(name):
    kv = pytest.importorskip("kelvora")
    model = BY_NAME[name]
    names = list(model.param_names)
    f, z, p = prior2.generate_wide(model, np.random.default_rng(3), 300, 40, kv,
                                   artefacts=False, noise=0.0)
    v = {n: p[:, i] for i, n in enumerate(names)}
    c = kv.Circuit(model.circuit)
    # (the resistive second branches of the Wo2 circuit have no arc to order)
    arcs = v["CPE2.alpha"] > prior2.RESISTIVE_ALPHA[1]
    reversed_rows = np.flatnonzero(arcs & (arc_log_frequency(v, "2") > arc_log_frequency(v, "1")))
    # some draws keep the reversed order, fewer than were drawn (the rest were relabelled)
    drawn = 1 - (1 - prior2.REVERSED_SHARE) * (1 - prior2.DIFFUSION_ABOVE_SHARE)
    assert 0.05 * len(p) < len(reversed_rows) < drawn * len(p)
    for row in range(len(p)):
        z_label = c.with_values([v[n][row] for n in c.param_names()]).impedance(f[row])
        np.testing.assert_allclose(z_label, z[row], rtol=1e-12)
    for row in reversed_rows:
        twin = dict((n, v[n][row]) for n in names)
        for a, b in (("R1.r", "R2.r"), ("CPE1.q", "CPE2.q"), ("CPE1.alpha", "CPE2.alpha")):
            twin[a], twin[b] = twin[b], twin[a]
        z_twin = c.with_values([twin[n] for n in c.param_names()]).impedance(f[row])
        assert np.max(np.abs(z_twin - z[row]) / np.abs(z[row])) >= prior2.REORDER_TOL


@pytest.mark.parametrize("name", ["two_rq", "two_rq_l", "two_rc", "sei_randles"])
def test_overlapping_and_blocking_arcs_only_for_two_cpe_arcs(name):
    v, lo, hi, lf1, lf2 = placed_arcs(name, 8)
    close = np.abs(lf1 - lf2) < prior2.ARC_SEP[0]
    if name not in ("two_rq", "two_rq_l"):
        assert "_overlap" not in v and not close.any()
        return
    overlap, blocking = v["_overlap"], v["_blocking"]
    assert not (overlap & blocking).any()
    assert overlap.mean() == pytest.approx(prior2.OVERLAP_SHARE, abs=0.03)
    assert blocking.mean() == pytest.approx(prior2.BLOCKING_SHARE, abs=0.03)
    # overlapping: the only arcs closer than the usual separation, one broad and one nearly ideal
    np.testing.assert_array_equal(close, overlap)
    a1, a2 = v["CPE1.alpha"][overlap], v["CPE2.alpha"][overlap]
    assert np.all(np.minimum(a1, a2) <= prior2.BROAD_ALPHA[1])
    assert np.all(np.maximum(a1, a2) >= prior2.IDEAL_ALPHA[0])
    assert 0.4 < np.mean(a1 < a2) < 0.6          # either one the higher-frequency arc
    # blocking: arc 1 inside the window, a nearly ideal arc 2 well below it with the larger resistance
    assert np.all((lf1[blocking] > lo[blocking]) & (lf1[blocking] < hi[blocking]))
    assert np.all(lf2[blocking] <= lo[blocking] - prior2.BLOCKING_BELOW[0] + 1e-9)
    assert np.all(v["CPE2.alpha"][blocking] >= prior2.BLOCKING_ALPHA[0])
    assert np.all(v["R2.r"][blocking] > v["R1.r"][blocking])
    # often beside a broad first arc, the shape of many battery cycles
    broad = v["CPE1.alpha"][blocking] <= prior2.BROAD_ALPHA[1]
    assert broad.mean() > prior2.BLOCKING_BROAD_SHARE
    # the interchangeable arcs still come in one order
    assert np.all(lf1 >= lf2)


@pytest.mark.parametrize("name", list(BY_NAME))
def test_every_model_draws_its_values_with_the_arcs_where_they_were_placed(name):
    names = list(BY_NAME[name].param_names)
    rng = np.random.default_rng(8)
    _, lo, hi = prior2.sample_window(rng, 30, 500)
    v = prior2.sample_values(names, rng, lo, hi)
    assert set(names) <= set(v)
    for n in names:
        assert np.all(np.isfinite(v[n])) and (n == "L0.l" or np.all(v[n] > 0)), n
    for k in ("1", "2"):
        if "R%s.r" % k in names and ("C%s.c" % k in names or "CPE%s.q" % k in names):
            np.testing.assert_allclose(arc_log_frequency(v, k), v["_lf" + k], atol=1e-9)


@pytest.mark.parametrize("name", ["sei_randles_wo", "sei_randles", "two_rq"])
def test_resistive_second_branch_only_for_the_finite_diffusion_circuit(name, monkeypatch):
    monkeypatch.setattr(prior2, "RESISTIVE_SHARE", 0.2)   # the shipped prior may leave the shape out
    v, lo, hi, lf1, _ = placed_arcs(name, 9)
    on = v.get("_resistive", np.zeros(len(lo), bool))
    if name != "sei_randles_wo":
        assert not on.any()
        return
    assert on.mean() == pytest.approx(prior2.RESISTIVE_SHARE, abs=0.03)
    a2 = v["CPE2.alpha"][on]
    assert a2.min() >= prior2.RESISTIVE_ALPHA[0] and a2.max() <= prior2.RESISTIVE_ALPHA[1]
    # the first arc at or below the lowest frequency, the diffusion bend inside the window
    assert np.all(lf1[on] <= lo[on] + 1e-9) and np.all(lf1[on] >= lo[on] - prior2.RESISTIVE_ARC1_BELOW[1])
    bend = -np.log10(2 * np.pi * v["Wo2.tau"][on])
    frac = (bend - lo[on]) / (hi - lo)[on]
    assert frac.min() >= prior2.RESISTIVE_BEND[0] - 1e-9 and frac.max() <= prior2.RESISTIVE_BEND[1] + 1e-9
    # CPE2 is a resistance Rp below z0 at the bend, and R2 next to nothing
    rp = 1.0 / (v["CPE2.q"][on] * (2 * np.pi * 10.0 ** bend) ** a2)
    ratio = np.log10(rp / v["Wo2.z0"][on])
    assert ratio.min() >= prior2.RESISTIVE_LOG_RP[0] - 1e-9 and ratio.max() <= 1e-9
    assert np.all(v["R2.r"][on] <= 1e-3 * v["R1.r"][on])


@pytest.mark.parametrize("name", ["sei_randles", "sei_randles_wo", "two_rq"])
def test_diffusion_branch_above_an_ideal_arc_only_for_the_randles_circuits(name):
    v, lo, hi, lf1, lf2 = placed_arcs(name, 12)
    on = v.get("_above", np.zeros(len(lo), bool))
    if name == "two_rq":
        assert not on.any()
        return
    # (a resistive second branch, drawn after, takes precedence)
    resistive = v.get("_resistive", np.zeros(len(lo), bool))
    assert not (on & resistive).any()
    assert on.mean() == pytest.approx(prior2.DIFFUSION_ABOVE_SHARE * (1 - resistive.mean()), abs=0.03)
    assert np.all(v["_reversed"][on])
    sep = lf2[on] - lf1[on]
    assert sep.min() >= prior2.DIFFUSION_ABOVE_SEP[0] - 1e-9 and sep.max() <= prior2.DIFFUSION_ABOVE_SEP[1] + 1e-9
    assert v["CPE1.alpha"][on].min() >= prior2.DIFFUSION_ABOVE_ALPHA1[0]
    assert v["CPE2.alpha"][on].max() <= prior2.DIFFUSION_ABOVE_ALPHA2[1]
    if name == "sei_randles_wo":
        bend = -np.log10(2 * np.pi * v["Wo2.tau"][on])
        below = lo[on] - bend
        assert below.min() >= prior2.DIFFUSION_ABOVE_BEND[0] - 1e-9
        assert below.max() <= prior2.DIFFUSION_ABOVE_BEND[1] + 1e-9
        return
    # a small tail: |Z_W| at the lowest frequency a tenth of R2 or less
    w_lo = 2 * np.pi * 10.0 ** lo[on]
    tail = v["W2.aw"][on] * np.sqrt(2.0 / w_lo) / v["R2.r"][on]
    assert tail.max() <= 10 ** (-prior2.DIFFUSION_ABOVE_TAIL[0] / 2) + 1e-9
    assert tail.min() >= 10 ** (-prior2.DIFFUSION_ABOVE_TAIL[1] / 2) - 1e-9



@pytest.mark.parametrize("name", ["sei_randles", "sei_randles_wo"])
def test_spectra_whose_noise_hides_the_order_are_labelled_with_the_diffusion_branch_above(name):
    kv = pytest.importorskip("kelvora")
    model = BY_NAME[name]
    names = list(model.param_names)
    c = kv.Circuit(model.circuit)

    def cost(values, row):
        r = np.array(c.residuals([values[n][row] for n in c.param_names()], f[row], z[row]))
        return 0.5 * float(r @ r)

    # noiseless, every spectrum shows its order: nothing moves
    f, z, p = prior2.generate_wide(model, np.random.default_rng(11), 24, 40, kv,
                                   artefacts=False, noise=0.0)
    labels, changed = prior2.label_diffusion_above(kv, model.circuit, names, f, z, p)
    assert not changed.any()
    np.testing.assert_array_equal(labels, p)
    # at 1% noise many do not
    f, z, p = prior2.generate_wide(model, np.random.default_rng(11), 48, 40, kv,
                                   artefacts=False, noise=0.01)
    labels, changed = prior2.label_diffusion_above(kv, model.circuit, names, f, z, p)
    v = {n: p[:, i] for i, n in enumerate(names)}
    new = {n: labels[:, i] for i, n in enumerate(names)}
    arcs = v["CPE2.alpha"] > prior2.RESISTIVE_ALPHA[1]
    usual = arcs & (arc_log_frequency(v, "2") < arc_log_frequency(v, "1"))
    # only usual-order rows move, and not all of them
    assert changed.any() and not changed[~usual].any() and (usual & ~changed).any()
    np.testing.assert_array_equal(labels[~changed], p[~changed])
    assert (arc_log_frequency(new, "2") > arc_log_frequency(new, "1"))[changed].all()
    # a new label fits the noisy spectrum about as well as the drawn values
    for row in np.flatnonzero(changed):
        assert cost(new, row) <= prior2.ORDER_TIE * cost(v, row) * (1 + 1e-9)


@pytest.mark.parametrize("name", ["two_rq", "two_rq_l"])
def test_near_tied_low_arcs_are_labelled_as_blocking_branches(name):
    kv = pytest.importorskip("kelvora")
    model = BY_NAME[name]
    names = list(model.param_names)
    f, z, p = prior2.generate_wide(model, np.random.default_rng(5), 48, 40, kv, artefacts=False, noise=0.01)
    labels, changed = prior2.label_low_arc_blocking(kv, model.circuit, names, f, z, p)
    assert changed.any() and not changed.all()
    np.testing.assert_array_equal(labels[~changed], p[~changed])
    new = {n: labels[changed, i] for i, n in enumerate(names)}
    old = {n: p[changed, i] for i, n in enumerate(names)}
    low_is_2 = prior2._log_arc_frequency(old, "2") < prior2._log_arc_frequency(old, "1")
    r_low = np.where(low_is_2, new["R2.r"], new["R1.r"])
    r_high = np.where(low_is_2, new["R1.r"], new["R2.r"])
    # opened into a blocking branch, held to the cap above the other arc
    ratio = np.log10(r_low / r_high)
    assert ratio.min() >= prior2.BLOCKING_LABEL_DECADES - 1 - 1e-9
    assert ratio.max() <= prior2.BLOCKING_LABEL_DECADES + 1e-9
    # a label is positive and finite, exponents within their bounds
    assert np.isfinite(labels).all() and (labels > 0).all()
    alphas = [i for i, n in enumerate(names) if n.endswith(".alpha")]
    assert labels[:, alphas].max() <= 1.0


def test_resistive_draws_the_guess_fits_as_well_are_labelled_with_its_fit():
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    names = list(model.param_names)
    c = kv.Circuit(model.circuit)
    share = prior2.RESISTIVE_SHARE
    prior2.RESISTIVE_SHARE = 1.0
    try:
        f, z, p = prior2.generate_wide(model, np.random.default_rng(3), 40, 40, kv, artefacts=False, noise=0.01)
    finally:
        prior2.RESISTIVE_SHARE = share
    rows = p[:, names.index("CPE2.alpha")] <= prior2.RESISTIVE_ALPHA[1]
    rows[::2] = False
    labels, changed = prior2.label_guess_tie(kv, model.circuit, names, f, z, p, rows, None)
    assert changed.any() and not changed[~rows].any()
    np.testing.assert_array_equal(labels[~changed], p[~changed])

    def cost(values, row):
        r = np.array(c.residuals([values[row, names.index(n)] for n in c.param_names()], f[row], z[row]))
        return 0.5 * float(r @ r)

    for row in np.flatnonzero(changed):
        assert cost(labels, row) <= prior2.ORDER_TIE * cost(p, row) * (1 + 1e-9)


def test_a_draw_with_a_lower_basin_is_labelled_with_it():
    # A battery-like spectrum whose best fit has a resistive second branch,
    # "drawn" once with those values and once with an ordinary branch and a
    # tail, the shape LM stays in a few percent above it.
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    names = list(model.param_names)
    c = kv.Circuit(model.circuit)
    resistive = [0.284, 1.103, 14.73, 0.8838, 1e-12, 1.034, 8.799e-3, 1.570, 0.02907]
    ordinary = [0.2615, 0.3061, 0.04154, 0.9543, 0.2938, 2.696, 273.0, 0.05685, 0.4935]
    f = np.logspace(np.log10(2e4), np.log10(0.02), 60)
    z = c.with_values(resistive).impedance(f)
    z = z * (1 + 0.002 * np.random.default_rng(0).standard_normal(60))
    order = [c.param_names().index(n) for n in names]
    p = np.array([ordinary, resistive])[:, order]
    marked = np.full_like(p, 7.0)                      # labels a labeller gave before
    labels, changed = prior2.label_lower_basin(kv, model.circuit, names, np.stack([f, f]), np.stack([z, z]),
                                                p, marked, 0)
    assert changed[0]
    np.testing.assert_array_equal(labels[~changed], marked[~changed])

    def cost(values):
        return c.with_values([values[names.index(n)] for n in c.param_names()]).fit(f, z, guess_init=False).cost

    assert labels[0, names.index("CPE2.alpha")] < 0.1
    for row in np.flatnonzero(changed):
        assert cost(labels[row]) * prior2.ORDER_TIE < cost(p[row])


def test_resistive_stray_adds_the_inductance_to_every_resistive_draw_only():
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    names = list(model.param_names)
    saved = prior2.RESISTIVE_SHARE, prior2.RESISTIVE_STRAY
    out = {}
    try:
        prior2.RESISTIVE_SHARE = 0.5
        for always in (False, True):
            prior2.RESISTIVE_STRAY = always
            out[always] = prior2.generate_wide(model, np.random.default_rng(11), 200, 30, kv, noise=0.0)
    finally:
        prior2.RESISTIVE_SHARE, prior2.RESISTIVE_STRAY = saved
    (_, z0, p0), (_, z1, p1) = out[False], out[True]
    np.testing.assert_array_equal(p0, p1)
    resistive = p0[:, names.index("CPE2.alpha")] <= prior2.RESISTIVE_ALPHA[1]
    changed = np.any(z0 != z1, axis=1)
    assert changed.any() and not changed[~resistive].any()
    # a series inductance lifts the top point's reactance
    assert (z1[changed, 0].imag > z0[changed, 0].imag).all()
    # about half the resistive draws had one already
    assert 0.3 < changed.sum() / resistive.sum() < 0.7


def lag1_correlation(x):
    """Per row, the correlation of neighbouring points of the real array x."""
    x = x - x.mean(axis=1, keepdims=True)
    return (x[:, 1:] * x[:, :-1]).sum(axis=1) / (x * x).sum(axis=1)


def test_smooth_misfit_is_a_correlated_relative_error_of_the_drawn_size():
    rng = np.random.default_rng(5)
    B, n = 400, 60
    freqs = np.tile(np.logspace(4.3, -1.7, n), (B, 1))
    z = (1.0 + 2.0j) * 10.0 ** rng.uniform(-2, 3, (B, 1)) * np.ones((B, n))
    out = prior2.add_smooth_misfit(rng, freqs, z, 0.5)
    e = out / z - 1.0
    on = np.abs(e).max(axis=1) > 1e-12
    assert 0.4 < on.mean() < 0.6
    rms = np.sqrt(np.mean(np.abs(e[on]) ** 2, axis=1))
    lo, hi = 10.0 ** np.array(prior2.LOG_SMOOTH_MISFIT)
    assert (rms > lo * 0.999).all() and (rms < hi * 1.001).all()
    # neighbouring points move together, unlike white noise
    assert np.median(lag1_correlation(e[on].real)) > 0.6
    assert np.median(lag1_correlation(rng.standard_normal((B, n)))) < 0.1


def test_the_smooth_misfit_leaves_the_stream_alone_unless_asked(monkeypatch):
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    out = {}
    for share in (0.0, 1.0):
        monkeypatch.setattr(prior2, "SMOOTH_MISFIT_SHARE", share)
        out[share] = prior2.generate_wide(model, np.random.default_rng(3), 50, 30, kv, noise=0.0)
    (f0, z0, p0), (f1, z1, p1) = out[0.0], out[1.0]
    np.testing.assert_array_equal(p0, p1)
    rel = np.abs(z1 / z0 - 1.0)
    assert (rel.max(axis=1) > 1e-3).all() and rel.max() < 0.2


def test_extra_arc_is_a_small_capacitive_arc_on_resistive_draws_only(monkeypatch):
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    names = list(model.param_names)
    monkeypatch.setattr(prior2, "RESISTIVE_SHARE", 0.5)
    out, shapes = {}, {}
    for share in (0.0, 0.5):
        monkeypatch.setattr(prior2, "RESISTIVE_EXTRA_ARC", share)
        shapes[share] = {}
        out[share] = prior2.generate_wide(model, np.random.default_rng(4), 300, 40, kv, artefacts=False,
                                          noise=0.0, shapes=shapes[share])
    (_, z0, p0), (_, z1, p1) = out[0.0], out[0.5]
    np.testing.assert_array_equal(p0, p1)
    assert "_extra_arc" not in shapes[0.0]
    on, resistive = shapes[0.5]["_extra_arc"], shapes[0.5]["_resistive"]
    np.testing.assert_array_equal(np.any(z0 != z1, axis=1), on)
    assert on.any() and not on[~resistive].any()
    assert 0.3 < on.sum() / resistive.sum() < 0.7
    d = (z1 - z0)[on]
    r0 = p0[on, names.index("R0.r")][:, None]
    # an (R, CPE) arc: resistive part positive and rising towards low
    # frequencies, capacitive, never larger than its resistance
    assert (d.real > 0).all() and (d.imag < 0).all()
    assert (np.diff(d.real, axis=1) >= -1e-12 * r0).all()
    assert (np.abs(d) <= 10.0 ** prior2.EXTRA_ARC_LOG_R[1] * r0 * (1 + 1e-9)).all()


def test_best_fit_labels_replace_only_the_masked_rows_and_fit_at_least_as_well():
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    names = list(model.param_names)
    rng = np.random.default_rng(8)
    f, z, p = prior2.generate_wide(model, rng, 4, 40, kv, artefacts=False, noise=0.0)
    z = z * (1.0 + 0.02 * np.sin(np.log10(f) * 3.0))      # no longer the model's circuit
    rows = np.array([True, False, True, False])
    labels, changed = prior2.label_best_fit(kv, model, f, z, p, p, rows, rng)
    np.testing.assert_array_equal(labels[~rows], p[~rows])
    assert changed[rows].all() and not changed[~rows].any()
    c = kv.Circuit(model.circuit)

    def cost(values, row):
        r = np.array(c.residuals([values[row, names.index(n)] for n in c.param_names()], f[row], z[row]))
        return 0.5 * float(r @ r)

    for row in np.flatnonzero(rows):
        assert cost(labels, row) <= cost(p, row) * (1 + 1e-9)


def test_tail_spectra_are_two_arcs_and_a_constant_phase_line_where_placed():
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    B, n = 200, 50
    f, z, drawn, starts = prior2.generate_tail(model, np.random.default_rng(11), B, n, kv, clean=True)
    r0, r1, q1, a1, r2, q2, a2, qt, at = drawn.T
    s = 2j * np.pi * f
    zarc = lambda r, q, a: r[:, None] / (1.0 + r[:, None] * q[:, None] * s ** a[:, None])  # noqa: E731
    expected = r0[:, None] + zarc(r1, q1, a1) + zarc(r2, q2, a2) + 1.0 / (qt[:, None] * s ** at[:, None])
    np.testing.assert_allclose(z, expected, rtol=1e-10)
    lo, hi = np.log10(f[:, -1]), np.log10(f[:, 0])
    lf1 = -np.log10(r1 * q1) / a1 - np.log10(2 * np.pi)
    lf2 = -np.log10(r2 * q2) / a2 - np.log10(2 * np.pi)
    frac = (lf1 - lo) / (hi - lo)
    assert (frac >= prior2.TAIL_ARC1_AT[0] - 1e-9).all() and (frac <= prior2.TAIL_ARC1_AT[1] + 1e-9).all()
    assert (lf2 > lf1).all() and (lf2 <= hi + 0.5 + 1e-9).all()
    assert (a2 < a1).all()
    # the tail reaches its drawn size against the arcs at the lowest frequency
    size = np.abs(1.0 / (qt * (2 * np.pi * f[:, -1]) ** at)) / (r1 + r2)
    assert (np.log10(size) >= prior2.TAIL_LOG_SIZE[0] - 1e-9).all()
    assert (np.log10(size) <= prior2.TAIL_LOG_SIZE[1] + 1e-9).all()
    assert all(set(st) >= set(model.param_names) for st in starts)
    c = kv.Circuit(model.circuit)
    assert all(np.isfinite(c.with_values([st[k] for k in c.param_names()]).impedance(f[0])).all()
               for st in starts[:5])


def test_tail_spectra_carry_the_artefacts_unless_clean():
    kv = pytest.importorskip("kelvora")
    model = BY_NAME["sei_randles_wo"]
    clean = prior2.generate_tail(model, np.random.default_rng(12), 100, 40, kv, clean=True)
    dirty = prior2.generate_tail(model, np.random.default_rng(12), 100, 40, kv)
    np.testing.assert_array_equal(clean[2], dirty[2])
    rel = np.abs(dirty[1] / clean[1] - 1.0)
    assert (rel.max(axis=1) > 0).all()
    # stray inductance raises the reactance at the top of the window on some of them
    assert ((dirty[1][:, 0].imag - clean[1][:, 0].imag) > 1e-3 * np.abs(clean[1][:, 0])).any()
