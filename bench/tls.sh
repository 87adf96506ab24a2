#!/usr/bin/env bash
# bench/run tls: one request over POP3S and SMTP submission with STARTTLS and AUTH against the
# same over plain connections (see tls.py).
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/tls.py" "$QUORVEX_BENCH_BIN" "$@"
