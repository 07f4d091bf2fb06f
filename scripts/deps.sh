#!/usr/bin/env bash
# Installs what building and testing quiremark needs on a fresh Debian machine (needs root or sudo).
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
pkgs=(build-essential cmake g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
      zlib1g-dev libcli11-dev libdeflate-dev qpdf poppler-utils mupdf-tools python3 python3-pytest python3-pikepdf
      python3-setuptools python3-pip python3-venv python3-wheel python3-dev pybind11-dev
      python3-dask python3-distributed pkg-config locales man-db)
missing=()
for p in "${pkgs[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq || true
  $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# A comma-decimal locale for the locale-independence tests.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen 2>/dev/null || true
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null 2>&1 || true
fi
