"""What the distribution carries: the source archive holds what a build from
it needs and none of a working tree's by-products, and each extra brings the
libraries that the code and examples of its feature import."""
import importlib
import importlib.metadata
import inspect
import os
import re
import shutil
import subprocess
import sys
import tarfile

import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What a developer's tree holds besides its files: build trees, a wheel
# build's directory, the test and docs outputs and an in-place module.
BY_PRODUCTS = [
    "build/dev/CMakeCache.txt",
    "build/cp311-cp311-linux_x86_64/CMakeCache.txt",
    "training/runs/two_rq/last.pt",
    "docs/_build/html/index.html",
    "docs/auto_examples/plot_fit_battery.py",
    "docs/sg_execution_times.rst",
    ".pytest_cache/v/cache/lastfailed",
    ".hypothesis/examples/0/0",
    "src/kelvora/__pycache__/cli.cpython-311.pyc",
    "src/kelvora/kelvora.cpython-311-x86_64-linux-gnu.so",
    "cell_nyquist.png",
]


def tracked_files():
    try:
        out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                             capture_output=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout")
    return [name for name in out.stdout.decode().split("\0") if name and os.path.isfile(os.path.join(ROOT, name))]


@pytest.fixture(scope="module")
def sdist_names(tmp_path_factory):
    pytest.importorskip("scikit_build_core")
    tree = tmp_path_factory.mktemp("tree")
    files = tracked_files()
    for name in files:
        os.makedirs(tree / os.path.dirname(name), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), tree / name)
    for name in BY_PRODUCTS:
        os.makedirs(tree / os.path.dirname(name), exist_ok=True)
        (tree / name).write_bytes(b"x")
    out_dir = tmp_path_factory.mktemp("dist")
    code = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    out = subprocess.run([sys.executable, "-c", code, str(out_dir)], cwd=tree, capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
    archive = out_dir / out.stdout.split()[-1]
    with tarfile.open(archive) as tar:
        top = f"kelvora-{kv.__version__}/"
        names = {member.name[len(top):] for member in tar.getmembers() if member.isfile()}
    return files, names


@pytest.mark.toolchain
def test_source_archive_holds_what_a_build_needs(sdist_names):
    files, names = sdist_names
    needed = [name for name in files if name.startswith("src/")]
    needed += ["CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO",
               "src/kelvora/py.typed", "src/kelvora/__init__.pyi", "src/kelvora/kelvora.pyi"]
    # A weight file missing at configure time would build a module whose network is empty.
    with open(os.path.join(ROOT, "src", "models", "models.def"), encoding="utf-8") as fh:
        models = re.findall(r"^KELVORA_MODEL\(([a-z0-9_]+),", fh.read(), re.M)
    assert models
    needed += [f"src/models/{model}.eisnn" for model in models]
    missing = sorted(set(needed) - names)
    assert not missing, missing


@pytest.mark.toolchain
@pytest.mark.parametrize("prefix", [*BY_PRODUCTS, "training/checkpoints/"])
def test_source_archive_leaves_out(sdist_names, prefix):
    _, names = sdist_names
    assert not [name for name in names if name.startswith(prefix)]


def provided_by(extra):
    """Canonical names of the distributions `pip install "kelvora[extra]"` brings, one level deep."""
    tomllib = pytest.importorskip("tomllib")
    from packaging.requirements import Requirement
    from packaging.utils import canonicalize_name

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as fh:
        project = tomllib.load(fh)["project"]
    names = set()
    for text in project["dependencies"] + project["optional-dependencies"][extra]:
        requirement = Requirement(text)
        names.add(canonicalize_name(requirement.name))
        if not requirement.extras:
            continue
        try:
            own = importlib.metadata.requires(requirement.name) or []
        except importlib.metadata.PackageNotFoundError:
            pytest.skip(f"{requirement.name} is not installed: its extras are unknown")
        for sub in map(Requirement, own):
            if sub.marker and "extra" in str(sub.marker) and any(sub.marker.evaluate({"extra": name})
                                                                 for name in requirement.extras):
                names.add(canonicalize_name(sub.name))
    return names


@pytest.mark.parametrize("extra, module", [("plot", "kelvora.plot"), ("dask", "kelvora.dask")])
def test_extra_brings_what_its_feature_imports(extra, module):
    # The module's code and the examples of its docstrings, as a user copies them.
    from packaging.utils import canonicalize_name

    if not hasattr(sys, "stdlib_module_names"):
        pytest.skip("needs sys.stdlib_module_names")
    source = inspect.getsource(importlib.import_module(module))
    statements = re.findall(r"^\s*(?:>>> )?(?:import\s+([A-Za-z_]\w*)[\w.]*\s*(?:as\s+\w+\s*)?$"
                            r"|from\s+([A-Za-z_]\w*)[\w.]*\s+import\s)", source, re.M)
    imported = {name for pair in statements for name in pair if name}
    imported -= set(sys.stdlib_module_names) | {"kelvora"}
    assert imported
    provided = provided_by(extra)
    dists = importlib.metadata.packages_distributions()
    missing = sorted(name for name in imported
                     if not {canonicalize_name(d) for d in dists.get(name, [name])} & provided)
    assert not missing, f"kelvora[{extra}] lacks {missing}"
