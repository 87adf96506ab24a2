#!/usr/bin/python3
"""Times a request from its arrival in the mailbox to its reply at the SMTP server:
`Quorvex --headless` with the system's own timings (nothing shrunk) against Dovecot and aiosmtpd
on loopback, with a 640 x 480 test camera.

IMAP with IDLE: one program runs throughout; for each trial a request is delivered into the
Maildir once the program idles, and the time runs from the delivery until the reply is stored.
POP3 for comparison, MailTimer 1: the same with each delivery at a random moment of the
polling minute (fixed seed), so the figure is what a person waits on average.

Usage: /usr/bin/python3 bench/latency.py BIN_FOLDER [IMAP_TRIALS [POP3_TRIALS]]
(defaults 10 and 3; POP3 trials take a minute or two each). The last line is
"arrival_to_reply_s: T", the median with IMAP IDLE.
"""

import glob
import os
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import e2e_test  # noqa: E402  (the mailbox and SMTP fixtures of the end-to-end tests)

IDLING = "IMAP IDLEで新着メールを待ちます。"


class Run:
    """One headless program with its peers, settings and output file."""

    def __init__(self, bin_folder, mail_timer, imap):
        self.peers = e2e_test.Peers(pop_options=["--imap"])
        self.case = e2e_test.program_case(self.peers, bin_folder)
        work = self.case.work
        self.case.write_settings(mail_timer=mail_timer, extra_mail=[("MailProtocol", 1)] if imap else [])
        if imap:
            self.case.rewrite_settings([("PopPort=%d" % self.peers.pop_port,
                                         "PopPort=%d" % self.peers.pop_ports["imap"])])
        self.output = os.path.join(work, "headless.out")
        with open(self.output, "wb") as out:
            self.program = subprocess.Popen([os.path.join(bin_folder, "Quorvex"), "--headless", "--ini",
                                             self.case.ini], env=self.case.env, stdout=out,
                                            stderr=subprocess.STDOUT)
        self.sent = 0

    def said(self, text):
        with open(self.output, "rb") as f:
            return f.read().decode("utf-8", "replace").count(text)

    def wait_until(self, done, what, limit=300):
        deadline = time.monotonic() + limit
        while not done():
            if time.monotonic() > deadline or self.program.poll() is not None:
                raise RuntimeError("%s did not happen; the program said:\n%s" % (what, open(self.output).read()))
            time.sleep(0.01)

    def replies(self):
        return len(glob.glob(os.path.join(self.peers.smtp_folder, "mail-*.eml")))

    def trial(self):
        """Delivers one request; returns the seconds until its reply was stored."""
        subject = e2e_test.encoded_word(e2e_test.SUBJECT)
        self.sent += 1
        self.peers.add_mails([("r%03d" % self.sent, e2e_test.request_mail("user%d@example.com" % self.sent,
                                                                            subject))])
        arrived = time.monotonic()
        self.wait_until(lambda: self.replies() >= self.sent, "reply %d" % self.sent)
        return time.monotonic() - arrived

    def close(self):
        self.program.terminate()
        self.program.wait(timeout=120)
        self.peers.close()


def imap_trials(bin_folder, count):
    run = Run(bin_folder, 10, True)
    try:
        times = []
        for index in range(count):
            # Each check ends the idle and starts it again: deliver while the program idles.
            run.wait_until(lambda: run.said(IDLING) >= index + 1, "idle %d" % (index + 1))
            times.append(run.trial())
        return times
    finally:
        run.close()


def pop3_trials(bin_folder, count):
    run = Run(bin_folder, 1, False)
    chance = random.Random(2177)
    try:
        run.wait_until(lambda: run.said("新規メールはありませんでした。") >= 1, "the first check")
        times = []
        for _ in range(count):
            time.sleep(chance.uniform(0, 60))
            times.append(run.trial())
        return times
    finally:
        run.close()


def describe(name, times):
    return "%s: %d trials, median %.3f s (min %.3f s, max %.3f s)" % (
        name, len(times), statistics.median(times), min(times), max(times))


def main():
    bin_folder = os.path.abspath(sys.argv[1])
    imap_count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    pop3_count = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    reason = e2e_test.missing_peer()
    if reason:
        sys.exit("latency benchmark needs Dovecot with IMAP, aiosmtpd and PIL: " + reason)
    imap = imap_trials(bin_folder, imap_count)
    print(describe("IMAP with IDLE", imap), flush=True)
    if pop3_count > 0:
        print(describe("POP3 polling, MailTimer 1", pop3_trials(bin_folder, pop3_count)), flush=True)
    print("arrival_to_reply_s: %.3f" % statistics.median(imap))


if __name__ == "__main__":
    main()
