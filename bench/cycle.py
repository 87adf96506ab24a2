#!/usr/bin/python3
"""Times one whole responder cycle: `Quorvex --once` against Dovecot and aiosmtpd on loopback,
with the fixed pauses set to 0 (--timing-scale 0) and a 640 x 480 test camera, for 1, 10 and
100 request mails. Prints each run's time from the program's start to its end (the last reply
accepted by the SMTP server comes just before), and the shares spent in capture, pictures and
sending, read off the moments the activity-log lines appeared on standard output.

Usage: /usr/bin/python3 bench/cycle.py BIN_FOLDER [RUNS]
The last two lines are "cycle_1_request_s: T" and "cycle_100_requests_s: T" (medians).
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import e2e_test  # noqa: E402  (the mailbox and SMTP fixtures of the end-to-end tests)


def timed_run(bin_folder, count):
    peers = e2e_test.Peers()
    try:
        case = e2e_test.program_case(peers, bin_folder)
        case.write_settings()
        domains = ["ezweb.ne.jp", "d.vodafone.ne.jp", "docomo.ne.jp", "example.com"]
        subject = e2e_test.encoded_word(e2e_test.SUBJECT)
        peers.add_mails([("m%03d" % i, e2e_test.request_mail("user%d@%s" % (i, domains[i % 4]), subject))
                         for i in range(count)])

        marks = {}
        start = time.monotonic()
        program = subprocess.Popen([os.path.join(bin_folder, "Quorvex"), "--once", "--ini", case.ini,
                                    "--timing-scale", "0"], env=case.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        for raw in program.stdout:
            line = raw.decode("utf-8", "replace")
            now = time.monotonic() - start
            for key, text in (("capture", "画像キャプチャ"), ("pictures", "用画像を作成しています"),
                              ("sending", "メールデータへコンバート"), ("end", "メール送信終了")):
                if text in line and key not in marks:
                    marks[key] = now
        program.wait()
        total = time.monotonic() - start
        sent = len(peers.received())
        if program.returncode != 0 or sent != count:
            raise RuntimeError("run with %d requests: status %d, %d replies" % (count, program.returncode, sent))
        return total, marks
    finally:
        peers.close()


def main():
    bin_folder = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    reason = e2e_test.missing_peer()
    if reason:
        sys.exit("cycle benchmark needs Dovecot, aiosmtpd and PIL: " + reason)
    medians = {}
    for count in (1, 10, 100):
        totals, shares = [], []
        for _ in range(runs):
            total, marks = timed_run(bin_folder, count)
            totals.append(total)
            shares.append((marks["pictures"] - marks["capture"], marks["sending"] - marks["pictures"],
                           marks["end"] - marks["sending"]))
        medians[count] = statistics.median(totals)
        capture, pictures, sending = (statistics.median(s[i] for s in shares) for i in range(3))
        print("%3d requests: %.3f s (median of %d); capture %.3f s, pictures %.3f s, sending %.3f s"
              % (count, medians[count], runs, capture, pictures, sending))
    print("cycle_1_request_s: %.3f" % medians[1])
    print("cycle_100_requests_s: %.3f" % medians[100])


if __name__ == "__main__":
    main()
