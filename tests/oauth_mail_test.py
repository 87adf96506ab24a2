#!/usr/bin/python3
"""End-to-end tests of Quorvex's secret commands and OAuth2 log-ins: a private Dovecot whose
OAuth2 password database asks a small introspection endpoint about each token, beside its
password file, and aiosmtpd taking XOAUTH2 and OAUTHBEARER. The tokens both accept are the
lines of one file; PassCommand prints the token (or password) the test wants. BuiltInTokens
instead has Dovecot ask the loopback provider (oauth_provider.py) itself, and the program
gets its tokens from that provider through --oauth2-login and its token file.

Usage: /usr/bin/python3 oauth_mail_test.py BIN_FOLDER
Exit status 77 (skipped) when Dovecot with IMAP, aiosmtpd or PIL is missing.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import e2e_test as e2e
from oauth_login_test import LoopbackProvider

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
TOKEN = "ya29.good-token"
STALE = "ya29.stale-token"


class OAuthPeers(e2e.Peers):
    """The introspection endpoint, Dovecot with IMAP and OAuth2, aiosmtpd with OAuth2."""

    def __init__(self):
        self.token_folder = tempfile.mkdtemp(prefix="quorvex-tokens-")
        os.chmod(self.token_folder, 0o755)
        self.tokens = os.path.join(self.token_folder, "tokens")
        self.grant(TOKEN)
        self.introspection = subprocess.Popen(
            [e2e.PYTHON, os.path.join(e2e.FIXTURES, "token_status_server.py"), self.tokens],
            stdout=subprocess.PIPE, text=True)
        url = self.introspection.stdout.readline().strip()
        super().__init__(pop_options=["--imap", "--oauth2", url],
                         smtp_options=["--oauth2", self.tokens, "--auth", "quorvex", e2e.PASSWORD,
                                       "--plain-auth-without-tls"])

    def grant(self, *tokens):
        """Makes `tokens` the only good ones (none: every token is revoked)."""
        with open(self.tokens, "w") as f:
            f.writelines("quorvex %s\n" % token for token in tokens)
        os.chmod(self.tokens, 0o644)

    def dovecot_log(self):
        with open(os.path.join(self.pop_folder, "dovecot.log"), errors="replace") as f:
            return f.read()

    def close(self):
        super().close()
        self.introspection.terminate()
        self.introspection.wait(timeout=30)
        self.introspection.stdout.close()
        shutil.rmtree(self.token_folder, ignore_errors=True)


def add_request(peers, name):
    """A request mail from NAME@example.com on the server; its sender."""
    address = name + "@example.com"
    peers.add_mails([(name, e2e.request_mail(address, e2e.encoded_word(e2e.SUBJECT)))])
    return address


def output_of(result):
    return result.stdout.decode("utf-8", "replace") + result.stderr.decode("utf-8", "replace")


class ProviderPeers(e2e.Peers):
    """The loopback OAuth2 provider, Dovecot with IMAP asking that provider itself about each
    token, and aiosmtpd without authentication."""

    def __init__(self):
        self.provider = LoopbackProvider("--user", "quorvex")
        try:
            super().__init__(pop_options=["--imap", "--oauth2", self.provider.base + "/introspect"])
        except BaseException:
            self.provider.close()
            raise

    dovecot_log = OAuthPeers.dovecot_log

    def close(self):
        super().close()
        self.provider.close()


class BuiltInTokens(e2e.ProgramFixture):
    """The program's own token handling (the token file beside the settings, no PassCommand)."""

    def make_peers(self):
        return ProviderPeers()

    def quorvex(self, *arguments, scale="0"):
        return subprocess.run([e2e.PROGRAM] + list(arguments) + ["--ini", self.ini, "--timing-scale", scale],
                              env=self.env, capture_output=True, timeout=120)

    def stored(self):
        with open(os.path.join(self.work, "Quorvex.tokens")) as f:
            return dict(line.split(" ", 1) for line in f.read().splitlines())

    def test_device_login_then_imap_and_a_refresh_after_the_provider_expired_the_token(self):
        provider = self.peers.provider
        imap = self.peers.pop_ports["imap"]
        self.write_settings(extra_mail=[("MailProtocol", 1), ("SmtpAuth", 0), ("AuthMethod", 1)]
                            + provider.settings_lines())
        # The stored password is wrong: only a token can log in.
        self.rewrite_settings([("PopPort=%d" % self.peers.pop_port, "PopPort=%d" % imap),
                               ("Passwd=c2VjcmV0", "Passwd=d3Jvbmc")])
        os.chmod(self.ini, 0o600)
        login_line = "imap-login: Info: Login: user=<quorvex>, method=XOAUTH2"

        provider.control("/control/script", {"device": ["pending", "approve"]})
        login = self.quorvex("--oauth2-login", scale="0.01")
        self.assertEqual(login.returncode, 0, output_of(login))
        first = self.stored()

        checked = self.quorvex("--check-accounts")
        report = output_of(checked)
        print("--check-accounts:\n" + report, flush=True)
        self.assertEqual(checked.returncode, 0, report)
        self.assertIn("OAuth2 アクセストークン ... OK", report)
        self.assertIn("IMAP 127.0.0.1:%d (plain, OAuth2) ログイン ... OK" % imap, report)
        self.assertEqual(self.peers.dovecot_log().count(login_line), 1, report)
        logins = 1

        address = self.request("first")
        result = self.quorvex("--once")
        self.assertEqual(result.returncode, 0, output_of(result))
        self.assertIn(address, self.peers.received())
        self.assertEqual(self.peers.mailbox(), [])
        log = self.peers.dovecot_log()
        self.assertGreater(log.count(login_line), logins, log)
        self.assertNotIn("method=PLAIN", log)
        logins = log.count(login_line)
        # The stored access token served both: no refresh yet.
        self.assertEqual(provider.grants(), [DEVICE_GRANT, DEVICE_GRANT])
        self.assertEqual(self.stored(), first)

        # The provider ends the access token early: Dovecot refuses it, the program refreshes
        # it once and logs in with the new one.
        self.assertEqual(provider.control("/control/expire", {"token": first["access_token"]}), {"expired": 1})
        address = self.request("second")
        result = self.quorvex("--once")
        output = output_of(result)
        self.assertEqual(result.returncode, 0, output)
        self.assertIn(address, self.peers.received())
        self.assertEqual(self.peers.mailbox(), [])
        self.assertEqual(output.count("IMAPサーバーがOAuth2のトークンを受け付けませんでした"), 1, output)
        self.assertEqual(provider.grants(), [DEVICE_GRANT, DEVICE_GRANT, "refresh_token"])
        self.assertGreater(self.peers.dovecot_log().count(login_line), logins)
        renewed = self.stored()
        self.assertNotEqual(renewed["access_token"], first["access_token"])
        self.assertEqual(renewed["refresh_token"], first["refresh_token"])
        for secret in (first["access_token"], first["refresh_token"], renewed["access_token"]):
            self.assertNotIn(secret, output_of(login) + report + output)

    def request(self, name):
        return add_request(self.peers, name)


class OAuthMail(e2e.ProgramFixture):

    def make_peers(self):
        return OAuthPeers()

    def script(self, name, body):
        """A secret command: a shell script of the test (the program never runs a shell)."""
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)
        return path

    def settings(self, protocol, auth_method, command, smtp_auth=1):
        """Settings with the stored password still in place: it must not be what logs in."""
        port = self.peers.pop_ports["imap"] if protocol == 1 else self.peers.pop_port
        self.write_settings(extra_mail=[("MailProtocol", protocol), ("SmtpAuth", smtp_auth),
                                        ("PassCommand", command), ("AuthMethod", auth_method)])
        self.rewrite_settings([("PopPort=%d" % self.peers.pop_port, "PopPort=%d" % port)])

    def request(self, name):
        return add_request(self.peers, name)

    def output(self, result):
        return output_of(result)

    def test_once_logs_in_with_a_token_over_pop3_imap_and_smtp(self):
        command = self.script("token", "echo " + TOKEN)
        for name, protocol in (("pop3", 0), ("imap", 1)):
            with self.subTest(name):
                address = self.request(name)
                self.settings(protocol, 1, command)
                result = self.run_once()
                output = self.output(result)
                self.assertEqual(result.returncode, 0, output)
                self.assertIn(address, self.peers.received())
                self.assertEqual(self.peers.mailbox(), [])
                log = self.peers.dovecot_log()
                self.assertIn("%s-login: Info: Login: user=<quorvex>, method=XOAUTH2" % name, log)
                self.assertNotIn("method=PLAIN", log)
                logins = [login for session in self.peers.sessions() for login in session["logins"]]
                self.assertTrue(logins and all(login["mechanism"] == "XOAUTH2" and login["ok"]
                                               for login in logins), logins)
                for secret in (TOKEN, e2e.PASSWORD):
                    self.assertNotIn(secret, output)
                # The account check logs in the same way.
                checked = subprocess.run([e2e.PROGRAM, "--check-accounts", "--ini", self.ini, "--timing-scale", "0"],
                                         env=self.env, capture_output=True, timeout=120)
                report = self.output(checked)
                self.assertEqual(checked.returncode, 0, report)
                port = self.peers.pop_ports["imap"] if protocol == 1 else self.peers.pop_port
                self.assertIn("%s 127.0.0.1:%d (plain, OAuth2) ログイン ... OK" % (name.upper(), port), report)
                self.assertIn("SMTP 127.0.0.1:%d (plain, AUTH OAuth2) 接続 ... OK" % self.peers.smtp_port, report)
                self.assertNotIn(TOKEN, report)

    def test_a_stale_token_is_renewed_once_and_a_revoked_one_reported(self):
        # The helper hands out a stale token first, then good ones.
        count = os.path.join(self.work, "count")
        command = self.script("renewing", 'n=$(cat %s 2>/dev/null || echo 0); n=$((n + 1)); echo $n > %s\n'
                                          'if [ $n = 1 ]; then echo %s; else echo %s; fi'
                                          % (count, count, STALE, TOKEN))
        address = self.request("renewed")
        self.settings(1, 1, command)
        result = self.run_once()
        output = self.output(result)
        self.assertEqual(result.returncode, 0, output)
        self.assertIn(address, self.peers.received())
        self.assertIn("IMAPサーバーがOAuth2のトークンを受け付けませんでした (XOAUTH2) (", output)
        self.assertIn('"status":"401"', output)  # the server's reason from its failure challenge
        self.assertNotIn(STALE, output)

        # Revoked: the fresh token is refused too, the mailbox is left alone and nothing is sent.
        self.peers.grant()
        os.remove(count)
        address = self.request("revoked")
        result = self.run_once()
        output = self.output(result)
        self.assertEqual(result.returncode, 2, output)
        self.assertEqual(output.count("IMAPサーバーがOAuth2のトークンを受け付けませんでした"), 2, output)
        self.assertIn("revoked", self.peers.mailbox())
        self.assertNotIn(address, self.peers.received())
        for secret in (TOKEN, STALE, e2e.PASSWORD):
            self.assertNotIn(secret, output)

    def test_secret_commands_that_succeed_fail_hang_or_print_nothing(self):
        cases = [
            # (name, script, exit status of --once, logged)
            ("prints", "echo " + e2e.PASSWORD + "; echo second-line", 0, None),
            ("fails", "echo leaked-output; exit 3", 2, "PassCommandのコマンドが失敗しました (終了コード 3)"),
            # --timing-scale 0 keeps the one second a command always has.
            ("hangs", "echo leaked-output; exec sleep 30", 2,
             "PassCommandのコマンドが失敗しました (1000 ミリ秒以内に終わらなかったため停止)"),
            ("silent", "true", 2, "PassCommandのコマンドが失敗しました (終了コード 0、出力なし)"),
        ]
        for name, body, status, logged in cases:
            with self.subTest(name):
                address = self.request(name)
                # The stored password is wrong: only the command's can log in.
                self.settings(0, 0, self.script(name, body))
                self.rewrite_settings([("Passwd=c2VjcmV0", "Passwd=d3Jvbmc")])
                result = self.run_once()
                output = result.stdout.decode("utf-8", "replace")
                self.assertEqual(result.returncode, status, output)
                if logged:
                    self.assertIn(logged, output)
                    self.assertIn(name, self.peers.mailbox())
                    self.assertNotIn("leaked-output", output)
                else:
                    self.assertIn(address, self.peers.received())
                    self.assertIn("method=PLAIN", self.peers.dovecot_log())


if __name__ == "__main__":
    e2e.BIN = os.path.abspath(sys.argv.pop(1))
    e2e.PROGRAM = os.environ.get("QUORVEX_PROGRAM") or os.path.join(e2e.BIN, "Quorvex")
    reason = e2e.missing_peer() or (None if os.path.exists("/usr/lib/dovecot/imap") else "dovecot-imapd is missing")
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
