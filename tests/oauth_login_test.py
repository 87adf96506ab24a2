#!/usr/bin/python3
"""End-to-end tests of `Quorvex --oauth2-login` and the token line of `--check-accounts`
against the loopback OAuth2 provider (oauth_provider.py): the device log-in, the browser log-in
through a stand-in xdg-open that follows the provider's redirect as a browser would, the token
file's mode, a revoked token reported.

Usage: /usr/bin/python3 oauth_login_test.py BIN_FOLDER
"""

import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = None
PYTHON = "/usr/bin/python3"

# A stand-in for the desktop's URL handler: like the real one it returns at once and leaves
# the "browser" running; the browser asks the provider's log-in page and follows its redirect.
FAKE_XDG_OPEN = """#!/usr/bin/python3
import os, sys, urllib.request
if os.fork() == 0:
    os.setsid()
    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args):
            return None
    opener = urllib.request.build_opener(NoRedirect, urllib.request.ProxyHandler({}))
    try:
        opener.open(sys.argv[1])
    except urllib.error.HTTPError as answer:
        location = answer.headers["Location"]
        with open(os.environ["QUORVEX_TEST_BROWSER_LOG"], "w") as log:
            log.write(location)
        opener.open(location).read()
    os._exit(0)
"""


class LoopbackProvider:
    """oauth_provider.py running on loopback (its options in `options`), and its control
    endpoints."""

    def __init__(self, *options):
        self.process = subprocess.Popen([PYTHON, os.path.join(HERE, "oauth_provider.py")] + list(options),
                                        stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())
        self.base = "http://127.0.0.1:%d" % self.port

    def settings_lines(self):
        """The [MailSettings] lines of a custom provider at this address."""
        return [("OAuthProvider", 2), ("OAuthClientId", "quorvex-test"), ("OAuthTokenUrl", self.base + "/token"),
                ("OAuthDeviceUrl", self.base + "/device"), ("OAuthAuthUrl", self.base + "/authorize"),
                ("OAuthScope", "mail")]

    def control(self, path, body=None):
        """POSTs `body` (JSON) to `path`, or GETs `path` without one; the JSON answer."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method="GET" if body is None else "POST")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        return json.loads(opener.open(request).read())

    def grants(self):
        """The grant_type of every request to the token endpoint so far, in order."""
        return [entry["form"].get("grant_type") for entry in self.control("/control/log")
                if entry["path"] == "/token"]

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()


class OAuthLogin(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", self.folder], check=False)
        self.provider = LoopbackProvider()
        self.addCleanup(self.provider.close)
        self.port = self.provider.port
        self.control = self.provider.control
        self.ini = os.path.join(self.folder, "Quorvex.ini")
        with open(self.ini, "w") as f:
            f.write("[MailSettings]\r\n" + "".join("%s=%s\r\n" % line for line in self.provider.settings_lines()))
        os.chmod(self.ini, 0o600)
        self.tokens = os.path.join(self.folder, "Quorvex.tokens")

    def quorvex(self, *arguments, env=None):
        return subprocess.run([os.path.join(BIN, "Quorvex"), "--ini", self.ini, "--timing-scale", "0.01"]
                              + list(arguments), capture_output=True, text=True, timeout=120,
                              env=env or dict(os.environ, QT_QPA_PLATFORM="offscreen"))

    @staticmethod
    def token_line(check):
        lines = [line for line in check.stdout.splitlines() if line.startswith("OAuth2 ")]
        return lines[0] if lines else ""

    def stored(self):
        with open(self.tokens) as f:
            return dict(line.split(" ", 1) for line in f.read().splitlines())

    def test_device_login_then_token_check_then_revoked(self):
        self.control("/control/script", {"device": ["pending", "slow_down", "approve"]})
        login = self.quorvex("--oauth2-login")
        self.assertEqual(login.returncode, 0, login.stderr)
        self.assertIn("http://127.0.0.1:%d/device-login" % self.port, login.stdout)
        self.assertEqual(stat.S_IMODE(os.stat(self.tokens).st_mode), 0o600)
        tokens = self.stored()
        for secret in (tokens["refresh_token"], tokens["access_token"]):
            self.assertNotIn(secret, login.stdout + login.stderr)

        check = self.quorvex("--check-accounts")
        self.assertIn("... OK", self.token_line(check))
        self.assertNotIn(tokens["access_token"], check.stdout + check.stderr)

        self.control("/control/revoke", {"token": "all"})
        self.control("/control/expire", {"token": "all"})
        with open(self.tokens, "w") as f:  # the stored token has run out too
            f.write("refresh_token %s\naccess_token %s\nexpires_at 1\n"
                    % (tokens["refresh_token"], tokens["access_token"]))
        check = self.quorvex("--check-accounts")
        self.assertNotEqual(check.returncode, 0)
        self.assertIn("... NG", self.token_line(check))
        self.assertIn("invalid_grant", check.stdout)
        self.assertIn("--oauth2-login", check.stdout)

    def test_device_login_denied(self):
        self.control("/control/script", {"device": ["pending", "deny"]})
        login = self.quorvex("--oauth2-login")
        self.assertEqual(login.returncode, 1)
        self.assertFalse(os.path.exists(self.tokens))

    def test_browser_login_through_the_desktop_handler(self):
        tools = os.path.join(self.folder, "tools")
        os.mkdir(tools)
        opener = os.path.join(tools, "xdg-open")
        with open(opener, "w") as f:
            f.write(FAKE_XDG_OPEN)
        os.chmod(opener, 0o755)
        browser_log = os.path.join(self.folder, "browser.log")
        env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"], QT_QPA_PLATFORM="offscreen",
                   QUORVEX_TEST_BROWSER_LOG=browser_log)
        login = self.quorvex("--oauth2-login", "--browser", env=env)
        self.assertEqual(login.returncode, 0, login.stdout + login.stderr)
        with open(browser_log) as f:
            self.assertTrue(f.read().startswith("http://127.0.0.1:"))
        self.assertEqual(stat.S_IMODE(os.stat(self.tokens).st_mode), 0o600)
        self.assertIn("access_token", self.stored())


    def test_provider_introspection_as_dovecot_asks(self):
        """The provider answers each introspection mode of Dovecot's oauth2 password database."""
        base = "http://127.0.0.1:%d" % self.port
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        token = self.control("/control/issue", {"user": "taro@example.test"})["access_token"]

        def modes():
            yield urllib.request.Request(base + "/introspect", data=("token=" + token).encode())
            yield urllib.request.Request(base + "/introspect?access_token=" + token)
            yield urllib.request.Request(base + "/introspect/" + token)
            yield urllib.request.Request(base + "/introspect", headers={"Authorization": "Bearer " + token})

        for request in modes():
            answer = json.loads(opener.open(request).read())
            self.assertEqual((answer["active"], answer.get("username")), (True, "taro@example.test"))
        self.control("/control/expire", {"token": token})
        for request in modes():
            self.assertEqual(json.loads(opener.open(request).read()), {"active": False})


if __name__ == "__main__":
    BIN = sys.argv.pop(1)
    unittest.main()
