#!/usr/bin/env bash
# bench/run window [SECONDS]: the main window under Xvfb with a test camera (see bench_window.cpp).
set -euo pipefail
export QUORVEX_TEST_DEVICES="Bench Cam"
export QT_QPA_PLATFORM=xcb
exec xvfb-run -a -s "-screen 0 1024x768x24" "$QUORVEX_BENCH_BIN/bench_window" "$@"
