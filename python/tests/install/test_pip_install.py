"""The package as a new user installs it: `python -m venv v && v/bin/pip install <source>`,
then `import brivel` from another folder; the stubs pass mypy --strict on the
documentation's examples and stubtest against the compiled module.

Run by the ctest `python.pip_install` (label python). pip fetches the build tools
(scikit-build-core, pybind11) and mypy, pinned, from PyPI. The venv is made anew on
every run; the CMake build folder under BRIVEL_PIP_TEST_DIR is kept between runs, so
a second run builds only what changed.
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
MYPY = "mypy==1.13.0"
PROBE = """
import importlib.metadata as md, json, os, sys
import brivel
with brivel.Monochromator.simulated(rate=2000) as m:
    reached = m.move_to(510)
    status = m.move_to(520, wait=False)
    reached_later = status.wait()
folder = os.path.dirname(brivel.__file__)
meta = md.metadata("brivel")
print(json.dumps({
    "version": brivel.__version__,
    "dist_version": md.version("brivel"),
    "file": brivel.__file__,
    "files": sorted(os.listdir(folder)),
    "requires": meta.get_all("Requires-Dist") or [],
    "scripts": {e.name: e.value for e in md.entry_points(group="console_scripts") if e.name.startswith("brivel")},
    "reached": [reached, reached_later],
    "prefix": sys.prefix,
}))
"""


def project_version():
    text = (SOURCE / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(Brivel VERSION ([0-9.]+)", text).group(1)


def interpreters():
    """The Python running the tests, and the other pythons a user may have (the first
    python3 on PATH, pyenv's here; Debian's /usr/bin/python3), each once."""
    found, seen = [], set()
    for candidate in (sys.executable, shutil.which("python3"), "/usr/bin/python3"):
        if not candidate or not os.path.exists(candidate):
            continue
        real = subprocess.run([candidate, "-c", "import sys; print(sys.executable)"], capture_output=True,
                              text=True, timeout=60).stdout.strip()
        if real and os.path.realpath(real) not in seen:
            seen.add(os.path.realpath(real))
            found.append(real)
    return found


def run(command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{command} failed:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return done


def install(python, name):
    folder = WORK / name
    venv = folder / "venv"
    shutil.rmtree(venv, ignore_errors=True)
    folder.mkdir(parents=True, exist_ok=True)
    run([python, "-m", "venv", str(venv)], timeout=300)
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    env.pop("PYTHONPATH", None)
    if shutil.which("ccache"):
        env["CMAKE_CXX_COMPILER_LAUNCHER"] = "ccache"
    run([str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
         f"--config-settings=build-dir={folder / 'build'}", str(SOURCE)], timeout=2400, env=env, cwd=folder)
    return venv, env


@pytest.fixture(scope="module", params=interpreters(), ids=lambda p: p)
def installed(request):
    name = "py" + re.sub(r"[^0-9a-z]+", "-", request.param.lower()).strip("-")
    return install(request.param, name)


def test_import_outside_the_tree(installed, tmp_path):
    venv, env = installed
    probe = json.loads(run([str(venv / "bin" / "python"), "-c", PROBE], cwd=tmp_path, env=env, timeout=300).stdout)
    assert probe["version"] == probe["dist_version"] == project_version()
    assert probe["file"].startswith(probe["prefix"]) and "site-packages" in probe["file"]
    assert {"__init__.py", "py.typed", "_brivel.pyi"} <= set(probe["files"])
    assert any(f.startswith("_brivel.cpython-") for f in probe["files"])
    assert probe["reached"] == pytest.approx([510, 520])
    requires = " | ".join(probe["requires"])
    for pinned in ("softioc==4.7.2", "pyepics==3.5.10", "bluesky==1.15.1", "ophyd-async[ca]==0.21.3"):
        assert pinned in requires
    assert 'extra == "epics"' in requires and 'extra == "bluesky"' in requires
    assert probe["scripts"] == {"brivel-ioc": "brivel.ioc:main"}


def test_the_wheel_names_its_python(installed):
    venv, _ = installed
    tag = run([str(venv / "bin" / "python"), "-c",
               "import sys; print(f'cp{sys.version_info[0]}{sys.version_info[1]}')"]).stdout.strip()
    records = list((venv / "lib").glob("python3.*/site-packages/brivel-*.dist-info/WHEEL"))
    assert records, "no wheel record"
    assert f"Tag: {tag}-{tag}-linux_" in records[0].read_text()


def documented_examples():
    text = (SOURCE / "docs" / "python.md").read_text(encoding="utf-8")
    return re.findall(r"```python\n(.*?)```", text, re.S)


def test_the_stubs_pass_mypy_strict_and_stubtest(installed, tmp_path):
    venv, env = installed
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", MYPY], timeout=900, env=env)
    files = []
    for number, example in enumerate(documented_examples()):
        path = tmp_path / f"example_{number}.py"
        path.write_text(example, encoding="utf-8")
        files.append(str(path))
    assert len(files) >= 6
    run([python, "-m", "mypy", "--strict", "--no-incremental", *files], cwd=tmp_path, env=env, timeout=900)
    # The compiled module against its stubs (the pure-Python modules are their own stubs).
    allowlist = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
    run([python, "-m", "mypy.stubtest", "--concise", "--allowlist", str(allowlist), "brivel._brivel"],
        cwd=tmp_path, env=env, timeout=900)
