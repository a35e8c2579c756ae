"""Malformed weight files never crash: every mutation of a valid file either
loads and guesses or raises ValueError.  Bounded to a few seconds; set
KELVORA_FUZZ_ROUNDS for a longer run."""

import itertools
import os
import struct

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

from test_eisnn_writer import random_network  # noqa: E402

F = list(np.logspace(-1, 4, 20))
Z = list(kv.Circuit("R0-(R1,C1)").with_values([5.0, 50.0, 1e-4]).impedance(F))
ROUNDS = int(os.environ.get("KELVORA_FUZZ_ROUNDS", "1500"))
HUGE = [0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0x40000000, 0x10000, 0]
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_corpus_eisnn")


def base_blob():
    data, _ = random_network("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], channels=4, n_grid=8, kernel=3,
                             dilations=(1,), seed=11)
    return data


def mutations(data, rng):
    n = len(data)
    for cut in range(0, n, max(1, n // 150)):
        yield data[:cut]
    for _ in range(ROUNDS):
        b = bytearray(data)
        for _ in range(int(rng.integers(1, 4))):
            b[int(rng.integers(0, n))] = int(rng.integers(0, 256))
        yield bytes(b)
    for _ in range(ROUNDS // 2):
        b = bytearray(data)
        pos = int(rng.integers(8, n - 4))
        b[pos:pos + 4] = struct.pack("<I", HUGE[int(rng.integers(0, len(HUGE)))])
        yield bytes(b)
    # header counts and a maximal rank with huge dimensions
    yield data[:8] + struct.pack("<I", 0xFFFFFFFF) + data[12:]
    yield data + b"\x00" * 7
    tail = struct.pack("<I", 1) + struct.pack("<I", 1) + b"x" + bytes([1, 255]) + b"\xff\xff\xff\xff" * 255
    yield data[:8] + struct.pack("<I", 0) + tail
    if os.path.isdir(CORPUS):
        for name in sorted(os.listdir(CORPUS)):
            with open(os.path.join(CORPUS, name), "rb") as fh:
                yield fh.read()


def test_mutated_weight_files(tmp_path):
    rng = np.random.default_rng(1234)
    c = kv.Circuit("R0-(R1,C1)")
    counter = itertools.count()
    outcomes = {"ok": 0, "error": 0}
    for data in mutations(base_blob(), rng):
        path = str(tmp_path / ("m%d.eisnn" % next(counter)))  # a fresh path: successes are cached
        with open(path, "wb") as fh:
            fh.write(data)
        try:
            out = c.guess(F, Z, weights=path)
        except ValueError:
            outcomes["error"] += 1
        else:
            assert len(out) == 3
            outcomes["ok"] += 1
        os.remove(path)
    assert outcomes["ok"] > 0 and outcomes["error"] > 0
