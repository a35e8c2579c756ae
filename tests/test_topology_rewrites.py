"""Every registry network serves its circuit however the circuit is written.

Series order, branch order, labels, `p(` groups, K and Zarc in place of the
pairs they abbreviate, and circuits assembled from element objects all reach
the same network, and its estimates land on the right parameters.  The
impedance of the circuit rebuilt with the guess does not depend on the order
of the parameters, so it is the oracle: a value handed to the wrong
parameter changes it.  Circuits one element away from a model are checked
against an independent canonical form of the matching rules."""

import copy
import os
import random

import numpy as np
import pytest

kv = pytest.importorskip("kelvora")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS_DIR = os.path.join(ROOT, "src", "models")

F = np.logspace(-2, 5, 50)
# One plausible spectrum per model, in the model circuit's parameter order.
TRUTH = {
    "rc": [5.0, 40.0, 1e-4],
    "rc_l": [1e-6, 5.0, 40.0, 1e-4],
    "rq": [5.0, 40.0, 1e-4, 0.85],
    "rq_l": [2e-6, 5.0, 40.0, 1e-4, 0.85],
    "two_rc": [5.0, 40.0, 1e-4, 100.0, 1e-2],
    "two_rc_l": [1e-6, 5.0, 40.0, 1e-4, 100.0, 1e-2],
    "two_rq": [5.0, 40.0, 1e-4, 0.85, 100.0, 1e-2, 0.7],
    "two_rq_l": [1e-6, 5.0, 40.0, 1e-4, 0.85, 100.0, 1e-2, 0.7],
    "randles": [5.0, 40.0, 20.0, 1e-4, 0.85],
    "sei_randles": [5.0, 40.0, 1e-4, 0.85, 100.0, 20.0, 1e-2, 0.7],
    "sei_randles_wo": [5.0, 40.0, 1e-4, 0.85, 100.0, 30.0, 5.0, 1e-2, 0.7],
}
NAMES = kv.Circuit.ml_circuits()
NO_MODEL = "No training data on this circuit. Machine-learning based initial parameters available for "

# A tree is a list of nodes: ("L", code) or ("P", [branch, ...]), a branch a list of nodes.


def parse(text):
    pos = 0

    def series():
        nonlocal pos
        out = [term()]
        while pos < len(text) and text[pos] == "-":
            pos += 1
            out.append(term())
        return out

    def term():
        nonlocal pos
        if text[pos] == "(":
            pos += 1
            branches = [series()]
            while text[pos] == ",":
                pos += 1
                branches.append(series())
            pos += 1  # ")"
            return ("P", branches)
        start = pos
        while text[pos].isalpha():
            pos += 1
        code = text[start:pos]
        while pos < len(text) and text[pos].isdigit():
            pos += 1
        return ("L", "Cpe" if code == "CPE" else code)

    return series()


def canonical_key(tree):
    """The matching key, written independently: sorted series and branches."""
    def series_key(nodes):
        return "[" + ",".join(sorted((node_key(n) for n in nodes), key=str.encode)) + "]"

    def node_key(node):
        if node[0] == "L":
            return node[1]
        return "(" + ",".join(sorted((series_key(b) for b in node[1]), key=str.encode)) + ")"

    return series_key(tree)


def expanded(tree):
    pairs = {"K": "C", "Zarc": "Cpe"}
    out = []
    for n in tree:
        if n[0] == "L" and n[1] in pairs:
            out.append(("P", [[("L", "R")], [("L", pairs[n[1]])]]))
        elif n[0] == "L":
            out.append(n)
        else:
            out.append(("P", [expanded(b) for b in n[1]]))
    return out


MODEL_KEYS = {name: canonical_key(parse(kv.Circuit(name).expression)) for name in NAMES}


def expected_model(tree):
    for name in NAMES:
        if MODEL_KEYS[name] in (canonical_key(tree), canonical_key(expanded(tree))):
            return name
    return None


def rewrite(tree, rng, contract):
    """Series and branches shuffled; with `contract`, R-C and R-Cpe pairs written as K and Zarc."""
    out = []
    for n in tree:
        if n[0] == "L":
            out.append(n)
            continue
        branches = [rewrite(b, rng, contract) for b in n[1]]
        codes = sorted(b[0][1] for b in branches if len(b) == 1 and b[0][0] == "L")
        if contract and len(branches) == 2 and codes in (["C", "R"], ["Cpe", "R"]) and rng.random() < 0.7:
            out.append(("L", "K" if codes == ["C", "R"] else "Zarc"))
            continue
        rng.shuffle(branches)
        out.append(("P", branches))
    rng.shuffle(out)
    return out


def as_text(tree, rng):
    used = set()

    def label(code):
        if code == "Cpe":
            code = rng.choice(["Cpe", "CPE"])
        while True:
            text = code + rng.choice([str(rng.randrange(100)), "0" + str(rng.randrange(10)), str(rng.randrange(10**4))])
            if text not in used:
                used.add(text)
                return text

    def series(nodes):
        return "-".join(term(n) for n in nodes)

    def term(n):
        if n[0] == "L":
            return label(n[1])
        return rng.choice(["(", "p("]) + ",".join(series(b) for b in n[1]) + ")"

    return series(tree)


ELEMENTS = {"R": lambda: kv.R(2.0), "C": lambda: kv.C(1e-6), "L": lambda: kv.L(1e-3), "Cpe": lambda: kv.Cpe(0.5, 0.5),
            "W": lambda: kv.W(3.0), "Wo": lambda: kv.Wo(3.0, 1.0), "K": lambda: kv.K(2.0, 1.0),
            "Zarc": lambda: kv.Zarc(2.0, 1.0, 0.5)}


def as_objects(tree, rng):
    def series(nodes):
        parts = [term(n) for n in nodes]
        if len(parts) > 1 and rng.random() < 0.5:
            cut = rng.randrange(1, len(parts))
            parts = [kv.Series(parts[:cut]), kv.Series(parts[cut:])]
        return kv.Series(parts)

    def term(n):
        if n[0] == "L":
            return ELEMENTS[n[1]]()
        return kv.Parallel([term(b[0]) if len(b) == 1 else series(b) for b in n[1]])

    return series(tree)


def rewritings(name, count=12):
    rng = random.Random(name)
    tree = parse(kv.Circuit(name).expression)
    for i in range(count):
        t = rewrite(tree, rng, contract=i % 2 == 1)
        yield as_objects(t, rng) if i % 3 == 2 else kv.Circuit(as_text(t, rng))


def spectrum(name):
    return kv.Circuit(name).with_values(TRUTH[name]).impedance(F)


def guessed_impedance(circuit, z, **kw):
    return circuit.with_values(circuit.guess(F, z, **kw)).impedance(F)


def test_truth_table_is_the_registry():
    assert sorted(TRUTH) == sorted(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_rewritten_circuit_gets_the_same_guess(name):
    z = spectrum(name)
    reference = guessed_impedance(kv.Circuit(name), z)
    for circuit in rewritings(name):
        got = guessed_impedance(circuit, z)
        np.testing.assert_allclose(got, reference, rtol=1e-10, atol=0, err_msg=circuit.expression)


@pytest.mark.parametrize("name", NAMES)
def test_shipped_weight_file_serves_rewritten_circuits_like_the_embedded_network(name):
    path = os.path.join(MODELS_DIR, name + ".eisnn")
    if not os.path.exists(path):
        pytest.skip("source tree not available")
    z = spectrum(name)
    for circuit in rewritings(name, count=6):
        assert circuit.guess(F, z, weights=path) == circuit.guess(F, z), circuit.expression


@pytest.mark.parametrize("name", NAMES)
def test_fit_from_the_guess_of_a_reordered_circuit(name):
    # No K or Zarc: the same start in the same coordinates, only reordered.
    z = spectrum(name)
    reference = kv.Circuit(name).fit(F, z)
    rng = random.Random("fit-" + name)
    circuit = kv.Circuit(as_text(rewrite(parse(kv.Circuit(name).expression), rng, contract=False), rng))
    result = circuit.fit(F, z)
    np.testing.assert_allclose(result.initial.impedance(F), reference.initial.impedance(F), rtol=1e-10, atol=0)
    assert result.cost == pytest.approx(reference.cost, rel=1e-6, abs=1e-20)


def near_misses(tree, rng, count):
    """Trees one change away: an element swapped, added or removed, a branch
    added, a group wrapped in a one-branch group, an arc added."""
    swaps = {"R": ["C", "L", "W"], "C": ["Cpe", "L", "R"], "Cpe": ["C", "R", "L"], "L": ["R", "C"],
             "W": ["Wo", "R"], "Wo": ["W", "R"]}
    lists = []

    def walk(nodes):
        lists.append(nodes)
        for n in nodes:
            if n[0] == "P":
                for b in n[1]:
                    walk(b)

    made = 0
    while made < count:
        t = copy.deepcopy(tree)
        lists.clear()
        walk(t)
        nodes = rng.choice(lists)
        i = rng.randrange(len(nodes))
        move = rng.choice(["swap", "add", "remove", "wrap", "branch", "arc"])
        if move == "swap" and nodes[i][0] == "L":
            nodes[i] = ("L", rng.choice(swaps[nodes[i][1]]))
        elif move == "add":
            nodes.insert(rng.randrange(len(nodes) + 1), ("L", rng.choice(["R", "C", "L", "W", "K", "Zarc"])))
        elif move == "remove" and len(nodes) > 1:
            del nodes[i]
        elif move == "wrap":
            nodes[i] = ("P", [[nodes[i]]])
        elif move == "branch" and nodes[i][0] == "P":
            nodes[i] = ("P", nodes[i][1] + [[("L", rng.choice(["R", "C", "Cpe"]))]])
        elif move == "arc":
            nodes.insert(rng.randrange(len(nodes) + 1), ("P", [[("L", "R")], [("L", rng.choice(["C", "Cpe"]))]]))
        else:
            continue
        made += 1
        yield rewrite(t, rng, contract=True)


@pytest.mark.parametrize("name", NAMES)
def test_circuits_next_to_a_model_match_only_by_the_rules(name):
    z = spectrum(name)
    rng = random.Random("near-" + name)
    for tree in near_misses(parse(kv.Circuit(name).expression), rng, 25):
        circuit = kv.Circuit(as_text(tree, rng))
        want = expected_model(tree)
        if want is None:
            with pytest.raises(ValueError) as info:
                circuit.guess(F, z)
            assert str(info.value).startswith(NO_MODEL), circuit.expression
        else:
            np.testing.assert_allclose(guessed_impedance(circuit, z), guessed_impedance(kv.Circuit(want), z),
                                       rtol=1e-10, atol=0, err_msg=circuit.expression)
