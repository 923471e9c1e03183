"""The module as a whole: help(), the end of a script, a Python it was not built for (examples: the
docs tests; stubs: stubtest in the pip install test)."""

import os
import pathlib
import pydoc
import subprocess
import sys

import brivel


def test_help_reads_well():
    text = pydoc.render_doc(brivel, renderer=pydoc.plaintext)
    for words in ("Control a grating monochromator", "Monochromator.simulated", "RefusedError", "confirm",
                  "move_to(nm: float, *, wait: bool = True) -> float | Status", "add_callback(fn"):
        assert words in text


def python(code, **kwargs):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, **kwargs)


def test_a_script_that_exits_with_a_move_running_ends_cleanly():
    # At exit the package stops the motor, closes the port and ends its threads.
    run = python("import brivel\nm = brivel.Monochromator.simulated()\nm.open()\n"
                 "m.subscribe(lambda nm: None)\nstatus = m.move_to(1500, wait=False)\n"
                 "status.add_callback(lambda s: print('ended', s.done, flush=True))\nprint('leaving', flush=True)\n")
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["leaving", "ended True"]


def test_a_python_without_its_compiled_module_says_what_to_do(tmp_path):
    # The package folder with a compiled module for some other Python only.
    copy = tmp_path / "brivel"
    copy.mkdir()
    for source in pathlib.Path(brivel.__file__).parent.iterdir():
        if source.suffix in (".py", ".pyi", ".typed"):
            (copy / source.name).write_bytes(source.read_bytes())
    (copy / "_brivel.cpython-399-x86_64-linux-gnu.so").write_bytes(b"")
    run = python("import brivel", cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert run.returncode != 0
    assert "was not built for this Python" in run.stderr and f"{sys.executable} -m pip install" in run.stderr
