"""The boundary between the interpreter and the C++ core: no C++ exception
reaches the interpreter, interrupts and MemoryError are never mistaken for
"not found", user callbacks cannot pull data out from under a conversion,
and the classes are immutable."""
import json
import subprocess
import sys

import numpy as np
import pytest

import kelvora as kv

# ---- Oversized length hints -------------------------------------------------
# Each case runs in one child process, since before the boundary was guarded a
# failed reservation ended the whole process.  The child prints one JSON line
# per case: the name of the exception the call raised, or "ok".

CHILD = r"""
import json, os, sys
import kelvora as kv

# The sanitizers' allocator aborts on an allocation it cannot grant instead
# of throwing std::bad_alloc, so those cases are left out under it.
SANITIZED = os.environ.get("KELVORA_SANITIZED") == "1"
FAILED_ALLOCATION = {"len_huge", "hint_huge", "range"}

class Lying:
    # A sequence of `items` that reports `length` from __len__ (or only
    # from __length_hint__); `length` may also be an exception to raise.
    def __init__(self, items, length, hint_only=False):
        self.items, self.length, self.hint_only = items, length, hint_only
    def __getitem__(self, i):
        if isinstance(i, str):
            raise KeyError(i)
        return self.items[i]
    def __len__(self):
        if self.hint_only:
            raise TypeError("no len")
        return self._report()
    def __length_hint__(self):
        return self._report()
    def _report(self):
        if isinstance(self.length, type) and issubclass(self.length, BaseException):
            raise self.length("length")
        return self.length

KINDS = {
    "len_huge": dict(length=10**15),                   # the reservation fails
    "len_max": dict(length=sys.maxsize),               # beyond any vector
    "hint_huge": dict(length=10**15, hint_only=True),  # __length_hint__ alone
    "len_overflow": dict(length=10**30),               # len() itself fails: no hint
    "len_error": dict(length=RuntimeError),            # an ordinary error: no hint
}
c = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5])
f = [1.0, 10.0, 100.0]
z = list(c.impedance(f))
p = [10.0, 50.0, 1e-5]
parts = [kv.R(1.0), kv.C(1e-6)]
ENTRY_POINTS = {
    "impedance": lambda S, C, P: c.impedance(S),
    "impedance_column": lambda S, C, P: c.impedance({"frequency_hertz": S}),
    "with_values": lambda S, C, P: c.with_values(S),
    "residuals_params": lambda S, C, P: c.residuals(S, f, z),
    "residuals_frequencies": lambda S, C, P: c.residuals(p, S, z),
    "residuals_impedances": lambda S, C, P: c.residuals(p, f, C),
    "jacobian_params": lambda S, C, P: c.jacobian(S, f, z),
    "fit_frequencies": lambda S, C, P: c.fit(S, z, guess_init=False, max_iterations=5),
    "fit_impedances": lambda S, C, P: c.fit(f, C, guess_init=False, max_iterations=5),
    "fit_column": lambda S, C, P: c.fit({"frequency_hertz": f, "real_impedance_ohm": S,
                                         "imaginary_impedance_ohm": [v.imag for v in z]},
                                        guess_init=False, max_iterations=5),
    "guess_frequencies": lambda S, C, P: c.guess(S, z),
    "Series": lambda S, C, P: kv.Series(P),
    "Parallel": lambda S, C, P: kv.Parallel(P),
}
for entry, call in ENTRY_POINTS.items():
    for kind, lie in KINDS.items():
        # The real items fit every call: three frequencies or parameters
        # (real parts of z for the real-impedance column), three impedances.
        items = [v.real for v in z] if entry == "fit_column" else (p if "params" in entry or entry == "with_values" else f)
        if SANITIZED and kind in FAILED_ALLOCATION:
            print(json.dumps([entry, kind, "skipped"]), flush=True)
            continue
        try:
            call(Lying(items, **lie), Lying(z, **lie), Lying(parts, **lie))
            outcome = "ok"
        except BaseException as e:
            outcome = type(e).__name__
        print(json.dumps([entry, kind, outcome]), flush=True)
# The original report: ten to the twelve frequencies; then the module keeps working.
for name, call in [("range", lambda: c.impedance(range(10**12))), ("after", lambda: c.impedance(f))]:
    if SANITIZED and name in FAILED_ALLOCATION:
        print(json.dumps(["impedance_" + name, "", "skipped"]), flush=True)
        continue
    try:
        call()
        outcome = "ok"
    except BaseException as e:
        outcome = type(e).__name__
    print(json.dumps(["impedance_" + name, "", outcome]), flush=True)
"""

ENTRY_POINTS = ["impedance", "impedance_column", "with_values", "residuals_params", "residuals_frequencies",
                "residuals_impedances", "jacobian_params", "fit_frequencies", "fit_impedances", "fit_column",
                "guess_frequencies", "Series", "Parallel"]
HUGE = ["len_huge", "len_max", "hint_huge"]
HARMLESS = ["len_overflow", "len_error"]
# Series and Parallel reserve nothing: they read the parts they are given.
RESERVES = set(ENTRY_POINTS) - {"Series", "Parallel"}


@pytest.fixture(scope="module")
def child_outcomes():
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=300)
    outcomes = {}
    for line in proc.stdout.splitlines():
        entry, kind, outcome = json.loads(line)
        outcomes[entry, kind] = outcome
    return outcomes, proc


def child_outcome(child_outcomes, entry, kind):
    outcomes, proc = child_outcomes
    assert (entry, kind) in outcomes, (
        f"the child process ended (exit status {proc.returncode}) before this case:\n{proc.stderr[-2000:]}")
    if outcomes[entry, kind] == "skipped":
        pytest.skip("under the sanitizers a failed allocation aborts instead of throwing")
    return outcomes[entry, kind]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("kind", HUGE + HARMLESS)
def test_lying_length_never_ends_the_process(child_outcomes, entry, kind):
    expected = "MemoryError" if kind in HUGE and entry in RESERVES else "ok"
    assert child_outcome(child_outcomes, entry, kind) == expected


def test_huge_range_is_a_memory_error(child_outcomes):
    assert child_outcome(child_outcomes, "impedance_range", "") == "MemoryError"
    assert child_outcome(child_outcomes, "impedance_after", "") == "ok"
    assert child_outcomes[1].returncode == 0


# ---- Interrupts, exits and MemoryError are never "not found" ----------------

PROPAGATING = [KeyboardInterrupt, SystemExit, MemoryError]
F = [1.0, 10.0, 100.0]
RC = kv.Circuit("R0-(R1,C1)").with_values([10.0, 50.0, 1e-5])
Z = RC.impedance(F)


class Raising:
    """Raises `exc` from the protocol method named `where`, behaves as a
    dataframe column / sequence of F otherwise."""

    def __init__(self, exc, where, items=F):
        self.exc, self.where, self.items = exc, where, items

    def __getitem__(self, i):
        if self.where == "getitem":
            raise self.exc("getitem")
        if isinstance(i, str):
            raise KeyError(i)
        return Number(self.exc if self.where == "float" else None, self.items[i])

    def __len__(self):
        if self.where == "len":
            raise self.exc("len")
        return len(self.items)


class Number:
    def __init__(self, exc, value):
        self.exc, self.value = exc, value

    def __float__(self):
        if self.exc:
            raise self.exc("float")
        return float(self.value)


def frame(column):
    return {"frequency_hertz": column, "real_impedance_ohm": Z.real.tolist(),
            "imaginary_impedance_ohm": Z.imag.tolist()}


CALLS = {
    "impedance": lambda x: RC.impedance(x),
    "impedance_frame": lambda x: RC.impedance(frame(x)),
    "fit_frame": lambda x: RC.fit(frame(x), guess_init=False),
    "guess_frame": lambda x: RC.guess(frame(x)),
    "residuals_frame": lambda x: RC.residuals([10.0, 50.0, 1e-5], frame(x)),
}


@pytest.mark.parametrize("exc", PROPAGATING, ids=lambda e: e.__name__)
@pytest.mark.parametrize("where", ["getitem", "float", "len"])
@pytest.mark.parametrize("call", CALLS)
def test_interrupts_propagate_from_sequences_and_columns(call, where, exc):
    with pytest.raises(exc, match=f"^{where}$"):
        CALLS[call](Raising(exc, where))


@pytest.mark.parametrize("exc", PROPAGATING, ids=lambda e: e.__name__)
@pytest.mark.parametrize("call", ["impedance", "fit", "guess", "residuals"])
def test_interrupts_propagate_from_the_frame_lookup(call, exc):
    class Frame:
        def __getitem__(self, name):
            raise exc("lookup")

    calls = {
        "impedance": lambda: RC.impedance(Frame()),
        "fit": lambda: RC.fit(Frame(), guess_init=False),
        "guess": lambda: RC.guess(Frame()),
        "residuals": lambda: RC.residuals([10.0, 50.0, 1e-5], Frame()),
    }
    with pytest.raises(exc, match="^lookup$"):
        calls[call]()


@pytest.mark.parametrize("exc", PROPAGATING + [ValueError], ids=lambda e: e.__name__)
def test_interrupts_propagate_from_a_bounds_pair(exc):
    class Pair(list):
        def __len__(self):
            raise exc("len")

    c = kv.Circuit("R0-(R1,CPE1)")
    if exc is ValueError:  # an ordinary error: not a pair
        with pytest.raises(TypeError, match=r"^argument 'bounds': expected a \(lo, hi\) pair of numbers, got Pair$"):
            c.with_bounds({"CPE1.alpha": Pair([0.5, 1.0])})
    else:
        with pytest.raises(exc, match="^len$"):
            c.with_bounds({"CPE1.alpha": Pair([0.5, 1.0])})


def test_interrupt_from_a_later_column_propagates():
    class Frame(dict):
        def __getitem__(self, name):
            if name == "Phase / deg":
                raise KeyboardInterrupt("phase")
            return dict.__getitem__(self, name)

    # Real and imaginary columns are absent, so the lookup reaches the phase.
    z = np.asarray(Z)
    with pytest.raises(KeyboardInterrupt, match="^phase$"):
        RC.fit(Frame({"frequency_hertz": F, "absolute_impedance_ohm": list(abs(z))}), guess_init=False)


def test_ordinary_errors_keep_their_meaning():
    class Frame(dict):
        def __getitem__(self, name):
            if name == "Frequency / Hz":
                raise RuntimeError("not this one")  # an ordinary error: "not found"
            return dict.__getitem__(self, name)

    np.testing.assert_array_equal(RC.impedance(Frame(frequency_hertz=F)), Z)
    with pytest.raises(ValueError, match='^column "frequency_hertz" is not numeric$'):
        RC.impedance({"frequency_hertz": Raising(ValueError, "float")})
    with pytest.raises(ValueError, match="^expected a sequence of frequencies, or a dataframe"):
        RC.impedance(Raising(ValueError, "float"))


# ---- User callbacks during a conversion -------------------------------------

@pytest.mark.parametrize("mutation", ["clear", "add", "delete_others", "replace_others"])
def test_with_named_values_reads_a_snapshot(mutation):
    values = {}

    class Meddling:
        def __float__(self):
            if mutation == "clear":
                values.clear()
            elif mutation == "add":
                for i in range(100):  # enough to make the dict grow
                    values[f"extra{i}"] = 1.0
            elif mutation == "delete_others":
                for k in [k for k in values if k != "R0.r"]:
                    del values[k]
            else:
                for k in values:
                    values[k] = object()
            return 10.0

    values.update({"R0.r": Meddling(), "R1.r": 50.0, "C1.c": 1e-5})
    c = kv.Circuit("R0-(R1,C1)").with_named_values(values)
    assert c.param_values() == [10.0, 50.0, 1e-5]


def stored_dict(kind):
    """A to_dict() dict of `kind` and the key of a list of floats in it."""
    if kind == "Circuit":
        return RC.to_dict(), "values"
    if kind == "FitResult":
        return RC.fit(F, Z, guess_init=False).to_dict(), "residuals"
    return kv.lin_kk(F, Z).to_dict(), "residuals_real"


@pytest.mark.parametrize("meddling", ["number_clears_lists", "number_clears_dict", "key_clears_dict"])
@pytest.mark.parametrize("kind", ["Circuit", "FitResult", "KKResult"])
def test_from_dict_runs_no_code_of_the_dict(kind, meddling):
    # An int subclass is read by its value, and keys are compared as plain
    # str: the user code below never runs, so it cannot shrink a list or free
    # an item while from_dict reads it.
    cls = getattr(kv, kind)
    d, key = stored_dict(kind)
    d[key][0] = 0
    expected = cls.from_dict(d)
    ran = []

    def meddle():
        ran.append(meddling)
        if meddling == "number_clears_lists":
            for value in d.values():
                if isinstance(value, list):
                    value.clear()
        else:
            d.clear()

    class Number(int):
        def __float__(self):
            meddle()
            return 1.0

        def __index__(self):
            meddle()
            return 1

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            meddle()
            return str.__eq__(self, other)

    if meddling == "key_clears_dict":
        for k in list(d):
            d[Key(k)] = d.pop(k)
    else:
        d[key][0] = Number(0)
    assert cls.from_dict(d) == expected
    assert ran == []


@pytest.mark.parametrize("kind", ["Circuit", "FitResult", "KKResult"])
def test_from_dict_refuses_a_key_given_twice(kind):
    class Key(str):  # equal to nothing, so that the dict holds the name twice
        def __hash__(self):
            return 1

        def __eq__(self, other):
            return False

    d, key = stored_dict(kind)
    d[Key(key)] = d.pop(key)
    d[Key(key)] = []
    with pytest.raises(ValueError, match=f'dict: key\\(s\\) \\["{key}"\\] given more than once$'):
        getattr(kv, kind).from_dict(d)


# ---- Immutable classes ------------------------------------------------------

CLASSES = [kv.Circuit, kv.FitResult, kv.Element] + [getattr(kv, code) for code in
                                                     ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K",
                                                      "Zarc", "Tlmq", "T"]]


@pytest.mark.skipif(sys.version_info < (3, 10), reason="heap types are mutable before Python 3.10")
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_immutable(cls):
    name = "fit" if cls is kv.Circuit else "__doc__"
    before = cls.__dict__.get(name)
    try:
        with pytest.raises(TypeError):
            setattr(cls, name, None)
        with pytest.raises(TypeError):
            cls.new_attribute = 1
        with pytest.raises(TypeError):
            delattr(cls, name)
    finally:  # a mutable class is put back as it was, for the tests after this one
        if cls.__dict__.get(name) is not before:
            type.__setattr__(cls, name, before)
        if "new_attribute" in cls.__dict__:
            type.__delattr__(cls, "new_attribute")


def test_element_class_attributes_survive_immutability():
    assert kv.Element.Zarc is kv.Zarc
    assert kv.Cpe.__match_args__ == ("q", "alpha")
