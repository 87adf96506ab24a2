#!/usr/bin/python3
"""End-to-end tests of Quorvex: real request mails in a real POP3 mailbox (Dovecot) are
answered through a real SMTP server (aiosmtpd) by the Quorvex program itself, with a test
camera and the timings shrunk to zero.

Usage: /usr/bin/python3 e2e_test.py BIN_FOLDER
BIN_FOLDER holds Quorvex, qvconvert and qvregistry. Exit status 77 (skipped) when Dovecot,
aiosmtpd or PIL is missing.
"""

import base64
import email
import email.policy
import glob
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")
PYTHON = "/usr/bin/python3"
BIN = None

OWN_ADDRESS = "camera@example.net"
PASSWORD = "secret"
SUBJECT = "カメラ"


def missing_peer():
    if not os.path.exists("/usr/sbin/dovecot"):
        return "Dovecot is not installed"
    try:
        import aiosmtpd  # noqa: F401
        import PIL  # noqa: F401
    except ImportError as error:
        return str(error)
    return None


def encoded_word(text):
    return "=?ISO-2022-JP?B?%s?=" % base64.b64encode(text.encode("iso2022_jp")).decode()


def request_mail(sender, subject, name=None):
    sender_line = "%s <%s>" % (encoded_word(name), sender) if name else sender
    lines = ["From: " + sender_line, "To: " + OWN_ADDRESS, "Subject: " + subject,
             "MIME-Version: 1.0", "Content-Type: text/plain; charset=ISO-2022-JP", "",
             "Please send a picture."]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def ini_text(sections):
    out = []
    for section, keys in sections:
        out.append("[%s]" % section)
        out.extend("%s=%s" % (k, v) for k, v in keys)
    return ("\r\n".join(out) + "\r\n").encode("cp932")


class Peers:
    """Dovecot and aiosmtpd on loopback, in one private folder."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="quorvex-e2e-")
        os.chmod(self.folder, 0o755)
        self.pop_folder = os.path.join(self.folder, "pop")
        os.mkdir(self.pop_folder)
        os.chmod(self.pop_folder, 0o755)
        self.smtp_folder = os.path.join(self.folder, "smtp")
        os.mkdir(self.smtp_folder)
        started = subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "start",
                                  self.pop_folder, "quorvex", PASSWORD],
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("Dovecot did not start: " + started.stderr)
        self.pop_port = int(started.stdout.strip())
        self.smtp = subprocess.Popen([PYTHON, os.path.join(FIXTURES, "smtp_server.py"),
                                      "--folder", self.smtp_folder],
                                     stdout=subprocess.PIPE, text=True)
        self.smtp_port = int(self.smtp.stdout.readline().strip())

    def add_mails(self, mails):
        files = []
        for name, data in mails:
            path = os.path.join(self.folder, name)
            with open(path, "wb") as f:
                f.write(data)
            files.append(path)
        subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "add", self.pop_folder] + files,
                       check=True, timeout=30)

    def mailbox(self):
        listed = subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "list", self.pop_folder],
                                capture_output=True, text=True, check=True, timeout=30)
        return listed.stdout.split()

    def received(self):
        """{envelope recipient: parsed message} of every stored mail."""
        messages = {}
        for path in sorted(glob.glob(os.path.join(self.smtp_folder, "mail-*.eml"))):
            with open(path[:-4] + ".json") as f:
                recipients = json.load(f)["rcpt_tos"]
            with open(path, "rb") as f:
                message = email.message_from_bytes(f.read(), policy=email.policy.default)
            for recipient in recipients:
                messages[recipient] = message
        return messages

    def close(self):
        self.smtp.terminate()
        self.smtp.wait(timeout=30)
        self.smtp.stdout.close()
        subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "stop", self.pop_folder], timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.peers = Peers()
        self.addCleanup(self.peers.close)
        self.work = os.path.join(self.peers.folder, "program")
        os.mkdir(self.work)
        self.ini = os.path.join(self.work, "Quorvex.ini")
        self.log_folder = os.path.join(self.work, "logs", "daily")
        self.env = dict(os.environ, QUORVEX_TEST_DEVICES="Test Camera", QT_QPA_PLATFORM="offscreen",
                        QUORVEX_REGISTRY=os.path.join(self.work, "registry.reg"),
                        QUORVEX_NMCLI=os.path.join(self.work, "no-nmcli"))
        subprocess.run([os.path.join(BIN, "qvregistry"), "set",
                        "HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command", "@",
                        '"%s" "%%1"' % os.path.join(BIN, "qvconvert")], env=self.env, check=True,
                       capture_output=True)

    def write_settings(self, mail_timer=5, wake_up=0, extra_filter=()):
        sections = [
            ("BasicSettings", [("PreviewRate", 6), ("WakeUpMail", wake_up), ("StartIcon", 0),
                               ("MailTimer", mail_timer), ("DeviceName", ""), ("LogOutput", 1),
                               ("LogFolder", self.log_folder)]),
            ("MailSettings", [("UserName", "カメラ係"), ("MailAddr", OWN_ADDRESS),
                              ("PopServer", "127.0.0.1"), ("SmtpServer", "127.0.0.1"),
                              ("UserID", "quorvex"),
                              ("Passwd", base64.b64encode(PASSWORD.encode()).decode().rstrip("=")),
                              ("BeforeSMTP", 0), ("ConnMode", 0), ("PopPort", self.peers.pop_port),
                              ("SmtpPort", self.peers.smtp_port), ("DialName", "")]),
            ("SendSettings", [("Title", "Quorvex画像"), ("MailText", "こんにちは<BR>今の画像です。"),
                              ("SendName", "-- Quorvex")]),
            ("FilterSettings", [("MailFill", 1), ("FiltMode", 0), ("TitleFilt", 1), ("TextFilt", 0),
                                ("RcvDelete", 1), ("TitleFiltText", SUBJECT), ("TextFiltText", "")]
             + list(extra_filter)),
        ]
        with open(self.ini, "wb") as f:
            f.write(ini_text(sections))
        with open(os.path.join(self.work, "MailList.dat"), "wb") as f:
            f.write(b"blocked@*\n")

    def run_once(self):
        return subprocess.run([os.path.join(BIN, "Quorvex"), "--once", "--ini", self.ini, "--timing-scale", "0"],
                              env=self.env, capture_output=True, timeout=300)

    def picture_of(self, message):
        from PIL import Image
        attachments = list(message.iter_attachments())
        self.assertEqual(len(attachments), 1)
        data = attachments[0].get_content()
        return attachments[0], Image.open(io.BytesIO(data))

    def test_once_answers_each_carrier_with_its_picture(self):
        self.write_settings()
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([
            ("au", request_mail("taro@ezweb.ne.jp", subject, name="太郎")),
            ("vodafone", request_mail("hanako@d.vodafone.ne.jp", subject)),
            ("docomo", request_mail("jiro@docomo.ne.jp", subject, name="次郎")),
            ("other", request_mail("someone@example.com", subject)),
            ("blocked", request_mail("blocked@example.org", subject)),
            ("wrong_subject", request_mail("saburo@example.com", "hello")),
            ("own", request_mail(OWN_ADDRESS, subject)),
        ])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output + result.stderr.decode("utf-8", "replace"))

        # Accepted and refused mails are gone (RcvDelete 1).
        self.assertEqual(self.peers.mailbox(), [])

        replies = self.peers.received()
        self.assertEqual(sorted(replies), sorted(["taro@ezweb.ne.jp", "hanako@d.vodafone.ne.jp",
                                                  "jiro@docomo.ne.jp", "someone@example.com"]))
        expected = {
            "taro@ezweb.ne.jp": ("image/png", "PNG", (120, 120), 192),
            "hanako@d.vodafone.ne.jp": ("image/jpeg", "JPEG", (120, 128), None),
            "jiro@docomo.ne.jp": ("image/gif", "GIF", (96, 80), 256),
            "someone@example.com": ("image/jpeg", "JPEG", (320, 240), None),
        }
        for address, (media, image_format, size, colours) in expected.items():
            message = replies[address]
            # The subject line ends in a blank before CR LF, as the reply layout has it.
            self.assertEqual(str(message["Subject"]), "Quorvex画像 ")
            self.assertIn("カメラ係", str(message["From"]))
            self.assertIn(OWN_ADDRESS, str(message["From"]))
            part, picture = self.picture_of(message)
            self.assertEqual(part.get_content_type(), media, address)
            self.assertEqual(picture.format, image_format, address)
            self.assertEqual(picture.size, size, address)
            if colours:
                self.assertEqual(picture.mode, "P", address)
                used = len(picture.getcolors(256) or [])
                self.assertGreater(used, 8, address)
                self.assertLessEqual(used, colours, address)
            else:
                self.assertEqual(picture.mode, "RGB", address)
            body = message.get_body(("plain",)).get_content()
            self.assertIn("今の画像です。", body)
            self.assertIn("-- Quorvex", body)
        # A recipient with a display name gets a To line with it; one without gets none.
        self.assertIn("太郎", str(replies["taro@ezweb.ne.jp"]["To"]))
        self.assertIsNone(replies["hanako@d.vodafone.ne.jp"]["To"])

        # The activity log, in order, on standard output and in today's file (CP932).
        steps = ["メールチェック", "7個のメールを受信しました。", "フィルタチェックを行います。",
                 "5個に画像を返信します。", "受信したメールを削除します。", "受信拒否したメールを削除します。",
                 "画像キャプチャ", "ａｕ用画像を作成しています。", "J-PHONE用画像を作成しています。",
                 "Docomo用画像を作成しています。", "その他用画像を作成しています。"]
        position = 0
        for step in steps:
            found = output.find(step, position)
            self.assertGreaterEqual(found, 0, "%s missing or out of order in:\n%s" % (step, output))
            position = found
        files = glob.glob(os.path.join(self.log_folder, "????-??-??.log"))
        self.assertEqual(len(files), 1)
        with open(files[0], "rb") as f:
            text = f.read().decode("cp932")
        self.assertIn("[受信] メールチェック", text)
        self.assertIn("\r\n", text)

    def test_once_fails_when_the_mailbox_refuses_the_log_in(self):
        self.write_settings()
        with open(self.ini, "rb") as f:
            text = f.read().replace(b"Passwd=c2VjcmV0", b"Passwd=d3Jvbmc")
        with open(self.ini, "wb") as f:
            f.write(text)
        result = self.run_once()
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("新規メールはありませんでした。", result.stdout.decode("utf-8", "replace"))
        self.assertEqual(self.peers.received(), {})

    def rewrite_settings(self, replacements):
        with open(self.ini, "rb") as f:
            text = f.read()
        for old, new in replacements:
            self.assertIn(old.encode("cp932"), text)
            text = text.replace(old.encode("cp932"), new.encode("cp932"))
        with open(self.ini, "wb") as f:
            f.write(text)

    def test_failures_are_logged_and_the_run_goes_on(self):
        subject = encoded_word(SUBJECT)
        # Dial-up that fails: no check at all, the mails stay.
        self.write_settings()
        nmcli = os.path.join(self.work, "nmcli")
        with open(nmcli, "w") as f:
            f.write("#!/bin/sh\necho \"$@\" >> '%s'\nexit 1\n" % os.path.join(self.work, "nmcli.calls"))
        os.chmod(nmcli, 0o755)
        self.env["QUORVEX_NMCLI"] = nmcli
        self.rewrite_settings([("ConnMode=0", "ConnMode=1"), ("DialName=", "DialName=携帯")])
        self.peers.add_mails([("au", request_mail("taro@ezweb.ne.jp", subject)),
                              ("other", request_mail("someone@example.com", subject))])
        output = self.run_once().stdout.decode("utf-8", "replace")
        self.assertIn("[通信] ダイアルアップに失敗しました。", output)
        self.assertNotIn("メールチェック", output)
        with open(os.path.join(self.work, "nmcli.calls")) as f:
            self.assertIn("connection up id 携帯", f.read())
        self.assertEqual(len(self.peers.mailbox()), 2)

        # An SMTP server that is down: one failure line per request, the run goes on; the log
        # folder cannot be made (a file is in its way), yet every line still reaches the output.
        self.rewrite_settings([("ConnMode=1", "ConnMode=0"),
                               ("SmtpPort=%d" % self.peers.smtp_port, "SmtpPort=1"),
                               ("LogFolder=" + self.log_folder, "LogFolder=" + self.ini + "/logs")])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(output.count("メール送信に失敗しました。"), 2, output)
        self.assertIn("メール送信終了", output)
        self.assertEqual(self.peers.mailbox(), [])

        # A capture device that fails: no reply, no hang-up. The first run stored the camera it
        # started; the broken one is all there is now.
        self.rewrite_settings([("SmtpPort=1", "SmtpPort=%d" % self.peers.smtp_port),
                               ("DeviceName=Test Camera", "DeviceName=")])
        self.env["QUORVEX_TEST_DEVICES"] = "!Broken Camera"
        self.peers.add_mails([("docomo", request_mail("jiro@docomo.ne.jp", subject))])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0)
        self.assertIn("[画像] 画像がキャプチャできませんでした。", output)
        self.assertIn("選択したデバイスは使用できませんでした。", result.stderr.decode("utf-8", "replace"))
        self.assertNotIn("メール送信開始", output)
        self.assertEqual(self.peers.received(), {})

    def test_headless_runs_two_cycles_and_stops_on_sigterm(self):
        self.write_settings(mail_timer=0)
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("first", request_mail("taro@ezweb.ne.jp", subject))])
        program = subprocess.Popen([os.path.join(BIN, "Quorvex"), "--headless", "--ini", self.ini,
                                    "--timing-scale", "0"], env=self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.wait_for_replies(1)
            self.peers.add_mails([("second", request_mail("hanako@d.vodafone.ne.jp", subject))])
            self.wait_for_replies(2)
        finally:
            program.send_signal(signal.SIGTERM)
            out, err = program.communicate(timeout=60)
        self.assertEqual(program.returncode, 0, err.decode("utf-8", "replace"))
        output = out.decode("utf-8", "replace")
        self.assertGreaterEqual(output.count("画像キャプチャ"), 2)
        self.assertEqual(self.peers.mailbox(), [])

    def start_orbisk(self, *options):
        """orbisk with its plug-in in a folder of its own; returns that folder."""
        folder = os.path.join(self.work, "orbisk")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(os.path.join(BIN, "QXComm.so"), folder)
        program = subprocess.Popen([os.path.join(BIN, "orbisk"), "--folder", folder] + list(options),
                                   env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.assertEqual(program.stdout.readline().strip(), "orbisk: ready")
        self.addCleanup(self.stop_orbisk, program)
        return folder, program

    def stop_orbisk(self, program):
        if program.poll() is None:
            program.terminate()
            program.wait(timeout=30)
        program.stdout.close()

    def sibling_settings(self):
        from PIL import Image
        runtime = os.path.join(self.work, "runtime")
        os.mkdir(runtime, 0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime
        self.write_settings(mail_timer=0)
        self.rewrite_settings([("DeviceName=", "DeviceName=Orbisk連携")])
        picture = os.path.join(self.work, "red.bmp")
        Image.new("RGB", (320, 240), (220, 20, 30)).save(picture)
        return picture

    def assert_red_reply(self, address):
        _, picture = self.picture_of(self.peers.received()[address])
        red, green, blue = picture.convert("RGB").getpixel((picture.width // 2, picture.height // 2))
        self.assertGreater(red, 150)
        self.assertLess(green + blue, 120)

    def test_pictures_come_from_the_sibling_program(self):
        picture = self.sibling_settings()
        folder, orbisk = self.start_orbisk("--picture", picture)
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("other", request_mail("someone@example.com", subject))])
        result = subprocess.run([os.path.join(BIN, "Quorvex"), "--once", "--ini", self.ini, "--timing-scale", "0.01"],
                                env=self.env, capture_output=True, timeout=300)
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("画像キャプチャ", output)
        self.assertNotIn("受け取れませんでした", output)
        self.assert_red_reply("someone@example.com")
        # The sibling's picture was taken over and deleted.
        self.assertEqual(glob.glob(os.path.join(folder, "Orbisk*.bmp")), [])

        # Orbisk is gone: the worker waits its time and says so; nothing is sent.
        self.stop_orbisk(orbisk)
        self.peers.add_mails([("docomo", request_mail("jiro@docomo.ne.jp", subject))])
        result = subprocess.run([os.path.join(BIN, "Quorvex"), "--once", "--ini", self.ini, "--timing-scale", "0.01"],
                                env=self.env, capture_output=True, timeout=300)
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("[画像] Orbiskから画像が受け取れませんでした。", output)
        self.assertNotIn("jiro@docomo.ne.jp", self.peers.received())

    def test_a_late_sibling_picture_serves_the_next_pass(self):
        picture = self.sibling_settings()
        # The wait is 361 polls of 5 ms; orbisk answers three seconds late.
        self.start_orbisk("--picture", picture, "--delay", "3000")
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("first", request_mail("taro@ezweb.ne.jp", subject))])
        log = os.path.join(self.work, "headless.out")
        with open(log, "wb") as out:
            program = subprocess.Popen([os.path.join(BIN, "Quorvex"), "--headless", "--ini", self.ini,
                                        "--timing-scale", "0.01"], env=self.env, stdout=out, stderr=subprocess.STDOUT)
        try:
            self.wait_for_text(log, "受け取れませんでした")
            self.peers.add_mails([("second", request_mail("hanako@d.vodafone.ne.jp", subject))])
            self.wait_for_replies(1)
        finally:
            program.send_signal(signal.SIGTERM)
            program.wait(timeout=60)
        self.assertEqual(sorted(self.peers.received()), ["hanako@d.vodafone.ne.jp"])
        self.assert_red_reply("hanako@d.vodafone.ne.jp")

    def wait_for_text(self, path, text):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            with open(path, "rb") as f:
                if text in f.read().decode("utf-8", "replace"):
                    return
            time.sleep(0.05)
        self.fail("%r never appeared in %s" % (text, path))

    def wait_for_replies(self, count):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if len(glob.glob(os.path.join(self.peers.smtp_folder, "mail-*.eml"))) >= count:
                return
            time.sleep(0.05)
        self.fail("no reply number %d arrived" % count)


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    reason = missing_peer()
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
