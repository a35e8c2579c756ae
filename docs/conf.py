"""Sphinx configuration of the kelvora documentation.

Build with the package importable (installed, or PYTHONPATH=build/dev):

    python -m sphinx -W -b html docs docs/_build/html

The runtime docstrings of the compiled module are deliberately terse; the
full numpydoc documentation lives in the type stubs (kelvora/__init__.pyi),
where editors read it.  The API reference takes the docstrings from the
stubs (stub_docstring below), so there is one text for both; signatures come
from the runtime, which the stubs agree with (tests/test_typing.py).
"""

import ast
import os
import sys

import kelvora
from sphinx.ext.autodoc import ClassDocumenter

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
# numpydoc links the names in a class's Attributes section; FitResult's
# "residuals" then matches both Circuit.residuals and kelvora.plot.residuals.
# Only these ambiguous Python cross-references are silenced.
suppress_warnings = ["ref.python"]

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
    """{qualified name: docstring} from the package's stubs."""
    here = os.path.dirname(kelvora.__file__)
    table = {}
    for module, filename in [("kelvora", "__init__.pyi")]:
        with open(os.path.join(here, filename), encoding="utf-8") as fh:
            tree = ast.parse(fh.read())
        _walk(tree.body, module, table)
    return table


def _walk(body, prefix, table):
    for node in body:
        if isinstance(node, ast.ClassDef):
            name = f"{prefix}.{node.name}"
            table[name] = ast.get_docstring(node) or ""
            _walk(node.body, name, table)
        elif isinstance(node, ast.FunctionDef):
            name = f"{prefix}.{node.name}"
            if name not in table:  # of overloads, the first carries the documentation
                table[name] = ast.get_docstring(node) or ""


STUBS = _stub_tables()


def stub_docstring(app, what, name, obj, options, lines):
    if STUBS.get(name):
        lines[:] = STUBS[name].splitlines()


# The element classes carry the run-time name Element_<code> (their qualified
# name is Element.<code>), so autodoc would document kelvora.R as an alias of
# itself; they are documented as the classes they are.  Sphinx 9 decides this
# in a property of its class records, earlier versions in ClassDocumenter.
def _is_element_class(name):
    return isinstance(name, str) and name.startswith("Element_")


try:
    from sphinx.ext.autodoc._property_types import _ClassDefProperties
except ImportError:
    _ClassDefProperties = None

if _ClassDefProperties is not None:
    _alias_rule = _ClassDefProperties.doc_as_attr

    def _doc_as_attr(self):
        return False if _is_element_class(self._obj___name__) else _alias_rule.fget(self)

    _ClassDefProperties.doc_as_attr = property(_doc_as_attr)


class ElementClassDocumenter(ClassDocumenter):
    def import_object(self, raiseerror=False):
        ok = super().import_object(raiseerror)
        if ok and _is_element_class(getattr(self.object, "__name__", None)):
            self.doc_as_attr = False
        return ok


def setup(app):
    # Before numpydoc (priority 500) turns the sections into reST.
    app.connect("autodoc-process-docstring", stub_docstring, priority=100)
    app.registry.add_documenter("class", ElementClassDocumenter)  # in place of autoclass's own
