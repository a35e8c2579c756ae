"""Decoding and validation of weight files, observed through Circuit.guess(weights=...)."""

import itertools
import math
import struct

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

from test_eisnn_writer import blob, f32, meta_for, oracle_blob, record, string, trunk_records, f16  # noqa: E402

F = list(np.logspace(-1, 4, 30))
Z = list(kv.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 1e-4]).impedance(F))
_counter = itertools.count()


@pytest.fixture
def guess(tmp_path):
    """guess(data, circuit) writes data to a fresh file and guesses with it."""
    def run(data, circuit="T1", f=F, z=Z):
        path = str(tmp_path / ("w%d.eisnn" % next(_counter)))
        with open(path, "wb") as fh:
            fh.write(data)
        return kv.Circuit(circuit).guess(f, z, weights=path)
    return run


T_NAMES = ["T1.a", "T1.b", "T1.c", "T1.d"]  # four parameters, one element


def raises_text(guess, data, text, circuit="T1"):
    with pytest.raises(ValueError) as info:
        guess(data, circuit)
    assert str(info.value) == text


def test_oracle_outputs_are_target_mean(guess):
    assert guess(oracle_blob("T1", T_NAMES, [1.5, -2.0, 0.25, 3.0])) == [1.5, -2.0, 0.25, 3.0]


@pytest.mark.parametrize("data,text", [
    (b"EISNN", "weight file is truncated"),
    (b"", "weight file is truncated"),
    (b"EISNN001", "weight file is truncated"),
    (b"EISNN001\x00\x00\x00", "weight file is truncated"),
    (b"EISNN002\x00\x00\x00\x00\x00\x00\x00\x00", "not an eisnn weight file (bad magic bytes)"),
    (b"XISNN001", "not an eisnn weight file (bad magic bytes)"),
    (b"EISNN001\x00\x00\x00\x00", "weight file is truncated"),  # no tensor count
    (b"EISNN001\x00\x00\x00\x00\x00\x00\x00\x00", 'weight file is missing "target_mean"'),
])
def test_header_errors(guess, data, text):
    raises_text(guess, data, text)


def test_binary16_patterns(guess):
    bits = [0x3C00, 0xC000, 0x0001, 0x7C00]
    rec = record("target_mean", [4], b"".join(struct.pack("<H", b) for b in bits), 1)
    assert guess(oracle_blob("T1", T_NAMES, None, mean_record=rec)) == [1.0, -2.0, 2.0 ** -24, math.inf]


def test_binary16_special_patterns(guess):
    bits = [0x8000, 0xFC00, 0x7E00, 0x03FF]  # -0, -inf, NaN, largest subnormal
    rec = record("target_mean", [4], b"".join(struct.pack("<H", b) for b in bits), 1)
    out = guess(oracle_blob("T1", T_NAMES, None, mean_record=rec))
    assert out[0] == 0.0  # -0 + 0 * std is +0
    assert out[1] == -math.inf and math.isnan(out[2]) and out[3] == 1023 * 2.0 ** -24


def test_int8_scaled_encoding(guess):
    rec = record("target_mean", [2], struct.pack("<f", 0.5) + bytes([0x02, 0xFE]), 2)
    assert guess(oracle_blob("Cpe1", ["CPE1.q", "CPE1.alpha"], None, mean_record=rec), "CPE1") == [1.0, -1.0]


@pytest.mark.parametrize("dims", [[], [3, 0], [0]])
def test_rank_zero_and_zero_dimension_hold_one_value(guess, dims):
    # An unused tensor before the required ones: reading a wrong byte count
    # would corrupt every later record.
    extra = record("extra", dims, struct.pack("<f", 7.0), 0)
    data = oracle_blob("T1", T_NAMES, [1.0, 2.0, 3.0, 4.0])
    # insert the extra record as the first tensor
    head, count_pos = _split_tensor_table(data)
    data = head + struct.pack("<I", count_pos[0] + 1) + extra + count_pos[1]
    assert guess(data) == [1.0, 2.0, 3.0, 4.0]


def _split_tensor_table(data):
    """(bytes before the tensor count, (count, records))."""
    pos = 8
    (m,) = struct.unpack_from("<I", data, pos)
    pos += 4
    for _ in range(2 * m):
        (n,) = struct.unpack_from("<I", data, pos)
        pos += 4 + n
    (t,) = struct.unpack_from("<I", data, pos)
    return data[:pos], (t, data[pos + 4:])


def test_later_entries_replace_earlier_ones_and_trailing_bytes_are_ignored(guess):
    data = oracle_blob("T1", T_NAMES, [1.0, 2.0, 3.0, 4.0], alpha_max="0",
                       extra_meta=[("alpha_max", "2.5"), ("unused", "x")],
                       extra_records=[f32("target_mean", [9.0, 8.0, 7.0, 6.0])])
    assert guess(data + b"garbage after the last record") == [2.5, 2.5, 2.5, 2.5]


def test_invalid_utf8_metadata_is_truncated(guess):
    data = oracle_blob("T1", T_NAMES, [1.0, 2.0, 3.0, 4.0], extra_meta=[("note", b"\xff\xfe")])
    raises_text(guess, data, "weight file is truncated")


def test_unknown_encoding(guess):
    data = oracle_blob("T1", T_NAMES, None, mean_record=record("target_mean", [1], b"\x00" * 8, 3))
    raises_text(guess, data, "weight file uses tensor encoding 3, which this build does not know")


@pytest.mark.parametrize("dilations,ok", [("1, 2 ,4", True), ("\u00a01\t", True), ("+1", True),
                                          ("1,,4", False), ("", False), ("1,-2", False), ("1 2", False),
                                          ("99999999999999999999999", False)])
def test_dilations_syntax(guess, dilations, ok):
    p = 4
    recs = [f16(k, v) for k, v in trunk_records(4, 3, 3, p).items()]
    recs += [f32("target_mean", [1.0, 2.0, 3.0, 4.0]), f32("target_std", [1.0] * p), f32("log_params", [0.0] * p),
             f32("scaling", np.array([[0, 0, 0, -1]] * p, float))]
    meta = meta_for("T1", T_NAMES, dilations=dilations, alpha_min="-inf", alpha_max="inf")
    if ok:
        assert guess(blob(meta, recs)) == [1.0, 2.0, 3.0, 4.0]
    else:
        raises_text(guess, blob(meta, recs), 'weight file has an unparsable value for "dilations"')


def test_unsupported_estimator(guess):
    p = 4
    recs = [f32("target_mean", [0.0] * p), f32("target_std", [1.0] * p), f32("log_params", [0.0] * p),
            f32("scaling", np.zeros((p, 4)))]
    raises_text(guess, blob(meta_for("T1", T_NAMES, estimator="rms"), recs),
                'weight file was normalised with the "rms" scale estimator, which this build does not implement '
                "(supported: reactive_centroid)")


def test_scaling_element_count(guess):
    recs = [f32("target_mean", [0.0] * 4), f32("target_std", [1.0] * 4), f32("log_params", [0.0] * 4),
            f32("scaling", np.zeros(12))]
    raises_text(guess, blob(meta_for("T1", T_NAMES), recs), 'tensor "scaling" has 12 elements, expected 16')


REQUIRED = [f32("target_mean", [0.0] * 4), f32("target_std", [1.0] * 4), f32("log_params", [0.0] * 4),
            f32("scaling", np.zeros((4, 4)))]


@pytest.mark.parametrize("drop", range(4))
def test_missing_tensors_in_order(guess, drop):
    names = ["target_mean", "target_std", "log_params", "scaling"]
    recs = REQUIRED[:drop] + REQUIRED[drop + 1:]
    raises_text(guess, blob(meta_for("T1", T_NAMES), recs), 'weight file is missing "%s"' % names[drop])


@pytest.mark.parametrize("key", ["dilations", "estimator", "circuit", "param_names", "n_grid", "channels", "kernel",
                                 "groups", "alpha_min", "alpha_max"])
def test_missing_and_unparsable_keys(guess, key):
    meta = [kv_ for kv_ in meta_for("T1", T_NAMES) if kv_[0] != key]
    raises_text(guess, blob(meta, REQUIRED), 'weight file is missing "%s"' % key)
    if key in ("n_grid", "channels", "kernel", "groups", "alpha_min", "alpha_max"):
        bad = meta + [(key, " 8")]
        raises_text(guess, blob(bad, REQUIRED), 'weight file has an unparsable value for "%s"' % key)


@pytest.mark.parametrize("text,value", [("0.5", 0.5), ("+.5", 0.5), ("5.", 5.0), ("1e-1", 0.1), ("-2E+0", -2.0),
                                        ("INF", math.inf), ("-Infinity", -math.inf), ("1e999", math.inf),
                                        ("1e-999", 0.0)])
def test_decimal_syntax(guess, text, value):
    data = oracle_blob("T1", T_NAMES, [math.inf] * 4, alpha_min="-inf", alpha_max=text)
    assert guess(data) == [value] * 4


@pytest.mark.parametrize("text", ["", ".", "e5", "0x10", "1e", " 1", "1,5", "nan1", "infinit"])
def test_bad_decimal_syntax(guess, text):
    raises_text(guess, oracle_blob("T1", T_NAMES, [0.0] * 4, alpha_max=text),
                'weight file has an unparsable value for "alpha_max"')


def test_missing_layer_tensor_at_run_time(guess):
    data = oracle_blob("T1", T_NAMES, [0.0] * 4)
    data = data.replace(string("w.head.4.bias"), string("w.head.4.bias_"))
    raises_text(guess, data, 'weight file is missing "w.head.4.bias"')


def test_head_input_length(guess):
    p = 4
    recs = trunk_records(4, 3, 1, p)
    recs["w.head.0.weight"] = np.zeros((16, 12))  # expects 2C + 2 = 10 inputs
    data = blob(meta_for("T1", T_NAMES), [f16(k, v) for k, v in recs.items()] + REQUIRED)
    raises_text(guess, data, 'tensor "head.0" has 10 elements, expected 12')


def test_extra_head_outputs_are_ignored(guess):
    p = 4
    recs = trunk_records(4, 3, 1, p, head_out=11)
    data = blob(meta_for("T1", T_NAMES, alpha_min="-inf", alpha_max="inf"),
                [f16(k, v) for k, v in recs.items()] + [f32("target_mean", [1.0, 2.0, 3.0, 4.0])] + REQUIRED[1:])
    assert guess(data) == [1.0, 2.0, 3.0, 4.0]


def test_exponent_is_clamped_before_use(guess):
    # q = 10^0 * R_s^0 * omega_c^(0 + 1 * alpha): alpha decodes as 1.3 and
    # is clamped to 1.0 first, so q = omega_c, and a second output with
    # omega_c^1 directly must agree.
    names = ["T1.a", "T1.b", "T1.c", "T1.d"]
    data = oracle_blob("T1", names, [0.0, 1.3, 0.0, 0.5], log_params=[1, 0, 1, 0],
                       scaling=[[0, 0, 1, 1], [0, 0, 0, -1], [0, 1, 0, -1], [0, 0, 0, -1]],
                       alpha_min="0.05", alpha_max="1.0")
    q, alpha, omega_c, other = guess(data)
    assert alpha == 1.0 and other == 0.5 and q == omega_c


@pytest.mark.parametrize("mutation,text", [
    (dict(extra_meta=[("groups", "0")]), 'weight file has an unparsable value for "groups"'),
    (dict(alpha_min="2", alpha_max="1"), 'weight file has an unparsable value for "alpha_max"'),
    (dict(alpha_min="nan"), 'weight file has an unparsable value for "alpha_min"'),
    (dict(alpha_max="NaN"), 'weight file has an unparsable value for "alpha_max"'),
    (dict(std=[1.0, 1.0]), 'tensor "target_std" has 2 elements, expected 4'),
    (dict(log_params=[1.0]), 'tensor "log_params" has 1 elements, expected 4'),
    (dict(scaling=[[0, 0, 1, 4]] * 4), 'weight file has an unparsable value for "scaling"'),
    (dict(extra_meta=[("n_grid", "1000000000000")]), 'weight file has an unparsable value for "n_grid"'),
    (dict(extra_meta=[("channels", "100000")]), 'weight file has an unparsable value for "channels"'),
    (dict(extra_meta=[("channels", "5")]), 'tensor "w.stem.weight" has 36 elements, expected 45'),
    (dict(extra_meta=[("kernel", "18446744073709551615")]),
     'tensor "w.stem.weight" has 36 elements, expected 18446744073709551615'),
])
def test_inconsistent_networks_are_refused(guess, mutation, text):
    raises_text(guess, oracle_blob("T1", T_NAMES, [0.0] * 4, **mutation), text)


def test_param_names_must_match_target_mean(guess):
    raises_text(guess, blob(meta_for("T1", T_NAMES[:3]), REQUIRED), 'tensor "target_mean" has 4 elements, expected 3')


def test_huge_dilation_and_single_point_grid(guess):
    data = oracle_blob("T1", T_NAMES, [1.0, 2.0, 3.0, 4.0], extra_meta=[("dilations", "18446744073709551615"),
                                                                        ("n_grid", "1")])
    assert guess(data) == [1.0, 2.0, 3.0, 4.0]
