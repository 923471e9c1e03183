#!/usr/bin/env bash
# Installs the Debian 12 packages one command of the Makefile needs, and only those
# that are missing. Run as root (or with sudo available).
#
#   scripts/setup.sh [GROUP...]      GROUP: demo build test asan fuzz package bench all
#
# Each group below lists what it adds; a group also installs the groups it includes
# (see `includes`). Without a group, `build`. To add a package, put it on a line of
# the group that needs it; a group of its own is one array and one line in
# `includes`.
set -euo pipefail

# ---- the groups ------------------------------------------------------------------------

# toolchain: compiler and build tools, for everything.
group_toolchain=(
  g++ cmake ninja-build make pkg-config
)
# demo: brivel-demo and brivel-sim (make demo), and brivelctl.
group_demo=(
  qt6-base-dev qt6-serialport-dev libgl-dev
  libglib2.0-dev            # the event pump's wake-up as a source of Qt's GLib loop
  fonts-wqy-microhei        # the Chinese captions
  locales
)
# modules: what `make build` builds besides: the Qt Designer plugin, the QML host,
# the Python package.
group_modules=(
  qt6-tools-dev qt6-tools-dev-tools
  qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-window
  qml6-module-qtqml-workerscript
  pybind11-dev python3-pybind11 python3-dev
  python3-venv              # pip install of the Python package into a venv
)
# servers: the control servers and their tests.
# >>> servers: add their Debian packages here, one line each (e.g. libtango-dev),
# >>> and their Python packages to pip_servers below, pinned (name==version).
group_servers=(
  libtango-dev     # brivel-tango: the Tango device server
  python3-tango    # its tests (PyTango, for Debian's /usr/bin/python3)
  tango-test       # the TangoTest server, for trying a Tango installation
  python3-taurus   # generic Tango panels (docs/tango.md)
  xvfb             # the Taurus panel's picture (scripts/tango-panel.sh)
)
pip_servers=(
)
# testing: the test frameworks.
group_testing=(
  libgtest-dev libgmock-dev
  python3-pytest
)
# package: the Debian packages (make package) and their checks.
group_package=(
  dpkg-dev lintian
)
# fuzz: clang and its libFuzzer runtime (make fuzz).
group_fuzz=(
  clang libclang-rt-14-dev
)

# What each group includes, itself last.
declare -A includes=(
  [toolchain]="toolchain"
  [demo]="toolchain demo"
  [build]="toolchain demo modules servers"
  [package]="toolchain demo modules package"
  [test]="toolchain demo modules servers testing package"
  [asan]="toolchain demo modules servers testing package"
  [bench]="toolchain demo modules"
  [fuzz]="toolchain fuzz"
  [all]="toolchain demo modules servers testing package fuzz"
)
# Groups whose tests need a locale with a decimal comma.
needs_comma_locale=" test asan all "
# Groups that make the Python environment of the EPICS and Bluesky tests.
needs_epics_venv=" test all "

# ---- installing ---------------------------------------------------------------------------

requested=("$@")
[ ${#requested[@]} -gt 0 ] || requested=(build)

apt_wanted=()
pip_wanted=()
comma_locale=0
epics=0
for group in "${requested[@]}"; do
  if [ -z "${includes[$group]+set}" ]; then
    echo "setup: no group '$group' (groups: ${!includes[*]})" >&2
    exit 2
  fi
  for part in ${includes[$group]}; do
    declare -n list="group_$part"
    apt_wanted+=("${list[@]}")
    unset -n list
    if declare -p "pip_$part" >/dev/null 2>&1; then
      declare -n plist="pip_$part"
      pip_wanted+=("${plist[@]}")
      unset -n plist
    fi
  done
  [[ "$needs_comma_locale" == *" $group "* ]] && comma_locale=1
  [[ "$needs_epics_venv" == *" $group "* ]] && epics=1
done
[ ${#pip_wanted[@]} -eq 0 ] || apt_wanted+=(python3-pip)

missing=()
for p in "${apt_wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
  fi
done

as_root=()
need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      as_root=(sudo)
    else
      echo "setup: $1 and this user is not root" >&2
      exit 1
    fi
  fi
}

# A locale whose decimal mark is a comma, so the tests can prove that number texts
# do not follow the host's locale.
ensure_comma_locale() {
  if locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then return 0; fi
  if [ "$(id -u)" -ne 0 ] || [ ! -f /etc/locale.gen ]; then
    echo "setup: no de_DE.UTF-8 locale; the locale test will be skipped"
    return 0
  fi
  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup (${requested[*]}): every package is installed"
else
  echo "setup (${requested[*]}): installing ${missing[*]}"
  need_root "these packages are missing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Python packages from PyPI, each pinned (name==version), for Debian's python3.
pip_missing=()
for pinned in "${pip_wanted[@]}"; do
  name=${pinned%%==*}
  version=${pinned#*==}
  have=$(/usr/bin/python3 -m pip show "$name" 2>/dev/null | sed -n 's/^Version: //p')
  [ "$have" = "$version" ] || pip_missing+=("$pinned")
done
if [ ${#pip_missing[@]} -gt 0 ]; then
  echo "setup: installing from PyPI ${pip_missing[*]}"
  need_root "these Python packages are missing: ${pip_missing[*]}"
  "${as_root[@]}" /usr/bin/python3 -m pip install --quiet --break-system-packages "${pip_missing[@]}"
fi

[ $comma_locale -eq 0 ] || ensure_comma_locale

# The EPICS and Bluesky tests (ctest label `epics`) run in a venv of /usr/bin/python3,
# the Python the compiled module is built for, with the pinned packages of
# python/requirements-epics.txt from PyPI. Made again only when that file changes.
# BRIVEL_NO_EPICS_VENV=1 skips it (the tests are then not registered).
epics_venv() {
  local root venv requirements stamp
  root=$(cd "$(dirname "$0")/.." && pwd)
  venv=$root/.venv/epics
  requirements=$root/python/requirements-epics.txt
  stamp=$venv/requirements.sha256
  if [ "${BRIVEL_NO_EPICS_VENV:-0}" = 1 ]; then
    echo "setup: BRIVEL_NO_EPICS_VENV=1: no venv for the EPICS tests"
    return 0
  fi
  if [ -x "$venv/bin/python" ] && [ -f "$stamp" ] &&
     [ "$(sha256sum < "$requirements")" = "$(cat "$stamp")" ]; then
    echo "setup: .venv/epics is up to date"
    return 0
  fi
  echo "setup: making .venv/epics from python/requirements-epics.txt"
  rm -rf "$venv"
  /usr/bin/python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    --requirement "$requirements"
  "$venv/bin/python" -m pip check
  sha256sum < "$requirements" > "$stamp"
}
[ $epics -eq 0 ] || epics_venv
