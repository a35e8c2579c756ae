"""The eleven bundled networks: circuits, parameter names, widths and output scaling.

The scaling rows and the log-space flags follow one rule by parameter kind (the
weight format's registry table): a row is (r_pow, w_pow, alpha_coef, alpha_index)
and the network output for parameter i, once de-normalised, is multiplied by
R_s**r_pow * omega_c**(w_pow + alpha_coef * value[alpha_index]).
"""

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


MODELS = [
    ModelEntry("rc", "R0-(R1,C1)", ("R0.r", "R1.r", "C1.c"), 16),
    ModelEntry("rc_l", "L0-R0-(R1,C1)", ("L0.l", "R0.r", "R1.r", "C1.c"), 32),
    ModelEntry("rq", "R0-(R1,CPE1)", ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha"), 32),
    ModelEntry("rq_l", "L0-R0-(R1,CPE1)",
              ("L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha"), 32),
    ModelEntry("two_rc", "R0-(R1,C1)-(R2,C2)",
              ("R0.r", "R1.r", "C1.c", "R2.r", "C2.c"), 32),
    ModelEntry("two_rc_l", "L0-R0-(R1,C1)-(R2,C2)",
              ("L0.l", "R0.r", "R1.r", "C1.c", "R2.r", "C2.c"), 32),
    ModelEntry("two_rq", "R0-(R1,CPE1)-(R2,CPE2)",
              ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"), 32),
    ModelEntry("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)",
              ("L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q",
               "CPE2.alpha"), 32),
    ModelEntry("randles", "R0-(R1-W1,CPE1)",
              ("R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"), 32),
    ModelEntry("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)",
              ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "W2.aw", "CPE2.q",
               "CPE2.alpha"), 64),
    ModelEntry("sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
              ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "Wo2.z0", "Wo2.tau",
               "CPE2.q", "CPE2.alpha"), 64),
]

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
