"""Writing and reading the network weight format (magic EISNN001).

Layout: magic, u32 metadata count, (key, value) strings, u32 tensor count, then
per tensor: name string, u8 encoding, u8 rank, u32 dims, data. Strings are a u32
byte length followed by UTF-8. Encodings: 0 binary32, 1 binary16, 2 int8 + scale.
All integers little-endian.
"""

import struct

import numpy as np

MAGIC = b"EISNN001"
F32, F16 = 0, 1


def _string(text):
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def write_blob(meta, tensors):
    """meta: list of (key, value) texts; tensors: list of (name, encoding, ndarray)."""
    out = [MAGIC, struct.pack("<I", len(meta))]
    for k, v in meta:
        out += [_string(k), _string(v)]
    out.append(struct.pack("<I", len(tensors)))
    for name, enc, arr in tensors:
        arr = np.asarray(arr)
        out += [_string(name), struct.pack("<BB", enc, arr.ndim)]
        out += [struct.pack("<I", d) for d in arr.shape]
        flat = np.ascontiguousarray(arr).reshape(-1)
        if enc == F32:
            out.append(flat.astype("<f4").tobytes())
        elif enc == F16:
            out.append(flat.astype("<f2").tobytes())
        else:
            raise ValueError("unsupported encoding %d" % enc)
    return b"".join(out)


def read_blob(data):
    """Returns (meta dict, {name: float64 ndarray with its shape})."""
    assert data[:8] == MAGIC, "bad magic"
    pos = 8

    def u32():
        nonlocal pos
        (v,) = struct.unpack_from("<I", data, pos)
        pos += 4
        return v

    def string():
        nonlocal pos
        n = u32()
        s = data[pos:pos + n].decode("utf-8")
        pos += n
        return s

    meta = {}
    for _ in range(u32()):
        k = string()
        meta[k] = string()
    tensors = {}
    for _ in range(u32()):
        name = string()
        enc, rank = struct.unpack_from("<BB", data, pos)
        pos += 2
        dims = [u32() for _ in range(rank)]
        count = max(int(np.prod(dims)) if dims else 1, 1)
        if enc == F32:
            arr = np.frombuffer(data, "<f4", count, pos).astype(np.float64)
            pos += 4 * count
        elif enc == F16:
            arr = np.frombuffer(data, "<f2", count, pos).astype(np.float64)
            pos += 2 * count
        elif enc == 2:
            (scale,) = struct.unpack_from("<f", data, pos)
            q = np.frombuffer(data, "<i1", count, pos + 4).astype(np.float64)
            arr = float(np.float32(scale)) * q
            pos += 4 + count
        else:
            raise ValueError("unknown encoding %d" % enc)
        tensors[name] = arr.reshape(dims) if dims and np.prod(dims) > 0 else arr
    return meta, tensors


def export(model, state_dict, target_mean, target_std, scaling, log_params,
           kernel=5, groups=8, dilations=(1, 2, 4, 8)):
    """Blob bytes for a trained network (state_dict: name -> numpy array)."""
    meta = [
        ("circuit", model.circuit),
        ("param_names", ",".join(model.param_names)),
        ("estimator", "reactive_centroid"),
        ("n_grid", "64"),
        ("channels", str(model.channels)),
        ("kernel", str(kernel)),
        ("groups", str(groups)),
        ("dilations", ",".join(str(d) for d in dilations)),
        ("alpha_min", "0.05"),
        ("alpha_max", "1.0"),
    ]
    tensors = [("w." + k, F16, np.asarray(v, dtype=np.float64)) for k, v in state_dict.items()]
    tensors += [
        ("target_mean", F32, np.asarray(target_mean, dtype=np.float64)),
        ("target_std", F32, np.asarray(target_std, dtype=np.float64)),
        ("scaling", F32, np.asarray(scaling, dtype=np.float64).reshape(-1, 4)),
        ("log_params", F32, np.asarray(log_params, dtype=np.float64)),
    ]
    return write_blob(meta, tensors)
