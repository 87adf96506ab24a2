#!/usr/bin/env bash
# Sets up what the tests need, builds the test configuration with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
install_missing $TEST_PACKAGES
jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_TESTS=ON \
  -DQUORVEX_SANITIZE=address,undefined >/dev/null
cmake --build build/test -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
(cd build/test && ctest --output-on-failure -j"$jobs" --timeout 300)

# The worker threads once more under ThreadSanitizer, in a build of their own.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_TESTS=ON \
  -DQUORVEX_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs" --target workers_test
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
(cd build/tsan && ctest --output-on-failure --timeout 300 -R '^ResponderTest\.')

# The Debian package, built once from the release configuration: its file list, then installed,
# run from /usr/bin and removed again (as root only: it changes /usr for its duration).
tests/package_test.sh
