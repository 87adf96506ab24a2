#!/usr/bin/env bash
# bench/run mailbox: one mail check against a Dovecot mailbox of 2,000 mails, 50 of them with a
# 4 MB attachment, and 10 new requests: its time and the bytes it received (see mailbox.py).
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/mailbox.py" "$QUORVEX_BENCH_BIN" "$@"
