"""The tables the module is built from agree with what it shows: the model table
(src/models/models.def, read by the build, the module and the training tools),
the element catalog, the fit method table and the parameter table of fit()."""

import inspect
import os
import re
import sys

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS_DIR = os.path.join(ROOT, "src", "models")
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
from training.registry import MODELS  # noqa: E402

F = np.logspace(-1, 4, 25)
Z = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5]).impedance(F)


# --- models -------------------------------------------------------------------

def test_model_names_are_the_table_in_order():
    assert kv.Circuit.ml_circuits() == [m.name for m in MODELS]
    assert len(set(m.name for m in MODELS)) == len(MODELS)


@pytest.mark.parametrize("model", MODELS, ids=[m.name for m in MODELS])
def test_model_entry_agrees_with_its_circuit(model):
    by_name = kv.Circuit(model.name)
    assert by_name.param_names() == kv.Circuit(model.circuit).param_names() == list(model.param_names)
    # The embedded blob at this position was built for this entry (the build
    # reads the same table; a shifted blob fails the registry's check).
    assert len(by_name.guess(F, Z)) == len(model.param_names)


def test_blob_files_are_the_table():
    blobs = {f[:-len(".eisnn")] for f in os.listdir(MODELS_DIR) if f.endswith(".eisnn")}
    assert blobs == {m.name for m in MODELS}


def test_model_table_reader_refuses_a_malformed_entry(tmp_path):
    from training.registry import read_model_table
    good = 'KELVORA_MODEL(rc, "R0-(R1,C1)", "R0.r,R1.r,C1.c", 16)\n'
    path = tmp_path / "models.def"
    path.write_text("// comment\n" + good)
    assert [m.name for m in read_model_table(str(path))] == ["rc"]
    path.write_text(good + 'KELVORA_MODEL(rq, "R0-(R1,CPE1)", 32)\n')
    with pytest.raises(ValueError, match=":2: not a model entry"):
        read_model_table(str(path))


# --- elements -----------------------------------------------------------------

CLASSES = kv.__all__[kv.__all__.index("Parallel") + 1:]  # the element classes, in kind order


@pytest.mark.parametrize("code", CLASSES)
def test_element_class_parser_code_and_text_form_agree(code):
    cls = getattr(kv, code)
    assert getattr(kv.Element, code) is cls
    circuit = kv.Circuit(code + "1")
    names = circuit.param_names()
    assert names == [code + "1." + p for p in cls.__match_args__]
    element = cls(*circuit.param_values())
    assert repr(element).startswith("Element.%s(" % code)
    assert kv.Series([element]).param_names() == [code + "0." + p for p in cls.__match_args__]


@pytest.mark.parametrize("code,kind", [("CPE", "Cpe"), ("TLMQ", "Tlmq")])
def test_listed_codes_parse_as_their_kind(code, kind):
    assert kv.Circuit(code + "1").param_values() == kv.Circuit(kind + "1").param_values()
    with pytest.raises(ValueError):
        kv.Circuit(code.lower() + "1")


# --- fit methods and the fit() signature ----------------------------------------

SIGNATURE = ('($self, frequencies, impedances=None, guess_init=None, weights=None, weight="modulus", '
             'method="levenberg_marquardt", max_iterations=200, ftol=1e-8, xtol=1e-8, num_particles=200, '
             'generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, sa_iterations=5000, '
             'sa_initial_temperature=2.0, basin_hopping_hops=20, basin_hopping_step_size=1.0, '
             'basin_hopping_temperature=1.0, seed=None)')


def test_fit_text_signature_and_docstring():
    assert kv.Circuit.fit.__text_signature__ == SIGNATURE
    assert kv.Circuit.fit.__doc__.startswith("Fit this circuit's parameters to a measured spectrum.\n\n")
    assert kv.Circuit.fit.__doc__.endswith("`True` always guesses, and raises rather than warns when it cannot.\n"
                                           "`False` never guesses.")


def listed_methods():
    with pytest.raises(ValueError) as info:
        kv.Circuit("R0").fit(F, Z, guess_init=False, method="none")
    return re.findall(r'"([a-z_]+)"', str(info.value).split("expected one of ", 1)[1])


# A small budget for each method, so that every listed name is shown to run.
BUDGET = {"levenberg_marquardt": {}, "nelder_mead": {"nelder_mead_iterations": 20},
          "particle_swarm": {"num_particles": 4, "generations": 2, "seed": 1},
          "simulated_annealing": {"sa_iterations": 20, "seed": 1}, "differential_evolution": {"de_evaluations": 40},
          "basin_hopping": {"basin_hopping_hops": 1, "seed": 1}, "multi_start": {"seed": 1}}


@pytest.mark.parametrize("method", sorted(BUDGET))
def test_every_listed_method_runs(method):
    assert sorted(listed_methods()) == sorted(BUDGET)
    start = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4])
    assert start.fit(F, Z, method=method, **BUDGET[method]).success


PARAMETERS = list(inspect.signature(kv.Circuit.fit).parameters.values())[1:]  # without self


@pytest.mark.parametrize("p", [p for p in PARAMETERS if p.name not in ("frequencies", "impedances")],
                         ids=lambda p: p.name)
def test_signature_default_is_the_default_used(p):
    start = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4])
    implicit = start.fit(F, Z)
    explicit = start.fit(F, Z, **{p.name: p.default})
    assert (explicit.params, explicit.iterations, explicit.impedance_evals) == (
        implicit.params, implicit.iterations, implicit.impedance_evals)


def test_every_parameter_binds_by_position_and_keyword():
    assert [p.kind for p in PARAMETERS] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(PARAMETERS)
    start = kv.Circuit("R0-(R1,C1)").with_values([5.0, 20.0, 1e-4])
    defaults = [p.default for p in PARAMETERS[2:]]
    by_position = start.fit(F, Z, *defaults)
    by_keyword = start.fit(frequencies=F, impedances=Z, **{p.name: p.default for p in PARAMETERS[2:]})
    assert by_position.params == by_keyword.params == start.fit(F, Z).params
    with pytest.raises(TypeError, match=r"at most %d arguments" % len(PARAMETERS)):
        start.fit(F, Z, *defaults, None)
