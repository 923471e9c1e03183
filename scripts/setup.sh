#!/usr/bin/env bash
# Installs the Debian packages Brivel needs to build, test and run its demo, and
# only those that are missing. Run as root (or with sudo available). Then makes the
# Python environment of the EPICS and Bluesky tests, .venv/epics (see epics_venv).
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  dpkg-dev
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-serialport-dev libgl-dev
  qt6-tools-dev qt6-tools-dev-tools
  qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-window
  qml6-module-qtqml-workerscript
  pybind11-dev python3-pybind11 python3-dev python3-pytest python3-venv
  clang libclang-rt-14-dev
  fonts-wqy-microhei
  locales
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

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
    --no-deps --requirement "$requirements"
  "$venv/bin/python" -m pip check
  sha256sum < "$requirements" > "$stamp"
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is installed"
  ensure_comma_locale
  epics_venv
  exit 0
fi

echo "setup: installing ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: these packages are missing and this user is not root: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
ensure_comma_locale
epics_venv
