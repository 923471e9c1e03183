"""The package as a new user installs it: `python -m venv v && v/bin/pip install <source>`
for each Python found, then `import brivel` from another folder; the stubs pass
mypy --strict on the documentation's examples and stubtest against the compiled module.

Run by the ctest `python.pip_install`. pip fetches the pinned build tools and mypy from
PyPI; the venv is new every run, the CMake build folder under BRIVEL_PIP_TEST_DIR is
kept, so a second run builds only what changed.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[3]
WORK = pathlib.Path(os.environ.get("BRIVEL_PIP_TEST_DIR") or tempfile.mkdtemp(prefix="brivel-pip-"))
PROBE = """
import importlib.metadata as md, json, os, sys
import brivel
with brivel.Monochromator.simulated(rate=2000) as m:
    reached = [m.move_to(510), m.move_to(520, wait=False).wait()]
print(json.dumps({"version": brivel.__version__, "dist_version": md.version("brivel"), "file": brivel.__file__,
    "files": sorted(os.listdir(os.path.dirname(brivel.__file__))), "prefix": sys.prefix, "reached": reached,
    "requires": md.metadata("brivel").get_all("Requires-Dist") or [],
    "scripts": {e.name: e.value for e in md.entry_points(group="console_scripts") if e.name.startswith("brivel")},
    "tag": f"cp{sys.version_info[0]}{sys.version_info[1]}"}))
"""


def interpreters():
    """The Python running the tests, the first python3 on PATH, Debian's; each once."""
    found = {}
    for candidate in (sys.executable, shutil.which("python3"), "/usr/bin/python3"):
        if candidate and os.path.exists(candidate):
            real = run([candidate, "-c", "import sys; print(sys.executable)"]).stdout.strip()
            found.setdefault(os.path.realpath(real), real)
    return list(found.values())


def run(command, timeout=900, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)
    assert done.returncode == 0, f"{command} failed:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return done


@pytest.fixture(scope="module", params=interpreters(), ids=lambda p: p)
def installed(request):
    folder = WORK / ("py" + re.sub(r"[^0-9a-z]+", "-", request.param.lower()).strip("-"))
    venv = folder / "venv"
    shutil.rmtree(venv, ignore_errors=True)
    folder.mkdir(parents=True, exist_ok=True)
    run([request.param, "-m", "venv", str(venv)])
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    env.pop("PYTHONPATH", None)
    if shutil.which("ccache"):
        env["CMAKE_CXX_COMPILER_LAUNCHER"] = "ccache"
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
         f"--config-settings=build-dir={folder / 'build'}", str(SOURCE)], timeout=2400, env=env, cwd=folder)
    return python, venv, env


def test_import_outside_the_tree(installed, tmp_path):
    python, venv, env = installed
    probe = json.loads(run([python, "-c", PROBE], cwd=tmp_path, env=env).stdout)
    version = re.search(r"project\(Brivel VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text()).group(1)
    assert probe["version"] == probe["dist_version"] == version
    assert probe["file"].startswith(probe["prefix"]) and "site-packages" in probe["file"]
    assert {"__init__.py", "py.typed", "_brivel.pyi"} <= set(probe["files"])
    assert any(f.startswith("_brivel.cpython-") for f in probe["files"])
    assert probe["reached"] == pytest.approx([510, 520])
    requires = " | ".join(probe["requires"])
    for pinned in ("softioc==4.7.2", "pyepics==3.5.10", "bluesky==1.15.1", "ophyd-async[ca]==0.21.3",
                   'extra == "epics"', 'extra == "bluesky"'):
        assert pinned in requires
    assert probe["scripts"] == {"brivel-ioc": "brivel.ioc:main"}
    wheel = list((venv / "lib").glob("python3.*/site-packages/brivel-*.dist-info/WHEEL"))
    assert f"Tag: {probe['tag']}-{probe['tag']}-linux_" in wheel[0].read_text()


def test_the_stubs_pass_mypy_strict_and_stubtest(installed, tmp_path):
    python, _, env = installed
    run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "mypy==1.13.0"], env=env)
    examples = re.findall(r"```python[^\n]*\n(.*?)```", (SOURCE / "docs" / "python.md").read_text(), re.S)
    assert len(examples) >= 6
    for number, example in enumerate(examples):
        (tmp_path / f"example_{number}.py").write_text(example, encoding="utf-8")
    run([python, "-m", "mypy", "--strict", "--no-incremental", *map(str, tmp_path.glob("example_*.py"))],
        cwd=tmp_path, env=env)
    # The compiled module against its stubs (the pure-Python modules are their own stubs).
    allowlist = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
    run([python, "-m", "mypy.stubtest", "--concise", "--allowlist", str(allowlist), "brivel._brivel"],
        cwd=tmp_path, env=env)
