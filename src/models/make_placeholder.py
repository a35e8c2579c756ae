"""Write untrained placeholder networks for the registry models (models.def).

Usage: python make_placeholder.py [--force] [output_dir]

Existing blobs are left alone (they may be trained ones) unless --force is given.

The blobs have the metadata, tensor names, shapes and per-parameter scaling
rules of the real networks, but small random trunk/head weights and output
statistics chosen so that the guesses fall back to the spectrum's own scales
(resistances ~ R_s, capacitances ~ 1/(R_s omega_c), exponents ~ 0.8).  They
exist so that the module builds and loads before trained networks are
available; trained blobs replace them file for file.
"""

import os
import struct
import sys

import numpy as np

# The model table and the scaling rules come from the training package.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
from training import registry  # noqa: E402

KERNEL = 5
DILATIONS = [1, 2, 4, 8]

# Placeholder output means (log10 of the scaled value; the exponent directly).
MEAN = {"r": 0.0, "z0": 0.0, "c": 0.0, "l": -2.0, "q": 0.0, "alpha": 0.8, "aw": -0.5, "tau": 0.0}


def string(s):
    b = s.encode()
    return struct.pack("<I", len(b)) + b


def tensor(name, dims, values, encoding):
    values = np.asarray(values, dtype=np.float64).ravel()
    out = string(name) + struct.pack("<BB", encoding, len(dims)) + b"".join(struct.pack("<I", d) for d in dims)
    if encoding == 0:
        return out + values.astype("<f4").tobytes()
    return out + values.astype("<f2").tobytes()


def blob(circuit, params, channels, rng):
    params = list(params)
    p = len(params)
    meta = [("circuit", circuit), ("param_names", ",".join(params)), ("estimator", "reactive_centroid"),
            ("n_grid", "64"), ("channels", str(channels)), ("kernel", str(KERNEL)), ("groups", "8"),
            ("dilations", ",".join(map(str, DILATIONS))), ("alpha_min", "0.05"), ("alpha_max", "1.0")]
    out = b"EISNN001" + struct.pack("<I", len(meta)) + b"".join(string(k) + string(v) for k, v in meta)

    tensors = []

    def layer(name, wdims, bias_len, scale):
        tensors.append(tensor(f"w.{name}.weight", wdims, rng.normal(0, scale, size=int(np.prod(wdims))), 1))
        tensors.append(tensor(f"w.{name}.bias", [bias_len], rng.normal(0, scale, size=bias_len), 1))

    def norm(name):
        tensors.append(tensor(f"w.{name}.weight", [channels], np.ones(channels), 1))
        tensors.append(tensor(f"w.{name}.bias", [channels], np.zeros(channels), 1))

    c = channels
    layer("stem", [c, 3, KERNEL], c, 0.2)
    for i in range(len(DILATIONS)):
        layer(f"blocks.{i}.conv1", [c, c, KERNEL], c, 0.05)
        norm(f"blocks.{i}.norm1")
        layer(f"blocks.{i}.conv2", [c, c, KERNEL], c, 0.05)
        norm(f"blocks.{i}.norm2")
    layer("head.0", [4 * c, 2 * c + 2], 4 * c, 0.05)
    layer("head.2", [4 * c, 4 * c], 4 * c, 0.05)
    layer("head.4", [2 * p, 4 * c], 2 * p, 0.01)

    mean = [MEAN[k] for k in registry.kinds(params)]
    std = [0.05] * p
    tensors.append(tensor("target_mean", [p], mean, 0))
    tensors.append(tensor("target_std", [p], std, 0))
    tensors.append(tensor("scaling", [p, 4], registry.scaling_rows(params), 0))
    tensors.append(tensor("log_params", [p], registry.log_flags(params), 0))
    return out + struct.pack("<I", len(tensors)) + b"".join(tensors)


def main():
    args = sys.argv[1:]
    force = "--force" in args
    args = [a for a in args if a != "--force"]
    out_dir = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    for seed, model in enumerate(registry.MODELS):
        path = os.path.join(out_dir, model.name + ".eisnn")
        if os.path.exists(path) and not force:
            print(model.name, "exists, kept")
            continue
        data = blob(model.circuit, model.param_names, model.channels, np.random.default_rng(seed))
        with open(path, "wb") as f:
            f.write(data)
        print(model.name, len(data))


if __name__ == "__main__":
    main()
