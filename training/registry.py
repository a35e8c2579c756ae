"""The bundled networks (read from the model table): circuits, parameter names,
widths and output scaling.

The scaling rows and the log-space flags follow one rule by parameter kind (the
weight format's registry table): a row is (r_pow, w_pow, alpha_coef, alpha_index)
and the network output for parameter i, once de-normalised, is multiplied by
R_s**r_pow * omega_c**(w_pow + alpha_coef * value[alpha_index]).
"""

import os
import re
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class ModelEntry:
    name: str
    circuit: str
    param_names: tuple
    channels: int

    @property
    def n_params(self):
        return len(self.param_names)


# The model table shared with the module's build: one KELVORA_MODEL line per model.
MODEL_TABLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "src", "models", "models.def")
_ENTRY = re.compile(r'KELVORA_MODEL\((\w+), "([^"]*)", "([^"]*)", (\d+)\)')


def read_model_table(path=MODEL_TABLE):
    """The models of the table at `path`, in registry order."""
    models = []
    with open(path, encoding="utf-8") as fh:
        for number, line in enumerate(fh, 1):
            if not line.startswith("KELVORA_MODEL("):
                continue
            m = _ENTRY.fullmatch(line.strip())
            if not m:
                raise ValueError("%s:%d: not a model entry: %s" % (path, number, line.strip()))
            name, circuit, param_names, channels = m.groups()
            models.append(ModelEntry(name, circuit, tuple(param_names.split(",")), int(channels)))
    return models


MODELS = read_model_table()

BY_NAME = {m.name: m for m in MODELS}

# (r_pow, w_pow, alpha_coef) by parameter name; q rows take the same element's alpha.
_ROWS = {
    "r": (1.0, 0.0, 0.0),
    "z0": (1.0, 0.0, 0.0),
    "c": (-1.0, -1.0, 0.0),
    "l": (1.0, -1.0, 0.0),
    "q": (-1.0, 0.0, -1.0),
    "alpha": (0.0, 0.0, 0.0),
    "aw": (1.0, 0.5, 0.0),
    "tau": (0.0, -1.0, 0.0),
}


def scaling_rows(param_names):
    """P x 4 array of (r_pow, w_pow, alpha_coef, alpha_index)."""
    rows = []
    for name in param_names:
        label, kind = name.split(".")
        r_pow, w_pow, coef = _ROWS[kind]
        index = -1
        if kind == "q":
            index = list(param_names).index(label + ".alpha")
        rows.append((r_pow, w_pow, coef, float(index)))
    return np.array(rows, dtype=np.float64)


def log_flags(param_names):
    """1 for parameters predicted in log10 space (everything but the exponents)."""
    return np.array([0.0 if n.endswith(".alpha") else 1.0 for n in param_names])


def kinds(param_names):
    return [n.split(".")[1] for n in param_names]
