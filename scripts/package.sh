#!/usr/bin/env bash
# Builds the Debian package of Quorvex from the release configuration (build/release/, shared
# with scripts/run.sh) and prints the package's path as the only line on standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing $RUN_PACKAGES $PACKAGE_PACKAGES >&2
{
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
  cmake --build build/release -j"$(nproc)"
  rm -f build/release/quorvex_*.deb
  (cd build/release && cpack -G DEB)
} >&2
ls "$PWD"/build/release/quorvex_*.deb
