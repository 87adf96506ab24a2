#!/usr/bin/python3
"""What one mail check costs against a large mailbox: `Quorvex --once` (the system's own
program, timings scaled to zero) against Dovecot on loopback, through a relay that counts the
bytes Quorvex receives.

The mailbox: 2,000 mails, of which 50 carry a 4 MB attachment, and 10 new requests after them,
written straight into the Maildir. RcvDelete is 0, so refused mails stay on the server, as
they do for many users. The IMAP account is checked twice: the first check answers the 10
requests, the second finds everything judged before. Then the same over POP3 (for
comparison; the requests are gone by then).

Usage: /usr/bin/python3 bench/mailbox.py BIN_FOLDER
The last two lines are "mailbox_check_s: T" (the first IMAP check) and
"mailbox_bytes_ratio: R" (the bytes the first IMAP check received over the mailbox's size).
Exit status 1 when a target is missed: T under 3 s, R under 0.02, and a second check that
receives no header.
"""

import glob
import os
import random
import re
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import e2e_test  # noqa: E402  (the mailbox and SMTP fixtures of the end-to-end tests)

MAILS = 2000
ATTACHED = 50
ATTACHMENT_BYTES = 4 * 1000 * 1000
REQUESTS = 10


class CountingRelay:
    """Passes connections on to `target_port` on loopback and counts what the server sends
    (`received`), the message texts among it (`texts`: IMAP "BODY[" items) and the POP3
    commands that fetch one (`fetches`: TOP and RETR)."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.reset()
        threading.Thread(target=self.accept, daemon=True).start()

    def reset(self):
        with self.lock:
            self.received = 0
            self.texts = 0
            self.fetches = 0

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target_port))
            threading.Thread(target=self.pump, args=(server, client, True), daemon=True).start()
            threading.Thread(target=self.pump, args=(client, server, False), daemon=True).start()

    def pump(self, source, sink, from_server):
        tail = b""
        try:
            while True:
                data = source.recv(262144)
                if not data:
                    break
                window = tail + data
                with self.lock:
                    if from_server:
                        self.received += len(data)
                        self.texts += window.count(b"BODY[") - tail.count(b"BODY[")
                    else:
                        found = len(re.findall(rb"(?:^|\n)(?:TOP|RETR) ", window))
                        self.fetches += found - len(re.findall(rb"(?:^|\n)(?:TOP|RETR) ", tail))
                tail = window[-8:]
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for end in (source, sink):
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                end.close()

    def close(self):
        self.listener.close()


def plain_mail(index):
    lines = ["From: news%d@example.org" % (index % 37), "To: " + e2e_test.OWN_ADDRESS,
             "Subject: Newsletter %d" % index, "Date: Mon, 3 Jun 2024 12:00:00 +0900",
             "Message-ID: <%d@example.org>" % index, "MIME-Version: 1.0",
             "Content-Type: text/plain; charset=us-ascii", "", ]
    body = ["Line %d of the news of the day, as long as a line of a newsletter is." % n for n in range(30)]
    return ("\r\n".join(lines + body) + "\r\n").encode("ascii")


def attached_mail(index, chance):
    import base64
    payload = base64.encodebytes(chance.randbytes(ATTACHMENT_BYTES)).replace(b"\n", b"\r\n")
    head = ["From: photos%d@example.org" % index, "To: " + e2e_test.OWN_ADDRESS,
            "Subject: Holiday pictures %d" % index, "Date: Mon, 3 Jun 2024 12:00:00 +0900",
            "Message-ID: <a%d@example.org>" % index, "MIME-Version: 1.0",
            'Content-Type: multipart/mixed; boundary="b"', "", "--b",
            "Content-Type: text/plain; charset=us-ascii", "", "The pictures.", "--b",
            "Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64",
            'Content-Disposition: attachment; filename="pictures.zip"', "", ""]
    return "\r\n".join(head).encode("ascii") + payload + b"--b--\r\n"


def make_mailbox(peers):
    """Writes the mails straight into the Maildir; returns their size in bytes."""
    chance = random.Random(2000)
    mails = []
    every = MAILS // ATTACHED
    for index in range(MAILS):
        data = attached_mail(index, chance) if index % every == every - 1 else plain_mail(index)
        mails.append(("m%04d" % index, data))
    subject = e2e_test.encoded_word(e2e_test.SUBJECT)
    for index in range(REQUESTS):
        mails.append(("r%02d" % index, e2e_test.request_mail("user%d@example.com" % index, subject)))
    peers.add_mails(mails)
    return sum(len(data) for _, data in mails)


def check(case, relay, bin_folder):
    """One `--once` run; returns (seconds, bytes received, texts, fetches)."""
    relay.reset()
    started = time.monotonic()
    done = subprocess.run([os.path.join(bin_folder, "Quorvex"), "--once", "--ini", case.ini, "--timing-scale", "0"],
                          env=case.env, capture_output=True, timeout=900)
    seconds = time.monotonic() - started
    if done.returncode != 0:
        sys.exit("Quorvex --once failed (%d): %s" % (done.returncode, done.stderr.decode("utf-8", "replace")))
    time.sleep(0.2)  # the relay's last bytes
    with relay.lock:
        return seconds, relay.received, relay.texts, relay.fetches


def main():
    bin_folder = os.path.abspath(sys.argv[1])
    reason = e2e_test.missing_peer()
    if reason:
        sys.exit("mailbox benchmark needs Dovecot with IMAP, aiosmtpd and PIL: " + reason)
    peers = e2e_test.Peers(pop_options=["--imap"])
    relays = []
    try:
        case = e2e_test.program_case(peers, bin_folder)
        size = make_mailbox(peers)
        print("mailbox: %d mails (%d with a %d-byte attachment) and %d requests, %d bytes" % (
            MAILS, ATTACHED, ATTACHMENT_BYTES, REQUESTS, size), flush=True)
        imap = CountingRelay(peers.pop_ports["imap"])
        pop3 = CountingRelay(peers.pop_ports["pop3"])
        relays = [imap, pop3]
        case.write_settings(rcv_delete=0, extra_mail=[("MailProtocol", 1)])
        case.rewrite_settings([("PopPort=%d" % peers.pop_port, "PopPort=%d" % imap.port)])
        first = check(case, imap, bin_folder)
        replies = len(glob.glob(os.path.join(peers.smtp_folder, "mail-*.eml")))
        second = check(case, imap, bin_folder)
        for name, run in (("IMAP first check", first), ("IMAP second check", second)):
            print("%s: %.3f s, %d bytes received, %d message texts" % (name, run[0], run[1], run[2]), flush=True)
        print("replies sent: %d" % replies, flush=True)
        case.rewrite_settings([("MailProtocol=1", "MailProtocol=0"), ("PopPort=%d" % imap.port,
                                                                       "PopPort=%d" % pop3.port)])
        for name in ("POP3 first check", "POP3 second check"):
            run = check(case, pop3, bin_folder)
            print("%s: %.3f s, %d bytes received, %d TOP or RETR" % (name, run[0], run[1], run[3]), flush=True)
        ratio = first[1] / size
        met = first[0] < 3 and ratio < 0.02 and second[2] == 0 and replies == REQUESTS
        print("targets (under 3 s, under 0.02, no text at the second check, %d replies): %s" % (
            REQUESTS, "met" if met else "missed"))
        print("mailbox_check_s: %.3f" % first[0])
        print("mailbox_bytes_ratio: %.4f" % ratio)
        return 0 if met else 1
    finally:
        for relay in relays:
            relay.close()
        peers.close()


if __name__ == "__main__":
    sys.exit(main())
