"""The Python samples of the documentation pages run as written, and the
outputs the pages print are the ones the module gives."""
import ast
import os
import re

import pytest

import kelvora as kv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(ROOT, "docs")


def read_page(name):
    with open(os.path.join(DOCS, name), encoding="utf-8") as fh:
        return fh.read()


def readme_samples():
    """The README's Python samples that need no instrument file of the reader's own."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as fh:
        blocks = re.findall(r"^```python\n(.*?)^```", fh.read(), re.M | re.S)
    return [block for block in blocks if "read_spectr" not in block and "spectra" not in block]


def indented_block(lines, start):
    """The indented lines after lines[start] (a directive or a line ending in '::'), dedented."""
    body = []
    for line in lines[start + 1:]:
        if line.strip() and not line.startswith(" "):
            break
        body.append(line)
    while body and not body[-1].strip():
        body.pop()
    while body and not body[0].strip():
        body.pop(0)
    indent = min(len(line) - len(line.lstrip()) for line in body if line.strip())
    return [line[indent:] for line in body]


def python_samples(page):
    lines = read_page(page).splitlines()
    return ["\n".join(indented_block(lines, k)) for k, line in enumerate(lines)
            if line.strip() == ".. code-block:: python"]


def literal_after(page, lead):
    """The literal block of the paragraph that ends with `lead` followed by '::'."""
    lines = read_page(page).splitlines()
    for k, line in enumerate(lines):
        if line.rstrip().endswith(lead + "::"):
            return indented_block(lines, k)
    raise AssertionError(f"no literal block after {lead!r} in {page}")


def run_samples(samples, name):
    """Runs the samples in one namespace, statement by statement.  A statement
    whose line ends in `# ValueError ...` must raise it; a line
    `expression  # <Python literal>` claims that value right after the
    statement runs (a name bound again later is checked as it stood there)."""
    namespace = {}
    for sample in samples:
        lines = sample.splitlines()
        for statement in ast.parse(sample).body:
            code = compile(ast.Module(body=[statement], type_ignores=[]), name, "exec")
            if lines[statement.lineno - 1].partition("# ")[2].startswith("ValueError"):
                with pytest.raises(ValueError):
                    exec(code, namespace)
            else:
                exec(code, namespace)
            for line in lines[statement.lineno - 1:statement.end_lineno]:
                expression, _, comment = line.partition("  # ")
                try:
                    claimed = ast.literal_eval(comment.strip())
                except (ValueError, SyntaxError):
                    continue
                assert eval(expression, namespace) == claimed, line


@pytest.mark.parametrize("page", ["getting_started.rst", "circuits.rst", "README.md"])
def test_python_samples_run_and_give_the_values_their_comments_show(page, monkeypatch):
    samples = readme_samples() if page == "README.md" else python_samples(page)
    assert samples
    if any(".plot(" in sample for sample in samples):
        pytest.importorskip("matplotlib")
        monkeypatch.setenv("MPLBACKEND", "Agg")
    run_samples(samples, page)


def test_circuit_table_is_printed_as_shown():
    assert str(kv.Circuit("R0-(R1,C1)")).splitlines() == literal_after("circuits.rst", "shows the table")


def test_error_report_begins_as_shown():
    shown = literal_after("circuits.rst", 'for instance for ``kv.Circuit("R0-(R1,C1]")``')
    shown = shown[:[line.strip() for line in shown].index("...")]
    with pytest.raises(ValueError) as error:
        kv.Circuit("R0-(R1,C1]")
    assert str(error.value).splitlines()[:len(shown)] == shown
    assert re.fullmatch(r"\s*\^", shown[3])  # the caret sits under the ']'
