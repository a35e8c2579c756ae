"""Writing weight blobs for the tests (no tests of its own).

A blob is the magic, a metadata table and a table of tensor records; see
`blob`.  `oracle_blob` writes a network whose head is all zeros, so that each
output equals its decoded "target_mean" entry: it makes decoding and format
details observable through Circuit.guess.  `random_network` writes a small
network with random weights for comparisons with the NumPy reference.
"""

import struct

import numpy as np

MAGIC = b"EISNN001"


def string(text):
    raw = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    return struct.pack("<I", len(raw)) + raw


def record(name, dims, data, encoding):
    """A tensor record with raw data bytes."""
    return (string(name) + struct.pack("<BB", encoding, len(dims)) + b"".join(struct.pack("<I", d) for d in dims)
            + data)


def f32(name, values, dims=None):
    values = np.asarray(values, dtype=np.float64)
    dims = list(values.shape) if dims is None else dims
    return record(name, dims, values.astype("<f4").tobytes(), 0)


def f16(name, values, dims=None):
    values = np.asarray(values, dtype=np.float64)
    dims = list(values.shape) if dims is None else dims
    return record(name, dims, values.astype("<f2").tobytes(), 1)


def blob(meta, records, magic=MAGIC):
    """meta: list of (key, value) pairs (duplicates allowed); records: encoded tensor records."""
    out = [magic, struct.pack("<I", len(meta))]
    for k, v in meta:
        out += [string(k), string(v)]
    out.append(struct.pack("<I", len(records)))
    return b"".join(out + list(records))


def meta_for(circuit, names, channels=4, n_grid=8, kernel=3, groups=2, dilations="1", alpha_min="0.05",
             alpha_max="1.0", estimator="reactive_centroid"):
    return [("circuit", circuit), ("param_names", ",".join(names)), ("estimator", estimator),
            ("n_grid", str(n_grid)), ("channels", str(channels)), ("kernel", str(kernel)),
            ("groups", str(groups)), ("dilations", dilations), ("alpha_min", alpha_min), ("alpha_max", alpha_max)]


def trunk_records(channels, kernel, n_blocks, p, rng=None, head_out=None, scale=0.3):
    """Records of stem, blocks and head; zero weights when rng is None."""
    def values(shape):
        return np.zeros(shape) if rng is None else rng.normal(0.0, scale, size=shape)

    c = channels
    recs = {}

    def layer(name, wshape, blen):
        recs["w.%s.weight" % name] = values(wshape)
        recs["w.%s.bias" % name] = values((blen,))

    layer("stem", (c, 3, kernel), c)
    for i in range(n_blocks):
        for conv, norm in (("conv1", "norm1"), ("conv2", "norm2")):
            layer("blocks.%d.%s" % (i, conv), (c, c, kernel), c)
            recs["w.blocks.%d.%s.weight" % (i, norm)] = (np.ones(c) if rng is None
                                                         else 1.0 + rng.normal(0.0, 0.2, size=c))
            recs["w.blocks.%d.%s.bias" % (i, norm)] = values((c,))
    layer("head.0", (4 * c, 2 * c + 2), 4 * c)
    layer("head.2", (4 * c, 4 * c), 4 * c)
    layer("head.4", (head_out or 2 * p, 4 * c), head_out or 2 * p)
    return recs


def oracle_blob(circuit, names, mean, log_params=None, scaling=None, std=None, alpha_min="-inf", alpha_max="inf",
                mean_record=None, extra_meta=(), extra_records=()):
    """A network whose outputs are exactly its decoded target_mean (head all zero).

    With the default scaling rows (0, 0, 0, -1) and log_params 0 every output
    is target_mean[i] clamped into [alpha_min, alpha_max].
    """
    p = len(names)
    log_params = [0.0] * p if log_params is None else log_params
    scaling = [[0.0, 0.0, 0.0, -1.0]] * p if scaling is None else scaling
    std = [1.0] * p if std is None else std
    recs = [f16(k, v) for k, v in trunk_records(4, 3, 1, p).items()]
    recs.append(mean_record if mean_record is not None else f32("target_mean", mean))
    recs += [f32("target_std", std), f32("log_params", log_params), f32("scaling", np.array(scaling, float))]
    recs += list(extra_records)
    meta = meta_for(circuit, names, alpha_min=alpha_min, alpha_max=alpha_max) + list(extra_meta)
    return blob(meta, recs)


def random_network(circuit, names, channels=4, n_grid=12, kernel=3, groups=2, dilations=(1, 2), seed=0,
                   head_out=None, log_params=None, scaling=None, alpha_min=0.05, alpha_max=1.0, scale=0.3):
    """(blob, net): a random network in binary32 and its decoded contents.

    net holds the metadata numbers and the tensors as float64 arrays holding
    exactly the values stored in the file.
    """
    rng = np.random.default_rng(seed)
    p = len(names)
    tensors = {k: v.astype(np.float32).astype(np.float64)
               for k, v in trunk_records(channels, kernel, len(dilations), p, rng, head_out, scale).items()}
    kinds = [n.split(".")[1] for n in names]
    if log_params is None:
        log_params = [0.0 if k == "alpha" else 1.0 for k in kinds]
    if scaling is None:
        scaling = []
        for n, k in zip(names, kinds):
            row = {"r": [1, 0, 0, -1], "c": [-1, -1, 0, -1], "l": [1, -1, 0, -1], "alpha": [0, 0, 0, -1],
                   "aw": [1, 0.5, 0, -1], "tau": [0, -1, 0, -1], "z0": [1, 0, 0, -1]}.get(k)
            if k == "q":
                row = [-1, 0, -1, names.index(n.split(".")[0] + ".alpha")]
            scaling.append(row)
    tensors["target_mean"] = rng.normal(0.0, 0.5, size=p).astype(np.float32).astype(np.float64)
    tensors["target_std"] = rng.uniform(0.2, 1.0, size=p).astype(np.float32).astype(np.float64)
    tensors["log_params"] = np.array(log_params, dtype=np.float64)
    tensors["scaling"] = np.array(scaling, dtype=np.float64)
    records = [f32(k, v) for k, v in tensors.items()]
    meta = meta_for(circuit, names, channels, n_grid, kernel, groups, ",".join(map(str, dilations)),
                    repr(alpha_min), repr(alpha_max))
    net = dict(tensors=tensors, n_grid=n_grid, channels=channels, kernel=kernel, groups=groups,
               dilations=list(dilations), alpha_min=alpha_min, alpha_max=alpha_max, p=p)
    return blob(meta, records), net
