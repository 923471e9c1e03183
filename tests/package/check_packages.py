#!/usr/bin/env python3
"""Makes the Debian packages as `make package` does and checks control fields, copyright, changelog,
soname, links, shlibs, ldconfig trigger, udev rule; extracted, the programs run on the packaged library,
the module imports, find_package(Brivel) works; as root, dpkg installs and purges them in a throwaway
root; lintian finds no error or warning.

  check_packages.py --build-dir B --source-dir S --version 0.2.0 --release 1 --packages ...
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

ADAPTERS = {("0403", "6001"), ("0403", "6010"), ("0403", "6011"), ("0403", "6014"), ("0403", "6015"),
            ("067b", "2303"), ("10c4", "ea60"), ("1a86", "7523"), ("1a86", "55d4")}
MANUAL_PAGES = ("brivelctl.1", "brivel-sim.1", "brivel-demo.1")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print(f"FAIL: {what}", flush=True)
    return ok


def run(args, env=None, timeout=120):
    full_env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    full_env.update(QT_QPA_PLATFORM="offscreen", **(env or {}))
    return subprocess.run(args, env=full_env, capture_output=True, text=True, timeout=timeout)


def read(path):
    return open(path, encoding="utf-8").read() if os.path.isfile(path) else ""


def field(deb, name):
    return run(["dpkg-deb", "-f", deb, name]).stdout.strip()


def check_documents(root, package, version, license_text):
    doc = os.path.join(root, "usr/share/doc", package)
    text = read(os.path.join(doc, "copyright"))
    holder = re.search(r"Copyright \(c\) ([^\n]*)", license_text).group(1)
    for needed in ("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/",
                   f"Copyright: {holder}", "License: Expat", " Permission is hereby granted, free of charge",
                   " THE SOFTWARE IS PROVIDED \"AS IS\""):
        check(needed in text, f"{package}: copyright lacks {needed!r}")
    changelog = os.path.join(doc, "changelog.Debian.gz")
    if check(os.path.isfile(changelog), f"{package}: no changelog.Debian.gz"):
        first = gzip.open(changelog, "rt", encoding="utf-8").readline()
        check(first.startswith(f"brivel ({version}) "), f"{package}: changelog.Debian.gz begins {first!r}")
    check(os.path.isfile(os.path.join(root, "usr/share/lintian/overrides", package)), f"{package}: no overrides")


def check_library(deb, root, work, upstream):
    name = f"libBrivelocx.so.{upstream}"
    libdirs = [os.path.join(root, "usr/lib", a) for a in os.listdir(os.path.join(root, "usr/lib"))
               if os.path.isfile(os.path.join(root, "usr/lib", a, name))]
    if not check(libdirs, f"libbrivelocx0: no {name} under /usr/lib/<multiarch>"):
        return None
    libdir = libdirs[0]
    check(re.search(r"/usr/lib/[a-z0-9_]+-linux-gnu[a-z0-9_]*$", libdir), f"libbrivelocx0: not multiarch: {libdir}")
    link = os.path.join(libdir, "libBrivelocx.so.0")
    check(os.path.islink(link) and os.readlink(link) == name, "libbrivelocx0: libBrivelocx.so.0 is no link to it")
    soname = re.search(r"SONAME\s+(\S+)", run(["objdump", "-p", os.path.join(libdir, name)]).stdout)
    check(soname and soname.group(1) == "libBrivelocx.so.0", f"libbrivelocx0: soname {soname and soname.group(1)}")
    control = os.path.join(work, "control-libbrivelocx0")
    run(["dpkg-deb", "-e", deb, control])
    names = os.listdir(control)
    check("postinst" not in names and "postrm" not in names, f"libbrivelocx0: maintainer scripts {names}")
    check("activate-noawait ldconfig" in read(os.path.join(control, "triggers")), "libbrivelocx0: no ldconfig trigger")
    shlibs = read(os.path.join(control, "shlibs"))
    check(re.search(r"^libBrivelocx 0 libbrivelocx0 \(>= ", shlibs, re.M), f"libbrivelocx0: shlibs {shlibs!r}")
    return libdir


def check_extracted(root, libdir, upstream, packages):
    env = {"LD_LIBRARY_PATH": libdir or ""}
    bindir = os.path.join(root, "usr/bin")
    if "brivel-tools" in packages:
        for args, expected in ((["brivelctl", "--version"], f"brivelctl {upstream}\n"),
                               (["brivel-sim", "--help"], "usage: brivel-sim"),
                               (["brivelctl", "--sim", "open", "get", "BlnMonConnectFlag"], "True\n")):
            result = run([os.path.join(bindir, args[0])] + args[1:], env, timeout=60)
            check(result.returncode == 0 and (result.stdout.strip() + "\n").startswith(expected),  # run from the package
                  f"{' '.join(args)} from the package: {result.returncode} {result.stdout!r} {result.stderr!r}")
        if libdir:
            ldd = run(["ldd", os.path.join(bindir, "brivel-demo")], env).stdout
            check(f"libBrivelocx.so.0 => {libdir}/" in ldd, f"brivel-demo does not load the packaged library: {ldd}")
        text = read(os.path.join(root, "usr/lib/udev/rules.d/60-brivel.rules"))
        pairs = set()
        for line in text.splitlines():
            vendor = re.search(r'ATTRS\{idVendor\}=="([0-9a-f]+)"', line)
            products = re.search(r'ATTRS\{idProduct\}=="([0-9a-f|]+)"', line)
            if vendor and products and not line.lstrip().startswith("#"):
                pairs |= {(vendor.group(1), p) for p in products.group(1).split("|")}
        check(not ADAPTERS - pairs, f"the udev rule misses the adapters {sorted(ADAPTERS - pairs)}")
        for needed in ('SUBSYSTEM!="tty"', 'GROUP="dialout"', 'TAG+="uaccess"'):
            check(needed in text, f"the udev rule lacks {needed}")
        for page in MANUAL_PAGES:
            check(os.path.isfile(os.path.join(root, "usr/share/man/man1", page + ".gz")), f"no manual page {page}")
    if "python3-brivel" in packages:
        site = os.path.join(root, "usr/lib/python3/dist-packages")
        result = run([sys.executable, "-c", "import brivel; print(brivel.__file__)"],
                     dict(env, PYTHONPATH=site, PYTHONDONTWRITEBYTECODE="1"))
        check(result.returncode == 0 and result.stdout.startswith(site + "/"),
              f"import brivel from the package: {result.returncode} {result.stdout!r} {result.stderr[-800:]!r}")
    if "libbrivelocx-dev" in packages and libdir:
        check(os.readlink(os.path.join(libdir, "libBrivelocx.so")) == "libBrivelocx.so.0",
              "libbrivelocx-dev: libBrivelocx.so is no link to libBrivelocx.so.0")
        project = os.path.join(os.path.dirname(root), "find-package")
        os.makedirs(project, exist_ok=True)
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.22)\nproject(host LANGUAGES CXX)\n"
                    f"find_package(Brivel {upstream.rsplit('.', 1)[0]} REQUIRED)\n"
                    "get_target_property(lib Brivel::Brivelocx IMPORTED_LOCATION_RELWITHDEBINFO)\n"
                    "get_target_property(inc Brivel::Brivelocx INTERFACE_INCLUDE_DIRECTORIES)\n"
                    "message(STATUS \"lib=${lib}\")\nmessage(STATUS \"inc=${inc}\")\n")
        result = run(["cmake", "-S", project, "-B", os.path.join(project, "build"), f"-DCMAKE_PREFIX_PATH={root}/usr"])
        check(result.returncode == 0 and f"lib={libdir}/libBrivelocx.so.{upstream}" in result.stdout
              and f"inc={root}/usr/include/Brivelocx" in result.stdout,
              f"find_package(Brivel) against the package: {result.stdout}{result.stderr}")


def check_installs(debs, work, packages):
    for deb in debs:  # every dependency but each other's is installed here
        for alternatives in filter(None, (d.strip() for d in field(deb, "Depends").split(","))):
            names = [re.sub(r"\(.*\)", "", a).strip() for a in alternatives.split("|")]
            check(any(n in packages or run(["dpkg-query", "-W", "-f=${Status}", n]).stdout == "install ok installed"
                      for n in names), f"{os.path.basename(deb)}: dependency {alternatives} is not installed here")
    if os.geteuid() != 0:
        print("note: not root; dpkg --root is not tried", flush=True)
        return
    root = os.path.join(work, "dpkg-root")
    for d in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(root, "var/lib/dpkg", d))
    for f in ("status", "available"):
        open(os.path.join(root, "var/lib/dpkg", f), "w").close()
    dpkg = ["dpkg", f"--root={root}", "--force-not-root", "--force-depends", "--log=/dev/null"]
    result = run(dpkg + ["-i"] + debs)
    if not check(result.returncode == 0, f"dpkg -i into a throwaway root: {result.stdout}{result.stderr}"):
        return
    for package in packages:
        check("Status: install ok installed" in run(dpkg + ["-s", package]).stdout, f"dpkg: {package} not installed")
    if "brivel-tools" in packages:
        check("/usr/lib/udev/rules.d/60-brivel.rules" in run(dpkg + ["-L", "brivel-tools"]).stdout,
              "dpkg -L brivel-tools does not list the udev rule")
    result = run(dpkg + ["--purge"] + list(reversed(packages)))
    left = [os.path.join(p, f) for p, _, fs in os.walk(os.path.join(root, "usr")) for f in fs]
    check(result.returncode == 0 and not left, f"dpkg --purge: {result.returncode} {result.stderr} left {left[:5]}")


def check_lintian(debs):
    if not shutil.which("lintian"):
        print("note: lintian is not installed; not run", flush=True)
        return
    for line in run(["lintian", "--no-cfg", "--fail-on", "none"] + debs, timeout=300).stdout.splitlines():
        print(f"lintian: {line}", flush=True)
        page = re.search(r"no-manual-page \[usr/bin/(\S+)\]", line)
        # A program whose page is not written yet (docs/packaging.md) is no failure.
        check(not line.startswith(("E:", "W:")) or (page and page.group(1) + ".1" not in MANUAL_PAGES),
              f"lintian: {line}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--build-dir", "--source-dir", "--version", "--release"):
        parser.add_argument(option, required=True)
    parser.add_argument("--packages", nargs="+", required=True)
    parser.add_argument("--work-dir")
    args = parser.parse_args()
    deb_version = f"{args.version}-{args.release}"

    work = args.work_dir or tempfile.mkdtemp(prefix="brivel-packages-")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    result = run(["cpack", "--config", os.path.join(args.build_dir, "CPackConfig.cmake"), "-B", work], timeout=300)
    debs = sorted(os.path.join(work, f) for f in os.listdir(work) if f.endswith(".deb"))
    names = {os.path.basename(d).split("_")[0]: d for d in debs}
    if result.returncode != 0 or sorted(names) != sorted(args.packages):
        print(result.stdout, result.stderr)
        sys.exit(f"FAIL: cpack made {sorted(names)}, expected {sorted(args.packages)} (status {result.returncode})")

    license_text = read(os.path.join(args.source_dir, "LICENSE"))
    root = os.path.join(work, "root")
    for package, deb in names.items():
        check(field(deb, "Version") == deb_version, f"{package}: version {field(deb, 'Version')!r}")
        check(field(deb, "Maintainer") and field(deb, "Section"), f"{package}: no Maintainer or Section")
        extracted = run(["dpkg-deb", "-x", deb, root])
        check(extracted.returncode == 0, f"{package}: dpkg-deb -x: {extracted.stderr}")
        check_documents(root, package, deb_version, license_text)
    libdir = check_library(names["libbrivelocx0"], root, work, args.version) if "libbrivelocx0" in names else None
    contents = {p: run(["dpkg-deb", "-c", names[p]]).stdout for p in ("libbrivelocx0", "libbrivelocx-dev") if p in names}
    check(not re.search(r"libBrivelocx\.so |include/", contents.get("libbrivelocx0", "")),
          "libbrivelocx0 holds development files")
    if "libbrivelocx-dev" in contents:
        for needed in ("usr/include/Brivelocx/Brivel.h", "/cmake/Brivel/BrivelConfig.cmake", "libBrivelocx.so -> "):
            check(needed in contents["libbrivelocx-dev"], f"libbrivelocx-dev lacks {needed}")
        check(not re.search(r"surface_view\.h|qt_dialogs\.h|control/control\.h", contents["libbrivelocx-dev"]),
              "libbrivelocx-dev holds internal headers")

    check_extracted(root, libdir, args.version, names)
    check_installs(debs, work, list(names))
    check_lintian(debs)
    if failures:
        sys.exit(f"{len(failures)} check(s) failed")
    print(f"packages checked: {', '.join(os.path.basename(d) for d in debs)}")


if __name__ == "__main__":
    main()
