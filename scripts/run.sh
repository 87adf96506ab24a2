#!/usr/bin/env bash
# Sets up, builds (release) and starts Quorvex. Arguments are passed on to the program.
#
# The program's standard output is its own: set-up and build messages go to standard error,
# and the build's output to build/release/build.log. The configure step runs only for a new
# build folder (the build itself configures again when a CMakeLists.txt changed), so a start
# with nothing to build takes well under two seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing $RUN_PACKAGES >&2
if [ ! -f build/release/CMakeCache.txt ]; then
  echo "Quorvex: configuring and building build/release/ (the first time takes several minutes;" \
    "output in build/release/build.log)" >&2
  mkdir -p build/release
  configure_release >build/release/build.log 2>&1 || { cat build/release/build.log >&2; exit 1; }
fi
if ! cmake --build build/release -j"$(nproc)" >build/release/build.log 2>&1; then
  tail -n 40 build/release/build.log >&2
  echo "Quorvex: the build failed; the whole output is in build/release/build.log" >&2
  exit 1
fi
# Without arguments Quorvex opens its window when a display is there, else runs headless.
exec build/release/bin/Quorvex "$@"
