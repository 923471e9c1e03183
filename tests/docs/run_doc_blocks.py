#!/usr/bin/env python3
"""Runs the examples of the documents that are marked runnable, as a user would type
them after the README's commands.

A fenced block is runnable when its info string holds the word `runnable`:

    ```sh runnable            a shell block: every command must succeed, except that a
                              line whose comment says `# status N` must end with status N
    ```python runnable        a Python block, with the package built in build/python/package

Each block runs on its own, in a fresh folder where `build` is the build folder (so
`build/apps/brivelctl` and `build/brivel-sim` are where the README says), with
brivelctl, brivel-sim and brivel-demo also on PATH (as a package installs them),
its own empty configuration folders, no display, and a time limit. A failure names
the file, the line of the block and the line of the command.

  run_doc_blocks.py --build-dir BUILD [--timeout SECONDS] FILE...
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

PROGRAMS = {"brivelctl": "apps/brivelctl", "brivel-sim": "brivel-sim", "brivel-demo": "apps/brivel-demo"}
FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*([^`\s]*)(.*)$")
STATUS = re.compile(r"^(?P<command>.*?\S)\s+#\s*status\s+(?P<status>\d+)\b.*$")


class Block:
    def __init__(self, path, line, language, body):
        self.path, self.line, self.language, self.body = path, line, language, body

    @property
    def where(self):
        return f"{self.path}:{self.line}"


def runnable_blocks(path):
    """The runnable blocks of a Markdown file; `line` is the line of the opening fence."""
    blocks, open_fence = [], None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, text in enumerate(lines, 1):
        match = FENCE.match(text)
        if open_fence is None:
            if match:
                words = match.group(4).split()
                open_fence = (match.group(2), number, match.group(3), "runnable" in words, [])
            continue
        fence, start, language, runnable, body = open_fence
        if match and match.group(2).startswith(fence) and not match.group(3) and not match.group(4).strip():
            if runnable:
                blocks.append(Block(path, start, language, body))
            open_fence = None
        else:
            body.append(text)
    if open_fence is not None:
        raise SystemExit(f"{path}:{open_fence[1]}: a fenced block that is never closed")
    return blocks


def shell_script(block):
    """The block as a bash script that stops at the first command that fails, and checks
    the status of every line that names one."""
    out = ['set -eo pipefail; trap \'echo "doc block: the command on line $((LINENO + %d)) ended with status $?" >&2\' ERR'
           % (block.line - 1)]
    for offset, text in enumerate(block.body, 1):
        line = block.line + offset
        match = STATUS.match(text)
        if match and not text.lstrip().startswith("#"):
            command, status = match.group("command"), match.group("status")
            out.append(f"__s=0; {command} || __s=$?; if [ $__s -ne {status} ]; then "
                       f"echo \"doc block: the command on line {line} ended with status $__s, the document says {status}\" >&2; "
                       f"exit 1; fi")
        else:
            out.append(text)
    return "\n".join(out) + "\n"


def environment(build, work):
    bin_dir = os.path.join(work, ".bin")
    os.makedirs(bin_dir)
    for name, relative in PROGRAMS.items():
        program = os.path.join(build, relative)
        if os.path.isfile(program):
            os.symlink(program, os.path.join(bin_dir, name))
    os.symlink(build, os.path.join(work, "build"))
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("BRIVEL_COM")}
    env.update({
        "PATH": bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
        "HOME": os.path.join(work, ".home"),
        "XDG_CONFIG_HOME": os.path.join(work, ".home", ".config"),
        "XDG_CONFIG_DIRS": os.path.join(work, ".none"),
        "QT_QPA_PLATFORM": "offscreen",
        "PYTHONPATH": os.path.join(build, "python", "package"),
        "PYTHONDONTWRITEBYTECODE": "1",
    })
    os.makedirs(env["XDG_CONFIG_HOME"])
    return env


def run_block(block, build, timeout, python):
    work = tempfile.mkdtemp(prefix="brivel-doc-")
    try:
        env = environment(build, work)
        if block.language in ("sh", "bash", "shell"):
            command = ["bash", "-c", shell_script(block)]
        elif block.language == "python":
            if not os.path.isdir(env["PYTHONPATH"]):
                return None, "the Python module is not built", 0.0
            command = [python, "-c", "\n".join(block.body)]
        else:
            return False, f"a runnable block of language {block.language!r}: only sh and python run", 0.0
        started = time.monotonic()
        try:
            done = subprocess.run(command, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as expired:
            output = (expired.stdout or b"").decode(errors="replace") + (expired.stderr or b"").decode(errors="replace")
            return False, f"still running after {timeout} s\n{output}", timeout
        elapsed = time.monotonic() - started
        output = done.stdout + done.stderr
        if done.returncode != 0:
            return False, f"status {done.returncode}\n{output}", elapsed
        return True, output, elapsed
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)

    passed = failed = skipped = 0
    for path in args.files:
        blocks = runnable_blocks(path)
        if not blocks:
            print(f"{path}: no runnable block")
        for block in blocks:
            ok, output, elapsed = run_block(block, build, args.timeout, args.python)
            if ok is None:
                skipped += 1
                print(f"skip {block.where} ({block.language}): {output}")
            elif ok:
                passed += 1
                print(f"ok   {block.where} ({block.language}, {elapsed:.1f} s)")
            else:
                failed += 1
                print(f"FAIL {block.where} ({block.language}): {output.rstrip()}")
                print("     the block:")
                for text in block.body:
                    print(f"     | {text}")
            sys.stdout.flush()
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
