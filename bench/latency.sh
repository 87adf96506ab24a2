#!/usr/bin/env bash
# bench/run latency [IMAP_TRIALS [POP3_TRIALS]]: from a request's arrival in the mailbox to its
# reply at the SMTP server, with IMAP IDLE and with POP3 polling (see latency.py).
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/latency.py" "$QUORVEX_BENCH_BIN" "$@"
