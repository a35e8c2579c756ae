"""The Python samples of the documentation pages run as written, and the
outputs the pages print are the ones the module gives."""
import ast
import os
import re

import pytest

import kelvora as kv

DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs")


def read_page(name):
    with open(os.path.join(DOCS, name), encoding="utf-8") as fh:
        return fh.read()


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


@pytest.mark.parametrize("page", ["getting_started.rst", "circuits.rst"])
def test_python_samples_run_and_give_the_values_their_comments_show(page, monkeypatch):
    samples = python_samples(page)
    assert samples
    if any(".plot(" in sample for sample in samples):
        pytest.importorskip("matplotlib")
        monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace = {}
    for sample in samples:
        exec(compile(sample, page, "exec"), namespace)
        # A line `expression  # <Python literal>` claims that value.
        for line in sample.splitlines():
            code, _, comment = line.partition("  # ")
            try:
                claimed = ast.literal_eval(comment.strip())
            except (ValueError, SyntaxError):
                continue
            assert eval(code, namespace) == claimed, line


def test_circuit_table_is_printed_as_shown():
    assert str(kv.Circuit("R0-(R1,C1)")).splitlines() == literal_after("circuits.rst", "shows the table")


def test_error_report_begins_as_shown():
    shown = literal_after("circuits.rst", 'for instance for ``kv.Circuit("R0-(R1,C1]")``')
    shown = shown[:[line.strip() for line in shown].index("...")]
    with pytest.raises(ValueError) as error:
        kv.Circuit("R0-(R1,C1]")
    assert str(error.value).splitlines()[:len(shown)] == shown
    assert re.fullmatch(r"\s*\^", shown[3])  # the caret sits under the ']'
