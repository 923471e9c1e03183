#!/usr/bin/env python3
"""The document runner judges blocks as it should: it runs only the marked ones, and a
wrong path, a renamed option or a status other than the document's fails with the
file and the line of the block (fixtures/examples.md).

  runner_test.py --build-dir BUILD
"""
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
build = sys.argv[sys.argv.index("--build-dir") + 1]
fixture = os.path.join(here, "fixtures", "examples.md")
done = subprocess.run([sys.executable, os.path.join(here, "run_doc_blocks.py"), "--build-dir", build, fixture],
                      capture_output=True, text=True, timeout=300)
out = done.stdout
print(out, done.stderr)

lines = open(fixture).read().split("\n")
def block_line(text):
    """The line of the opening fence of the block that holds `text`."""
    at = lines.index(text)
    while not lines[at].startswith("```"):
        at -= 1
    return at + 1

expected = {
    "brivel-sim --version\nbuild/apps/brivelctl --version": "ok",
    "build/apps/brivelctl/brivelctl --version": "FAIL",
    "brivelctl --simulator open": "FAIL",
    "brivelctl --sim --sim-fault silent open      # status 0": "FAIL",
    "brivelctl --sim --sim-fault silent open      # status 3": "ok",
}
problems = []
for text, verdict in expected.items():
    where = f"{fixture}:{block_line(text.split(chr(10))[-1])}"
    if f"{verdict:<4} {where} " not in out:
        problems.append(f"expected '{verdict} {where}'")
python_where = f"{fixture}:{block_line('brivel.no_such_thing()')}"
if f"FAIL {python_where} " not in out and f"skip {python_where} " not in out:
    problems.append(f"expected the Python block at {python_where} to fail (or be skipped without the module)")
if "--no-such-option" in out:
    problems.append("the unmarked block was run")
status_line = lines.index("brivelctl --sim --sim-fault silent open      # status 0") + 1
if f"the command on line {status_line} ended with status 3, the document says 0" not in out:
    problems.append("the status mismatch does not name the command's line and both statuses")
if "build/apps/brivelctl/brivelctl: Not a directory" not in out:
    problems.append("the wrong path is not shown")
if done.returncode != 1:
    problems.append(f"status {done.returncode}, expected 1")
for p in problems:
    print("FAIL:", p)
sys.exit(1 if problems else 0)
