#!/usr/bin/python3
"""End-to-end tests of Quorvex with an IMAP mailbox: a private Dovecot serving IMAP (plain and
with TLS from the first byte, certificates from a test CA made for the run) beside POP3 on the
same Maildir, aiosmtpd for the replies. The same request mails as the POP3 test are answered
alike; with --headless the program idles on the folder and answers a new mail at once, and
after the server went away it polls and then idles again.

Usage: /usr/bin/python3 imap_mail_test.py BIN_FOLDER
Exit status 77 (skipped) when Dovecot with IMAP, aiosmtpd, PIL or openssl is missing.
"""

import os
import signal
import subprocess
import sys
import unittest

import e2e_test as e2e

WAITING = "IMAP IDLEで新着メールを待ちます。"
DROPPED = "IDLEの接続が切れたため、設定した間隔でのメールチェックに戻ります。"


class ImapMail(e2e.WithTestCa, e2e.ProgramFixture):
    """Dovecot with IMAP and IMAPS beside POP3; aiosmtpd."""

    def make_peers(self):
        c = self.certificates
        return e2e.Peers(pop_options=["--imap", "--tls", c["server_cert"], c["server_key"]])

    def imap_settings(self, tls=False, mail_timer=5):
        """The settings file with the IMAP mailbox: plain, or TLS from the first byte."""
        extra = [("MailProtocol", 1)]
        port = self.peers.pop_ports["imap"]
        if tls:
            extra += [("PopSecurity", 2), ("CaFile", self.certificates["ca"])]
            port = self.peers.pop_ports["imaps"]
        self.write_settings(mail_timer=mail_timer, extra_mail=extra)
        replacements = [("PopPort=%d" % self.peers.pop_port, "PopPort=%d" % port)]
        if tls:  # the server's certificate names localhost
            replacements.append(("PopServer=127.0.0.1", "PopServer=localhost"))
        self.rewrite_settings(replacements)

    def test_imap_answers_each_carrier_alike(self):
        self.imap_settings()
        self.answer_each_carrier()

    def test_imap_over_tls_answers_each_carrier_alike(self):
        self.imap_settings(tls=True)
        self.answer_each_carrier()
        # The account check logs in the same way and tells that IDLE is offered.
        checked = subprocess.run([e2e.PROGRAM, "--check-accounts", "--ini", self.ini, "--timing-scale", "0"],
                                 env=self.env, capture_output=True, timeout=120)
        report = checked.stdout.decode("utf-8", "replace")
        self.assertEqual(checked.returncode, 0, report)
        self.assertIn("IMAP localhost:%d (TLS) ログイン ... OK (フォルダ「INBOX」 メール0通、IDLE対応"
                      % self.peers.pop_ports["imaps"], report)

    def test_headless_idles_answers_at_once_and_idles_again_after_a_drop(self):
        # A check every 10 minutes: an answer within the test's time comes from the idle.
        self.imap_settings(mail_timer=10)
        subject = e2e.encoded_word(e2e.SUBJECT)
        log = os.path.join(self.work, "headless.out")
        with open(log, "wb") as out:
            program = subprocess.Popen([e2e.PROGRAM, "--headless", "--ini", self.ini, "--timing-scale", "0"],
                                       env=self.env, stdout=out, stderr=subprocess.STDOUT)
        try:
            self.wait_for_text(log, WAITING)
            self.peers.add_mails([("first", e2e.request_mail("taro@ezweb.ne.jp", subject))])
            self.wait_for_replies(1)
            # The server goes away and comes back: the idle is dropped, the worker polls; the
            # next check (here asked for by SIGHUP, which reads the settings again) idles again.
            self.peers.restart_mailbox()
            self.wait_for_text(log, DROPPED)
            program.send_signal(signal.SIGHUP)
            self.wait_for_text(log, WAITING, count=3)
            self.peers.add_mails([("second", e2e.request_mail("hanako@d.vodafone.ne.jp", subject))])
            self.wait_for_replies(2)
        finally:
            program.send_signal(signal.SIGTERM)
            program.wait(timeout=60)
        with open(log, "rb") as f:
            output = f.read().decode("utf-8", "replace")
        self.assertEqual(program.returncode, 0, output)
        self.assertIn("mailbox: IMAP \"127.0.0.1\" port %d plain" % self.peers.pop_ports["imap"], output)
        self.assertEqual(output.count("新着メールが届きました。"), 2, output)
        self.assertEqual(sorted(self.peers.received()), ["hanako@d.vodafone.ne.jp", "taro@ezweb.ne.jp"])
        self.assertEqual(self.peers.mailbox(), [])


if __name__ == "__main__":
    e2e.BIN = os.path.abspath(sys.argv.pop(1))
    e2e.PROGRAM = os.environ.get("QUORVEX_PROGRAM") or os.path.join(e2e.BIN, "Quorvex")
    reason = e2e.missing_peer()
    if not reason and not os.path.exists("/usr/lib/dovecot/imap"):
        reason = "Dovecot's IMAP server (dovecot-imapd) is missing"
    if not reason and not os.path.exists("/usr/bin/openssl"):
        reason = "openssl is missing"
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
