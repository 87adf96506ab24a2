#!/usr/bin/env bash
# Sets up, builds (release) and starts Quorvex. Arguments are passed on to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing $RUN_PACKAGES
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
scripts/register-converter.sh build/release/bin/qvconvert >/dev/null 2>&1 || true
# Without arguments Quorvex opens its window when a display is there, else runs headless.
exec build/release/bin/Quorvex "$@"
