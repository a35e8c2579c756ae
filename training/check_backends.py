"""Cross-checks of the pipeline against the compiled module.

    PYTHONPATH=<build dir> python -m training.check_backends

1. The NumPy element formulas of synth.py against kelvora's Circuit.impedance
   for every bundled circuit (relative difference).
2. The vectorised training features against the step-by-step reference.
3. When Circuit.guess works: the module's guess against the NumPy float64
   forward pass of every blob in src/models (relative difference).
"""

import os

import numpy as np

from . import eisnn, infer, synth
from .features import features_batch, features_exact
from .registry import MODELS

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    kv = synth.load_kelvora()
    rng = np.random.default_rng(0)
    for model in MODELS:
        f, z, p = synth.generate(model, rng, 50, 60, noise=0.0)
        line = model.name
        if kv is not None:
            zk = synth.circuit_impedance_kelvora(kv, model.circuit, p, f)
            zn = synth.circuit_impedance_numpy(model.circuit, list(model.param_names), p,
                                               synth.TWO_PI * f)
            line += "  impedance numpy/kelvora max rel diff %.1e" % (
                np.max(np.abs(zk - zn) / np.abs(zk)))
        fb, gb, _, _ = features_batch(f, z)
        worst = max(np.max(np.abs(features_exact(f[i], z[i])[0] - fb[i])) for i in range(10))
        line += "  features batch/exact max diff %.1e" % worst
        path = os.path.join(ROOT, "src", "models", model.name + ".eisnn")
        if kv is not None and os.path.exists(path):
            with open(path, "rb") as fh:
                meta, t = eisnn.read_blob(fh.read())
            try:
                diffs = []
                for i in range(10):
                    g = np.array(kv.Circuit(model.name).guess(f[i], z[i]))
                    r = infer.guess(meta, t, f[i], z[i])
                    diffs.append(np.max(np.abs(g - r) / np.abs(r)))
                line += "  guess module/reference max rel diff %.1e" % max(diffs)
            except Exception as exc:  # guess not available in this build
                line += "  guess: %s" % str(exc).splitlines()[0][:60]
        print(line)


if __name__ == "__main__":
    main()
