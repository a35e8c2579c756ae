"""The bundled networks' forward pass against the NumPy pass of the training code.

training/infer.py computes the same network on the weights read back from
each .eisnn blob with array operations (one matrix product per kernel tap).
The module's two trunks -- blocked matrix products in one workspace, and one
layer call after another -- add the same terms in the same order, so they
agree to the bit (signed zeros aside); both agree with the NumPy pass to
rounding.
"""

import os
import sys

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS_DIR = os.path.join(ROOT, "src", "models")
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
from training import infer  # noqa: E402
from training.eisnn import read_blob  # noqa: E402
from training.features import features_exact  # noqa: E402
from training.registry import MODELS  # noqa: E402

IDS = [m.name for m in MODELS]


def blob(model):
    path = os.path.join(MODELS_DIR, model.name + ".eisnn")
    if not os.path.exists(path):
        pytest.skip("source tree not available")
    with open(path, "rb") as fh:
        return read_blob(fh.read())


def spectra(model):
    """Spectra of the model's own circuit at a few parameter scales, 20 to 200 points."""
    rng = np.random.default_rng(sum(map(ord, model.name)))
    circuit = kv.Circuit(model.circuit)
    base = np.array(circuit.param_values())
    for n in (20, 60, 200):
        f = np.logspace(rng.uniform(-3, -1), rng.uniform(3, 6), n)[::-1]
        values = base * 10.0 ** rng.uniform(-1, 1, base.size)
        for i, name in enumerate(circuit.param_names()):
            if name.endswith(".alpha"):
                values[i] = rng.uniform(0.5, 1.0)
        z = circuit.with_values(list(values)).impedance(f)
        z = z * (1 + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
        yield f, z


@pytest.mark.parametrize("model", MODELS, ids=IDS)
def test_bundled_network_matches_numpy_pass(model):
    meta, tensors = blob(model)
    for f, z in spectra(model):
        expected = infer.guess(meta, tensors, f, z)
        values, _, _ = kv._forward(model.name, f, z)
        np.testing.assert_allclose(values, expected, rtol=1e-9, atol=0.0)
        # guess() maps the same values onto the circuit, whose order is the network's
        np.testing.assert_array_equal(kv.Circuit(model.circuit).guess(f, z), values)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    both_nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(both_nan | (a == b)))


@pytest.mark.parametrize("model", MODELS, ids=IDS)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_blocked_and_layer_trunks_agree(model):
    cases = list(spectra(model))
    f, z = cases[0]
    z_nan = z.copy()
    z_nan[len(z) // 2] = complex("nan+nanj")
    cases.append((f, z_nan))  # non-finite values flow through both trunks alike
    for f, z in cases:
        layers, _, _ = kv._forward(model.name, f, z, kernel="layers")
        blocked, _, _ = kv._forward(model.name, f, z, kernel="blocked")
        assert same_bits(blocked, layers), (blocked, layers)


def test_forward_arguments():
    f = np.logspace(-1, 4, 30)
    z = kv.Circuit("rc").impedance(f)
    values, feature_seconds, network_seconds = kv._forward("rc", f, z, repeat=3)
    assert len(values) == 3 and feature_seconds > 0 and network_seconds > 0
    with pytest.raises(ValueError, match="kernel must be 'blocked' or 'layers'"):
        kv._forward("rc", f, z, kernel="fast")
    with pytest.raises(ValueError, match="repeat must be >= 1"):
        kv._forward("rc", f, z, repeat=0)
    with pytest.raises(ValueError):
        kv._forward("no_such_model_or_file", f, z)
