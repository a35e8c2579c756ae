"""Sphinx configuration of the kelvora documentation.

Build with the package importable (installed, or PYTHONPATH=build/dev):

    python -m sphinx -W -b html docs docs/_build/html

The runtime docstrings of the compiled module are deliberately terse; the
full numpydoc documentation lives in the type stubs (kelvora/__init__.pyi),
where editors read it.  The API reference takes docstrings and signatures
from the stubs (see stub_docs below), so there is one text for both.
"""

import ast
import os
import sys

import kelvora

project = "kelvora"
author = "the kelvora developers"
copyright = "the kelvora developers"
release = kelvora.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinx.ext.intersphinx",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip",
                    "auto_examples/*.md5", "auto_examples/*.json", "auto_examples/*.pickle"]
html_theme = "alabaster"
html_static_path = []
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
autodoc_typehints = "none"  # the types are in the numpydoc sections
intersphinx_mapping = {}

sphinx_gallery_conf = {
    "examples_dirs": os.path.join("..", "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"quickstart\.py",
    "download_all_examples": False,
    "remove_config_comments": True,
}


# --- docstrings and signatures from the stubs ---------------------------------

def _stub_tables():
    """{qualified name: (docstring, signature)} from the package's stubs."""
    here = os.path.dirname(kelvora.__file__)
    table = {}
    for module, filename in [("kelvora", "__init__.pyi")]:
        with open(os.path.join(here, filename), encoding="utf-8") as fh:
            tree = ast.parse(fh.read())
        _walk(tree.body, module, table)
    return table


def _signature(node, drop_first):
    """The stub's parameter list with defaults and without types (the types
    are in the numpydoc sections), without self or cls."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)

    def text(arg, default):
        return arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}"

    parts = []
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        if not (drop_first and i == 0):
            parts.append(text(arg, default))
        if a.posonlyargs and i == len(a.posonlyargs) - 1:
            parts.append("/")
    if a.vararg:
        parts.append("*" + a.vararg.arg)
    elif a.kwonlyargs:
        parts.append("*")
    parts += [text(arg, default) for arg, default in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        parts.append("**" + a.kwarg.arg)
    return "(" + ", ".join(parts) + ")"


def _walk(body, prefix, table):
    for node in body:
        if isinstance(node, ast.ClassDef):
            name = f"{prefix}.{node.name}"
            doc = ast.get_docstring(node) or ""
            sig = None
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "__new__":
                    sig = _signature(item, drop_first=True)
            table[name] = (doc, sig)
            _walk(node.body, name, table)
        elif isinstance(node, ast.FunctionDef):
            name = f"{prefix}.{node.name}"
            if name in table:  # overloads: the first carries the documentation
                continue
            decorators = {ast.unparse(d) for d in node.decorator_list}
            is_method = prefix != "kelvora" and "staticmethod" not in decorators
            table[name] = (ast.get_docstring(node) or "", _signature(node, drop_first=is_method))


STUBS = _stub_tables()


def stub_docstring(app, what, name, obj, options, lines):
    if name in STUBS and STUBS[name][0]:
        lines[:] = STUBS[name][0].splitlines()


def stub_signature(app, what, name, obj, options, signature, return_annotation):
    if name in STUBS and STUBS[name][1] is not None and what in ("class", "function", "method", "staticmethod"):
        return STUBS[name][1], None
    return None


def setup(app):
    # Before numpydoc (priority 500) turns the sections into reST.
    app.connect("autodoc-process-docstring", stub_docstring, priority=100)
    app.connect("autodoc-process-signature", stub_signature, priority=100)
