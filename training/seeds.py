"""Random seeds of the training pipeline, one set per model.

Kept apart from train.py so that the benchmarks, which draw their held-out
spectra from the "bench" seed, run without PyTorch.  Training never draws
from the "bench" seed.
"""

from .registry import MODELS

MODEL_INDEX = {m.name: i for i, m in enumerate(MODELS)}


def seeds(name):
    """Seeds of one model: normalisation statistics, validation set, batch
    stream, network initialisation and the benchmark's held-out spectra."""
    i = MODEL_INDEX[name]
    return {"stats": 1000 + i, "val": 2000 + i, "stream": 3000 + i, "torch": 4000 + i,
            "bench": 9000 + i}
