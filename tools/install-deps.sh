#!/usr/bin/env bash
# Installs the Debian packages that ruvo needs to build and test, when missing.
set -euo pipefail
pkgs=(cmake make g++ clang libgtest-dev libgmock-dev libbenchmark-dev libblas-dev liblapack-dev
      nlohmann-json3-dev python3-matplotlib pybind11-dev python3-dev python3-numpy python3-pytest
      python3-distributed python3-astroquery)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
