#!/usr/bin/env python3
"""Runs the examples of the documents marked runnable, as a user would type them after
the README's commands:

    ```sh runnable       every command must succeed, but a line whose comment says
                         `# status N` must end with status N
    ```python runnable   with the package built in build/python/package

Each block runs on its own in a fresh folder where `build` is the build folder, with
brivelctl, brivel-sim and brivel-demo on PATH, empty configuration folders, no display
and a time limit. A failure names the file and the lines of the block and the command.

  run_doc_blocks.py --build-dir BUILD [--timeout SECONDS] FILE...
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

PROGRAMS = {"brivelctl": "apps/brivelctl", "brivel-sim": "brivel-sim", "brivel-demo": "apps/brivel-demo"}
FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*([^`\s]*)(.*)$")
LABEL = {True: "ok  ", False: "FAIL", None: "skip"}
STATUS = re.compile(r"^(?P<command>.*?\S)\s+#\s*status\s+(?P<status>\d+)\b.*$")


def runnable_blocks(path):
    """(line of the opening fence, language, body lines) of each runnable block."""
    blocks, fence = [], None
    for number, text in enumerate(open(path, encoding="utf-8").read().split("\n"), 1):
        match = FENCE.match(text)
        if fence is None:
            if match:
                fence = (match.group(2), number, match.group(3), "runnable" in match.group(4).split(), [])
        elif match and match.group(2).startswith(fence[0]) and not match.group(3) and not match.group(4).strip():
            if fence[3]:
                blocks.append((fence[1], fence[2], fence[4]))
            fence = None
        else:
            fence[4].append(text)
    if fence is not None:
        raise SystemExit(f"{path}:{fence[1]}: a fenced block that is never closed")
    return blocks


def shell_script(start, body):
    """The block as a bash script that stops at the first failing command and checks the
    status of every line that names one."""
    out = ['set -eo pipefail; trap \'echo "doc block: the command on line $((LINENO + %d)) ended with status $?" >&2\' ERR'
           % (start - 1)]
    for line, text in enumerate(body, start + 1):
        match = STATUS.match(text)
        if match and not text.lstrip().startswith("#"):
            out.append(f"__s=0; {match['command']} || __s=$?; if [ $__s -ne {match['status']} ]; then "
                       f"echo \"doc block: the command on line {line} ended with status $__s, the document says "
                       f"{match['status']}\" >&2; exit 1; fi")
        else:
            out.append(text)
    return "\n".join(out) + "\n"


def run_block(start, language, body, build, timeout, python):
    """(True, False or None for skipped, output)."""
    work = tempfile.mkdtemp(prefix="brivel-doc-")
    try:
        os.makedirs(os.path.join(work, ".bin"))
        for name, relative in PROGRAMS.items():
            if os.path.isfile(os.path.join(build, relative)):
                os.symlink(os.path.join(build, relative), os.path.join(work, ".bin", name))
        os.symlink(build, os.path.join(work, "build"))
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("BRIVEL_COM")}
        env.update(PATH=os.path.join(work, ".bin") + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
                   HOME=os.path.join(work, ".home"), XDG_CONFIG_HOME=os.path.join(work, ".home", ".config"),
                   XDG_CONFIG_DIRS=os.path.join(work, ".none"), QT_QPA_PLATFORM="offscreen",
                   PYTHONPATH=os.path.join(build, "python", "package"), PYTHONDONTWRITEBYTECODE="1")
        os.makedirs(env["XDG_CONFIG_HOME"])
        if language in ("sh", "bash", "shell"):
            command = ["bash", "-c", shell_script(start, body)]
        elif language != "python":
            return False, f"a runnable block of language {language!r}: only sh and python run"
        elif not os.path.isdir(env["PYTHONPATH"]):
            return None, "the Python module is not built"
        else:
            command = [python, "-c", "\n".join(body)]
        try:
            done = subprocess.run(command, cwd=work, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=timeout)
        except subprocess.TimeoutExpired as expired:
            output = b"".join(s or b"" for s in (expired.stdout, expired.stderr)).decode(errors="replace")
            return False, f"still running after {timeout} s\n{output}"
        return done.returncode == 0, f"status {done.returncode}\n{done.stdout}{done.stderr}"
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    counts = {True: 0, False: 0, None: 0}
    for path in args.files:
        blocks = runnable_blocks(path)
        if not blocks:
            print(f"{path}: no runnable block")
        for start, language, body in blocks:
            ok, output = run_block(start, language, body, os.path.abspath(args.build_dir), args.timeout, args.python)
            counts[ok] += 1
            print(f"{LABEL[ok]} {path}:{start} ({language})"
                  + ("" if ok else f": {output.rstrip()}"))
            if ok is False:
                print("     the block:\n" + "\n".join(f"     | {text}" for text in body))
            sys.stdout.flush()
    print(f"{counts[True]} passed, {counts[False]} failed, {counts[None]} skipped")
    return 1 if counts[False] else 0


if __name__ == "__main__":
    sys.exit(main())
