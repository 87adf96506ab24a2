#!/usr/bin/python3
"""End-to-end tests of Quorvex with secure mail: POP3 over TLS (STLS and POP3S) from a private
Dovecot, SMTP submission with STARTTLS or TLS from the first byte and AUTH through a private
aiosmtpd, certificates from a test CA made for the run. The fixtures record what the SMTP
server received, so the tests see that no password crosses a connection without TLS.

Usage: /usr/bin/python3 secure_mail_test.py BIN_FOLDER
Exit status 77 (skipped) when Dovecot, aiosmtpd, PIL or openssl is missing.
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import unittest

import e2e_test as e2e

SMTP_USER = "submit"
SMTP_PASSWORD = "s3cret-submission"


class SecureMail(e2e.WithTestCa, e2e.ProgramFixture):
    """Dovecot with STLS on its POP3 port and POP3S on another; aiosmtpd as each case needs."""

    def make_peers(self):
        c = self.certificates
        return e2e.Peers(pop_options=["--tls", c["server_cert"], c["server_key"]],
                         smtp_options=["--tls", c["server_cert"], c["server_key"], "--starttls",
                                       "--require-starttls", "--auth", SMTP_USER, SMTP_PASSWORD])

    def start_smtp(self, *options):
        """A second SMTP server with its own options; returns (port, folder)."""
        folder = tempfile.mkdtemp(dir=self.peers.folder)
        server = subprocess.Popen([e2e.PYTHON, os.path.join(e2e.FIXTURES, "smtp_server.py"), "--folder", folder]
                                  + list(options), stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (server.terminate(), server.wait(timeout=30), server.stdout.close()))
        return int(server.stdout.readline().strip()), folder

    def secure_settings(self, pop_security, pop_port, smtp_security, smtp_port, ca_file, auth=1,
                        smtp_password=SMTP_PASSWORD):
        encoded = e2e.base64.b64encode(smtp_password.encode()).decode().rstrip("=")
        self.write_settings(extra_mail=[
            ("PopSecurity", pop_security), ("SmtpSecurity", smtp_security), ("SmtpAuth", auth),
            ("SmtpUserID", SMTP_USER), ("SmtpPasswd", encoded), ("CaFile", ca_file)])
        self.rewrite_settings([("PopPort=%d" % self.peers.pop_port, "PopPort=%d" % pop_port),
                               ("SmtpPort=%d" % self.peers.smtp_port, "SmtpPort=%d" % smtp_port)])

    def request(self, name, address):
        self.peers.add_mails([(name, e2e.request_mail(address, e2e.encoded_word(e2e.SUBJECT)))])

    def test_each_security_mode_answers_a_request(self):
        c = self.certificates
        implicit_port, implicit_folder = self.start_smtp(
            "--tls", c["server_cert"], c["server_key"], "--implicit-tls", "--auth", SMTP_USER, SMTP_PASSWORD)
        cases = [
            # (POP3 security, POP3 port, SMTP security, SMTP port, folder of that SMTP server)
            ("pop3s_starttls", 2, self.peers.pop_ports["pop3s"], 1, self.peers.smtp_port,
             self.peers.smtp_folder),
            ("stls_implicit", 1, self.peers.pop_ports["pop3"], 2, implicit_port, implicit_folder),
        ]
        for name, pop_security, pop_port, smtp_security, smtp_port, folder in cases:
            with self.subTest(name):
                address = name + "@example.com"
                self.request(name, address)
                self.secure_settings(pop_security, pop_port, smtp_security, smtp_port, c["ca"])
                result = self.run_once()
                output = result.stdout.decode("utf-8", "replace")
                self.assertEqual(result.returncode, 0, output + result.stderr.decode("utf-8", "replace"))
                self.assertEqual(self.peers.mailbox(), [])
                self.assertTrue(os.path.exists(os.path.join(folder, "mail-0001.eml")), output)
                with open(os.path.join(folder, "mail-0001.json")) as f:
                    self.assertEqual(json.load(f)["rcpt_tos"], [address])
                with open(os.path.join(folder, "sessions.jsonl")) as f:
                    sessions = [json.loads(line) for line in f if line.strip()]
                self.assertTrue(all(s["tls"] and s["auth_ok"] and not s["auth_before_tls"] for s in sessions),
                                sessions)
                with open(os.path.join(self.peers.pop_folder, "dovecot.log"), errors="replace") as f:
                    self.assertIn("TLS", f.read())
                self.assertNotIn(SMTP_PASSWORD, output)

    def test_untrusted_or_mismatched_certificates_get_no_password(self):
        c = self.certificates
        mismatch_port, mismatch_folder = self.start_smtp(
            "--tls", c["other_cert"], c["other_key"], "--starttls", "--auth", SMTP_USER, SMTP_PASSWORD)
        self_signed_port, self_signed_folder = self.start_smtp(
            "--tls", c["self_signed_cert"], c["self_signed_key"], "--implicit-tls", "--auth", SMTP_USER,
            SMTP_PASSWORD)
        plain_port, plain_folder = self.start_smtp("--auth", SMTP_USER, SMTP_PASSWORD,
                                                   "--plain-auth-without-tls")
        cases = [
            # (name, POP3 security/port, SMTP security/port, CA file, status, logged, SMTP folder)
            ("wrong_ca", 2, self.peers.pop_ports["pop3s"], 1, self.peers.smtp_port, c["wrong_ca"], 2,
             "POP3: サーバーの証明書が信頼できません。", None),
            ("system_store_only", 1, self.peers.pop_ports["pop3"], 1, self.peers.smtp_port, "", 2,
             "POP3: サーバーの証明書が信頼できません。", None),
            ("host_mismatch", 2, self.peers.pop_ports["pop3s"], 1, mismatch_port, c["ca"], 1,
             "SMTP: サーバーの証明書がサーバー名と一致しません。", mismatch_folder),
            ("self_signed_untrusted", 2, self.peers.pop_ports["pop3s"], 2, self_signed_port, c["ca"], 1,
             "SMTP: サーバーの証明書が信頼できません。", self_signed_folder),
            ("no_starttls", 2, self.peers.pop_ports["pop3s"], 1, plain_port, c["ca"], 1,
             "SMTPサーバーがSTARTTLSに対応していないため、送信しません。", plain_folder),
        ]
        for name, pop_security, pop_port, smtp_security, smtp_port, ca_file, status, logged, folder in cases:
            with self.subTest(name):
                self.request(name, name + "@example.com")
                self.secure_settings(pop_security, pop_port, smtp_security, smtp_port, ca_file)
                result = self.run_once()
                output = result.stdout.decode("utf-8", "replace")
                self.assertEqual(result.returncode, status, output)
                self.assertIn(logged, output)
                if status == 2:
                    self.assertIn(name, self.peers.mailbox())  # nothing fetched, nothing deleted
                if folder:
                    self.assertFalse(os.path.exists(os.path.join(folder, "mail-0001.eml")))
                    for session in self.peers_sessions(folder):
                        self.assertFalse(session["auth_before_tls"] or session["logins"], session)
        # A self-signed certificate is trusted when the CA file holds it (with the CA of the
        # POP3 server: one file of extra trusted certificates serves both).
        bundle = os.path.join(self.peers.folder, "trusted.pem")
        with open(bundle, "w") as out:
            for path in (c["ca"], c["self_signed_cert"]):
                with open(path) as f:
                    out.write(f.read())
        self.request("self_signed_named", "named@example.com")
        self.secure_settings(2, self.peers.pop_ports["pop3s"], 2, self_signed_port, bundle)
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertTrue(os.path.exists(os.path.join(self_signed_folder, "mail-0001.eml")), output)

    def peers_sessions(self, folder):
        path = os.path.join(folder, "sessions.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def test_refused_credentials_are_logged_and_the_run_goes_on(self):
        c = self.certificates
        self.request("first", "first@example.com")
        self.request("second", "second@example.com")
        self.secure_settings(2, self.peers.pop_ports["pop3s"], 1, self.peers.smtp_port, c["ca"],
                             smtp_password="wrong")
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 1, output)
        # Our words, then the server's reply.
        self.assertEqual(output.count("SMTP認証に失敗しました。 (535 5.7.8 Authentication credentials invalid)"), 2,
                         output)
        self.assertEqual(output.count("メール送信に失敗しました。"), 2, output)
        self.assertIn("メール送信終了", output)
        self.assertNotIn("wrong", output.replace("wrong_", ""))

    def test_check_accounts_says_what_works(self):
        c = self.certificates
        self.request("waiting", "waiting@example.com")
        self.secure_settings(2, self.peers.pop_ports["pop3s"], 1, self.peers.smtp_port, c["ca"])
        good = subprocess.run([e2e.PROGRAM, "--check-accounts", "--ini", self.ini,
                               "--timing-scale", "0"], env=self.env, capture_output=True, timeout=120)
        output = good.stdout.decode("utf-8", "replace")
        self.assertEqual(good.returncode, 0, output)
        self.assertIn("(TLS) ログイン ... OK (メール1通)", output)
        self.assertIn("(STARTTLS, AUTH) 接続 ... OK", output)
        self.assertEqual(self.peers.mailbox(), ["waiting"])  # nothing fetched or deleted
        self.assertEqual(self.peers.received(), {})

        self.secure_settings(1, self.peers.pop_ports["pop3"], 1, self.peers.smtp_port, c["wrong_ca"],
                             smtp_password="wrong")
        bad = subprocess.run([e2e.PROGRAM, "--check-accounts", "--ini", self.ini,
                              "--timing-scale", "0"], env=self.env, capture_output=True, timeout=120)
        output = bad.stdout.decode("utf-8", "replace")
        self.assertEqual(bad.returncode, 1, output)
        self.assertIn("(STLS) ログイン ... NG", output)
        self.assertIn("サーバーの証明書が信頼できません。", output)
        self.assertIn("(STARTTLS, AUTH) 接続 ... NG", output)

        # A server nobody answers on is named, not only marked NG.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed_port = probe.getsockname()[1]
        self.secure_settings(2, self.peers.pop_ports["pop3s"], 0, closed_port, c["ca"], auth=0)
        closed = subprocess.run([e2e.PROGRAM, "--check-accounts", "--ini", self.ini,
                                 "--timing-scale", "0"], env=self.env, capture_output=True, timeout=120)
        output = closed.stdout.decode("utf-8", "replace")
        self.assertEqual(closed.returncode, 1, output)
        self.assertIn("SMTPサーバーに接続できませんでした。 (127.0.0.1:%d)" % closed_port, output)


if __name__ == "__main__":
    e2e.BIN = os.path.abspath(sys.argv.pop(1))
    e2e.PROGRAM = os.environ.get("QUORVEX_PROGRAM") or os.path.join(e2e.BIN, "Quorvex")
    reason = e2e.missing_peer() or (None if os.path.exists("/usr/bin/openssl") else "openssl is missing")
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
