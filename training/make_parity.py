"""Build the parity fixtures tests/data/parity_net.eisnn and tests/data/parity_spectra.json.

A 16-channel network for "R0-(R1,CPE1)" is trained briefly on the rq prior and
exported; its exponent mean is then shifted up so that several estimates exceed
1.0 and exercise the clamp. The expected guesses are the float64 PyTorch forward
pass on the binary16-rounded weights followed by the decoding, cross-checked
against the NumPy transcription in infer.py.

    python -m training.make_parity
"""

import json
import os

import numpy as np
import torch

from . import eisnn, infer, synth
from .features import features_exact
from .net import GuessNet
from .registry import ModelEntry, log_flags, scaling_rows
from .train import Stream, loss_fn

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "tests", "data")
PARITY_MODEL = ModelEntry("parity", "R0-(R1,CPE1)", ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha"), 16)


def torch_guess(blob, f, z):
    """Float64 PyTorch forward + decoding of a weight blob for one spectrum."""
    meta, t = eisnn.read_blob(blob)
    P = len(t["target_mean"])
    net = GuessNet(P, int(meta["channels"])).double()
    sd = {k[2:]: torch.from_numpy(np.array(v)) for k, v in t.items() if k.startswith("w.")}
    net.load_state_dict(sd)
    feat, s0, s1, r_s, omega_c = features_exact(f, z, int(meta["n_grid"]))
    with torch.no_grad():
        y = net(torch.from_numpy(feat)[None], torch.tensor([[s0, s1]], dtype=torch.float64))
    return infer.decode(meta, t, y[0].numpy(), r_s, omega_c)


def spectra(rng):
    rq = PARITY_MODEL
    cases = []
    f, z, _ = synth.generate(rq, rng, 1, 40, noise=0.01)
    cases.append(("descending sweep, 1% noise", f[0], z[0]))
    f, z, _ = synth.generate(rq, rng, 1, 25, noise=0.0)
    z = z[0] + 1j * 2 * np.pi * f[0] * np.abs(z[0][0]) * 0.3 / (2 * np.pi * f[0][0])
    cases.append(("stray inductance, ascending", f[0][::-1], z[::-1]))
    f, z, _ = synth.generate(rq, rng, 1, 60, noise=0.02)
    perm = rng.permutation(60)
    cases.append(("shuffled order", f[0][perm], z[0][perm]))
    f, z, _ = synth.generate(rq, rng, 1, 30, noise=0.01)
    f2 = np.concatenate([[f[0][0]], f[0]])
    z2 = np.concatenate([[z[0][0] * 1.05], z[0]])
    cases.append(("repeated top frequency", f2, z2))
    fr = np.logspace(5, 1, 10)
    cases.append(("no capacitive point (fallback scales)", fr, 2.0 + 1j * 2 * np.pi * fr * 1e-5))
    f, z, _ = synth.generate(rq, rng, 1, 2, noise=0.0)
    cases.append(("two points", f[0], z[0]))
    f, z, _ = synth.generate(rq, rng, 1, 120, noise=0.03)
    cases.append(("120 points, 3% noise", f[0], z[0]))
    return cases


def main():
    torch.manual_seed(7)
    torch.set_num_threads(1)
    _, _, t, _ = synth.build_dataset(PARITY_MODEL, 11, 20000)
    mean, std = t.mean(axis=0), t.std(axis=0)
    net = GuessNet(PARITY_MODEL.n_params, PARITY_MODEL.channels)
    opt = torch.optim.AdamW(net.parameters(), lr=2e-3)
    stream = Stream(PARITY_MODEL, 12, mean, std)
    for _ in range(300):
        feat, glob, targ = stream.next()
        loss, _ = loss_fn(net(feat, glob), targ, PARITY_MODEL.n_params)
        opt.zero_grad()
        loss.backward()
        opt.step()
    mean = mean.copy()
    mean[3] += 0.3  # push some exponents above alpha_max
    sd = {k: v.detach().double().numpy() for k, v in net.state_dict().items()}
    blob = eisnn.export(PARITY_MODEL, sd, mean, std, scaling_rows(PARITY_MODEL.param_names),
                        log_flags(PARITY_MODEL.param_names))
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "parity_net.eisnn"), "wb") as fh:
        fh.write(blob)
    meta, tensors = eisnn.read_blob(blob)
    rng = np.random.default_rng(13)
    records = []
    for label, f, z in spectra(rng):
        expected = torch_guess(blob, f, z)
        check = infer.guess(meta, tensors, f, z)
        assert np.allclose(expected, check, rtol=1e-12, atol=0), (expected, check)
        records.append({"label": label, "frequencies": [float(v) for v in f],
                        "real": [float(v) for v in z.real], "imag": [float(v) for v in z.imag],
                        "expected": [float(v) for v in expected]})
        print(label, expected)
    doc = {"circuit": PARITY_MODEL.circuit, "weights": "parity_net.eisnn", "spectra": records}
    with open(os.path.join(OUT, "parity_spectra.json"), "w") as fh:
        json.dump(doc, fh, indent=1)
        fh.write("\n")


if __name__ == "__main__":
    main()
