"""The module as a whole: the documented example, the type stubs, help()."""

import ast
import os
import pathlib
import pydoc
import re
import subprocess
import sys

import brivel

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "python.md"


def test_the_documented_example_runs_as_written():
    blocks = re.findall(r"```python\n(.*?)```", DOCS.read_text(encoding="utf-8"), re.S)
    example = blocks[0]
    assert "Monochromator.simulated()" in example
    run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ))
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 301
    assert (lines[0], lines[150], lines[-1]) == ("400.00 nm", "550.00 nm", "700.00 nm")


def stub_tree():
    stubs = pathlib.Path(brivel.__file__).with_name("_brivel.pyi")
    assert stubs.exists(), "_brivel.pyi is not next to the module"
    return ast.parse(stubs.read_text(encoding="utf-8"))


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_the_stubs_name_what_the_module_has():
    tree = stub_tree()
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    compiled = brivel._brivel
    module_classes = {name for name in public(dir(compiled)) if isinstance(getattr(compiled, name), type)}
    assert set(classes) == module_classes
    for name, node in classes.items():
        stubbed = set()
        for member in node.body:
            if isinstance(member, (ast.FunctionDef, ast.AnnAssign)):
                stubbed.add(member.name if isinstance(member, ast.FunctionDef) else member.target.id)
        own = public(vars(getattr(compiled, name)))
        if issubclass(getattr(compiled, name), BaseException):
            continue  # attributes are set per instance
        assert public(stubbed) == own, name


def test_help_reads_well():
    text = pydoc.render_doc(brivel, renderer=pydoc.plaintext)
    for words in ("Control a grating monochromator", "Monochromator.simulated", "move_to(nm: float) -> float",
                  "RefusedError", "confirm"):
        assert words in text
