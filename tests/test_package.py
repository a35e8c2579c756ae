"""The package around the compiled module: what it re-exports, its version,
its type information, and names that pickle by reference."""
import ast
import importlib.metadata
import os
import pickle
import re
import subprocess
import sys

import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORE = sys.modules["kelvora.kelvora"]


def test_package_reexports_the_compiled_module_unchanged():
    assert kv.__doc__ == "" and kv.__all__ is CORE.__all__
    public = [name for name in vars(CORE) if not name.startswith("__")]
    assert {"Circuit", "FitResult", "lin_kk", "KKResult", "InternalError"} <= set(public)
    for name in public:
        assert getattr(kv, name) is getattr(CORE, name), name
    for name in kv.__all__:
        assert getattr(kv, name).__module__ == "kelvora", name


def test_compiled_module_keeps_its_name_and_init_function():
    assert os.path.basename(CORE.__file__).startswith("kelvora.")
    assert CORE.__spec__.origin == CORE.__file__
    assert os.path.dirname(CORE.__file__) == os.path.dirname(kv.__file__)


@pytest.mark.parametrize("name", ["Element", "Circuit", "FitResult", "KKResult", "InternalError", "Series",
                                  "Parallel", "lin_kk", "fit_many", "results_table"])
def test_names_pickle_by_reference_to_the_package(name):
    obj = getattr(kv, name)
    assert obj.__module__ == "kelvora"
    assert pickle.loads(pickle.dumps(obj)) is obj


def test_version_comes_from_pyproject():
    path = os.path.join(ROOT, "pyproject.toml")
    with open(path, encoding="utf-8") as fh:
        declared = re.search(r'^version\s*=\s*"([^"]+)"', fh.read(), re.M).group(1)
    assert kv.__version__ == declared
    # An installed package reports the same version in its metadata.
    try:
        dist = importlib.metadata.distribution("kelvora")
    except importlib.metadata.PackageNotFoundError:
        return
    if os.path.realpath(str(dist.locate_file("kelvora/__init__.py"))) == os.path.realpath(kv.__file__):
        assert dist.version == kv.__version__


def test_type_information_ships_with_the_package():
    here = os.path.dirname(kv.__file__)
    for name in ["py.typed", "__init__.pyi", "kelvora.pyi", "plot.py"]:
        assert os.path.exists(os.path.join(here, name)), name


def test_plot_submodule_loads_on_first_use():
    code = "import sys, kelvora; print('matplotlib' in sys.modules, 'kelvora.plot' in sys.modules)"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(kv.__file__)),
                                                                  os.environ.get("PYTHONPATH")] if p))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.stdout.split() == ["False", "False"], out.stderr
    assert kv.plot.nyquist.__module__ == "kelvora.plot"
    with pytest.raises(AttributeError, match="has no attribute 'nope'"):
        kv.nope


def test_every_name_of_the_module_has_a_stub():
    # stubtest checks __all__ and what the stub declares; this catches a
    # runtime name outside __all__ that the stub forgot.
    with open(os.path.join(os.path.dirname(kv.__file__), "__init__.pyi"), encoding="utf-8") as fh:
        tree = ast.parse(fh.read())
    declared = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    declared |= {t.id for node in tree.body if isinstance(node, ast.AnnAssign) for t in [node.target]}
    runtime = {name for name in vars(CORE) if not name.startswith("__")}
    assert runtime <= declared, runtime - declared


def stub_docstrings():
    with open(os.path.join(os.path.dirname(kv.__file__), "__init__.pyi"), encoding="utf-8") as fh:
        tree = ast.parse(fh.read())
    found = []

    def walk(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                doc = ast.get_docstring(node, clean=True)
                if doc and ">>>" in doc:
                    found.append((f"{prefix}{node.name}", doc))
                if isinstance(node, ast.ClassDef):
                    walk(node.body, f"{prefix}{node.name}.")

    walk(tree.body, "kelvora.")
    return found


STUB_EXAMPLES = stub_docstrings()


@pytest.mark.parametrize("name, doc", STUB_EXAMPLES, ids=[name for name, _ in STUB_EXAMPLES])
def test_stub_examples_run(name, doc):
    # The examples editors show on hover are run as doctests.
    import doctest

    test = doctest.DocTestParser().get_doctest(doc, {}, name, None, 0)
    for example in test.examples:
        try:
            compile(example.source, name, "single")
        except SyntaxError:  # a match statement, on Python 3.9
            pytest.skip(f"needs a newer Python: {example.source.splitlines()[0]}")
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=lambda text: pytest.fail(text))
    assert runner.failures == 0


def test_fit_many_options_are_typed_as_the_fit_arguments():
    # fit_many(**fit_options) is typed by the _FitOptions TypedDict, which
    # stubtest cannot hold against the runtime: its keys and types are those
    # of Circuit.fit's arguments after the spectrum, in order.
    import inspect

    with open(os.path.join(os.path.dirname(kv.__file__), "__init__.pyi"), encoding="utf-8") as fh:
        tree = ast.parse(fh.read())
    options = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "_FitOptions")
    typed = [(item.target.id, ast.unparse(item.annotation)) for item in options.body if isinstance(item, ast.AnnAssign)]
    circuit = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Circuit")
    for fit in (node for node in circuit.body if isinstance(node, ast.FunctionDef) and node.name == "fit"):
        assert typed == [(arg.arg, ast.unparse(arg.annotation)) for arg in fit.args.args[3:]]
    assert [name for name, _ in typed] == list(inspect.signature(kv.Circuit.fit).parameters)[3:]


# The optional libraries made unimportable: what NumPy alone gives.
WITHOUT_EXTRAS = r"""
import sys
class NoExtras:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in {"matplotlib", "dask", "distributed", "pandas", "scipy", "tqdm", "polars"}:
            raise ImportError(f"No module named {name!r}")
sys.meta_path.insert(0, NoExtras())
import numpy as np
import kelvora as kv, kelvora.cli, kelvora.dask, kelvora.plot
f = np.logspace(4, -1, 30)
z = kv.Circuit("rc").with_values([10.0, 50.0, 1e-5]).impedance(f)
result = kv.fit_many("rc", [(f, z)], progress=True)[0]
for use in [lambda: kelvora.dask.fit_bag("rc", None), lambda: result.plot(), lambda: kv.plot.nyquist(f, z)]:
    try:
        use()
    except ImportError as e:
        print(e)
"""


def test_numpy_alone_runs_the_core_and_names_the_extra_a_feature_needs():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(kv.__file__)),
                                                                  os.environ.get("PYTHONPATH")] if p))
    out = subprocess.run([sys.executable, "-c", WITHOUT_EXTRAS], capture_output=True, text=True, env=env,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ['kelvora.dask needs Dask: install it with pip install "kelvora[dask]"',
                                       *['kelvora.plot needs matplotlib: install it with pip install '
                                         '"kelvora[plot]"'] * 2]
