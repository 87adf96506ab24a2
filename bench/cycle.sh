#!/usr/bin/env bash
# bench/run cycle: one whole responder cycle against local mail servers (see cycle.py).
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/cycle.py" "$QUORVEX_BENCH_BIN" "$@"
