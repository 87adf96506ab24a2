#!/usr/bin/python3
"""Times one request answered over secure mail against the same over plain connections:
`Quorvex --once` with one request mail, fetched over POP3S and answered through SMTP
submission with STARTTLS and AUTH, then the same with plain POP3 and SMTP, against Dovecot and
aiosmtpd on loopback (--timing-scale 0, a test camera, certificates from a test CA).

Usage: /usr/bin/python3 bench/tls.py BIN_FOLDER [RUNS]
Prints the median of each and, last, "tls_cycle_over_plain: R" (secure time / plain time).
"""

import base64
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import e2e_test  # noqa: E402  (the mailbox and SMTP fixtures of the end-to-end tests)

USER, PASSWORD = "submit", "bench-secret"


def run_mode(bin_folder, runs, certificates, secure):
    c = certificates
    if secure:
        peers = e2e_test.Peers(pop_options=["--tls", c["server_cert"], c["server_key"]],
                               smtp_options=["--tls", c["server_cert"], c["server_key"], "--starttls",
                                             "--require-starttls", "--auth", USER, PASSWORD])
    else:
        peers = e2e_test.Peers()
    try:
        case = e2e_test.program_case(peers, bin_folder)
        extra = []
        if secure:
            extra = [("PopSecurity", 2), ("SmtpSecurity", 1), ("SmtpAuth", 1), ("SmtpUserID", USER),
                     ("SmtpPasswd", base64.b64encode(PASSWORD.encode()).decode().rstrip("=")),
                     ("CaFile", c["ca"])]
        case.write_settings(extra_mail=extra)
        if secure:
            case.rewrite_settings([("PopPort=%d" % peers.pop_port, "PopPort=%d" % peers.pop_ports["pop3s"])])
        subject = e2e_test.encoded_word(e2e_test.SUBJECT)
        times = []
        for run in range(runs + 1):
            peers.add_mails([("r%02d" % run, e2e_test.request_mail("user%d@example.com" % run, subject))])
            start = time.monotonic()
            result = subprocess.run([os.path.join(bin_folder, "Quorvex"), "--once", "--ini", case.ini,
                                     "--timing-scale", "0"], env=case.env, capture_output=True)
            elapsed = time.monotonic() - start
            if result.returncode != 0 or "user%d@example.com" % run not in peers.received():
                raise RuntimeError("%s run %d failed (status %d):\n%s" % (
                    "secure" if secure else "plain", run, result.returncode,
                    result.stdout.decode("utf-8", "replace")[-2000:]))
            if run > 0:  # the first run warms the caches
                times.append(elapsed)
        return statistics.median(times)
    finally:
        peers.close()


def main():
    bin_folder = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    reason = e2e_test.missing_peer()
    if reason:
        sys.exit("tls benchmark needs Dovecot, aiosmtpd and PIL: " + reason)
    folder = tempfile.mkdtemp(prefix="quorvex-bench-ca-")
    try:
        made = subprocess.run([e2e_test.PYTHON, os.path.join(e2e_test.FIXTURES, "test_ca.py"), "make", folder],
                              capture_output=True, text=True, check=True)
        certificates = json.loads(made.stdout)
        plain = run_mode(bin_folder, runs, certificates, secure=False)
        secure = run_mode(bin_folder, runs, certificates, secure=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("plain POP3 + SMTP: %.3f s (median of %d)" % (plain, runs))
    print("POP3S + SMTP STARTTLS with AUTH: %.3f s (median of %d)" % (secure, runs))
    print("tls_cycle_over_plain: %.2f" % (secure / plain))


if __name__ == "__main__":
    main()
