"""The compiled network forward pass against the training pipeline's reference.

tests/data/parity_net.eisnn is a small network exported by the training
pipeline (training/make_parity.py); parity_spectra.json holds spectra and the
float64 PyTorch forward pass plus decoding on the binary16-rounded weights. The
module must reproduce them to 1e-9 relative. When PyTorch is importable, the
reference is also recomputed from the weight file here.
"""

import json
import math
import os
import struct
import sys

import pytest

kv = pytest.importorskip("kelvora")

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
ROOT = os.path.dirname(HERE)
MODELS_DIR = os.path.join(ROOT, "src", "models")
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
from training.registry import MODELS  # noqa: E402  (the model table)

with open(os.path.join(DATA, "parity_spectra.json")) as fh:
    PARITY = json.load(fh)
WEIGHTS = os.path.join(DATA, PARITY["weights"])
CASES = PARITY["spectra"]
IDS = [c["label"] for c in CASES]


def spectrum(case):
    z = [complex(r, i) for r, i in zip(case["real"], case["imag"])]
    return case["frequencies"], z


def assert_close(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert math.isclose(g, e, rel_tol=1e-9, abs_tol=0.0), (got, expected)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_guess_matches_reference(case):
    f, z = spectrum(case)
    got = kv.Circuit(PARITY["circuit"]).guess(f, z, weights=WEIGHTS)
    assert_close(got, case["expected"])


def test_reordered_circuit_gets_reordered_values():
    # same network through a relabelled, reordered topology: (CPE, R) branch order
    case = CASES[0]
    f, z = spectrum(case)
    got = kv.Circuit("(CPE4,R7)-R2").guess(f, z, weights=WEIGHTS)
    r0, r1, q, alpha = case["expected"]
    assert_close(got, [q, alpha, r1, r0])


def test_exponent_clamp_is_exercised():
    # the fixture network pushes some exponents past alpha_max; they decode to exactly 1.0
    alphas = [c["expected"][3] for c in CASES]
    assert any(a == 1.0 for a in alphas) and any(a < 1.0 for a in alphas)


@pytest.mark.parametrize("case", CASES[:3], ids=IDS[:3])
def test_guess_matches_torch_recomputation(case):
    pytest.importorskip("torch")
    make_parity = pytest.importorskip("training.make_parity")
    with open(WEIGHTS, "rb") as fh:
        blob = fh.read()
    f, z = spectrum(case)
    expected = make_parity.torch_guess(blob, f, z)
    assert_close(kv.Circuit(PARITY["circuit"]).guess(f, z, weights=WEIGHTS), list(expected))


# --- the bundled weight blobs (one per entry of the model table) ----------------


def read_layout(data):
    """Metadata and (encoding, dims) of every tensor of a weight blob."""
    assert data[:8] == b"EISNN001"
    pos = 8

    def u32():
        nonlocal pos
        (v,) = struct.unpack_from("<I", data, pos)
        pos += 4
        return v

    def string():
        nonlocal pos
        n = u32()
        pos += n
        return data[pos - n:pos].decode("utf-8")

    meta = {}
    for _ in range(u32()):
        key = string()
        meta[key] = string()
    tensors = {}
    for _ in range(u32()):
        name = string()
        enc, rank = data[pos], data[pos + 1]
        pos += 2
        dims = tuple(u32() for _ in range(rank))
        count = 1
        for d in dims:
            count *= d
        pos += {0: 4, 1: 2}[enc] * max(count, 1)
        tensors[name] = (enc, dims)
    assert pos == len(data)
    return meta, tensors


@pytest.mark.parametrize("model", MODELS, ids=[m.name for m in MODELS])
def test_bundled_blob_layout(model):
    circuit, channels = model.circuit, model.channels
    path = os.path.join(MODELS_DIR, model.name + ".eisnn")
    if not os.path.exists(path):
        pytest.skip("source tree not available")
    with open(path, "rb") as fh:
        meta, tensors = read_layout(fh.read())
    names = kv.Circuit(circuit).param_names()
    P, C = len(names), channels
    assert meta["circuit"] == circuit
    assert meta["param_names"].split(",") == names
    assert (meta["estimator"], meta["n_grid"], meta["channels"], meta["kernel"], meta["groups"],
            meta["dilations"], meta["alpha_min"], meta["alpha_max"]) == (
        "reactive_centroid", "64", str(C), "5", "8", "1,2,4,8", "0.05", "1.0")
    shapes = {"w.stem.weight": (C, 3, 5), "w.stem.bias": (C,),
              "w.head.0.weight": (4 * C, 2 * C + 2), "w.head.0.bias": (4 * C,),
              "w.head.2.weight": (4 * C, 4 * C), "w.head.2.bias": (4 * C,),
              "w.head.4.weight": (2 * P, 4 * C), "w.head.4.bias": (2 * P,)}
    for i in range(4):
        for conv in ("conv1", "conv2"):
            shapes["w.blocks.%d.%s.weight" % (i, conv)] = (C, C, 5)
            shapes["w.blocks.%d.%s.bias" % (i, conv)] = (C,)
        for norm in ("norm1", "norm2"):
            shapes["w.blocks.%d.%s.weight" % (i, norm)] = (C,)
            shapes["w.blocks.%d.%s.bias" % (i, norm)] = (C,)
    expected = {k: (1, v) for k, v in shapes.items()}
    expected.update({"target_mean": (0, (P,)), "target_std": (0, (P,)),
                     "scaling": (0, (P, 4)), "log_params": (0, (P,))})
    assert tensors == expected
