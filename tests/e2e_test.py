#!/usr/bin/python3
"""End-to-end tests of Quorvex: real request mails in a real POP3 mailbox (Dovecot) are
answered through a real SMTP server (aiosmtpd) by the Quorvex program itself, with a test
camera and the timings shrunk to zero. The fixture classes here serve the IMAP and secure-mail
tests too.

Usage: /usr/bin/python3 e2e_test.py BIN_FOLDER [TEST ...]
BIN_FOLDER holds Quorvex, qvconvert and qvregistry; $QUORVEX_PROGRAM, when set, is the program
to run instead of BIN_FOLDER/Quorvex (an installed one, say). Exit status 77 (skipped) when
Dovecot, aiosmtpd or PIL is missing.
"""

import base64
import email
import email.header
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
PROGRAM = None

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


def utf8(text):
    """A header text that Python's parser read from raw UTF-8 bytes (RFC 6532), as text."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8")


def real_mail_corpus():
    """[(name, raw bytes, address answered or None, the name the reply's To shows)]: one
    request mail per shape that a mail program writes, each saying which writer it stands
    for. The subject is the configured filter text in each mail that should be answered."""
    from email.headerregistry import Address
    from email.message import EmailMessage

    def python_mail(sender, subject, headers=(), body="写真をください"):
        # Python's own generator: UTF-8 encoded words, long fields folded at 78 characters.
        message = EmailMessage()
        message["From"] = sender
        message["To"] = OWN_ADDRESS
        message["Subject"] = subject
        for name, value in headers:
            message[name] = value
        message.set_content(body)
        return message.as_bytes(policy=email.policy.SMTP)

    def raw(*lines):
        return ("\r\n".join(lines) + "\r\n").encode("latin-1")

    def utf8_raw(*lines):
        return ("\r\n".join(lines) + "\r\n").encode("utf-8")

    sjis_subject = "=?Shift_JIS?B?%s?=" % base64.b64encode(SUBJECT.encode("cp932")).decode()
    sjis_name = base64.b64encode("ｶﾒﾗ ﾀﾛｳ".encode("cp932")).decode()
    utf8_bytes = SUBJECT.encode("utf-8")
    split_subject = "=?UTF-8?B?%s?= =?UTF-8?B?%s?=" % (
        base64.b64encode(utf8_bytes[:4]).decode(), base64.b64encode(utf8_bytes[4:]).decode())
    q_subject = "=?utf-8?Q?%s?=" % "".join("=%02X" % b for b in utf8_bytes)
    return [
        # Webmail: UTF-8 "B" words.
        ("webmail", python_mail(Address("山田 太郎", "yamada@example.com"), SUBJECT),
         "yamada@example.com", "山田 太郎"),
        # Python's generator folds a long name, the address alone on the last line.
        ("long_name", python_mail(Address("山田 太郎 (営業部 第二課 カメラ担当) 長い名前のテスト",
                                          "long.name@example.com"), SUBJECT),
         "long.name@example.com", "山田 太郎 (営業部 第二課 カメラ担当) 長い名前のテスト"),
        # A phone mail app: lower-case "Q" words, a quoted name.
        ("phone_app_q", raw('From: "=?utf-8?q?=E8=8A=B1=E5=AD=90?=" <hanako@example.org>',
                            "Subject: " + q_subject, "", "please"),
         "hanako@example.org", "花子"),
        # A Japanese handset: Shift_JIS words, half-width katakana, dots in the local part.
        ("sjis_handset", raw("From: =?Shift_JIS?B?%s?= <taro..x.@docomo.ne.jp>" % sjis_name,
                             "Subject: " + sjis_subject, "", "x"),
         "taro..x.@docomo.ne.jp", "カメラ タロウ"),
        # An older handset: ISO-2022-JP words.
        ("jis_handset", request_mail("jiro@ezweb.ne.jp", encoded_word(SUBJECT), name="次郎"),
         "jiro@ezweb.ne.jp", "次郎"),
        # A long subject split over two words, in the middle of a character.
        ("split_subject", raw("From: saburo@example.com", "Subject: " + split_subject, "", "x"),
         "saburo@example.com", ""),
        # Lower-case field names (header names are case-insensitive).
        ("lower_case", raw("from: shiro@example.com", "subject: " + encoded_word(SUBJECT), "", "x"),
         "shiro@example.com", ""),
        # Several mailboxes: the first is answered.
        ("two_senders", raw("From: first@example.com, Second <second@example.com>",
                            "Subject: " + encoded_word(SUBJECT), "", "x"),
         "first@example.com", ""),
        # A forwarded message in the body names a third party, who gets nothing.
        ("forwarded", python_mail("goro@example.com", SUBJECT,
                                  body="---- Forwarded ----\nFrom: third@example.org\n"),
         "goro@example.com", ""),
        # RFC 6532: UTF-8 in the header, an international domain and local part.
        ("utf8_header", utf8_raw("From: 六郎 <ろくろう@例え.jp>", "Subject: " + SUBJECT, "", "x"),
         "ろくろう@xn--r8jz45g.jp", "六郎"),
        # RFC 5322: a quoted local part with a blank is answered, quoted again on the way out.
        ("quoted_local", raw('From: "foo bar"@example.com', "Subject: " + encoded_word(SUBJECT), "", "x"),
         '"foo bar"@example.com', ""),
        # Comments and blanks around "@" and "." are no part of the address.
        ("comments", raw("From: (foo) dinsdale(bar)@ (bird) example.com (bog)",
                         "Subject: " + encoded_word(SUBJECT), "", "x"), "dinsdale@example.com", "foo"),
        # A person typed "no" with a comment: answered.
        ("typed_by_hand", python_mail("hiro@example.com", SUBJECT,
                                      headers=[("Auto-Submitted", "no (typed by hand)")]),
         "hiro@example.com", ""),
        # Something left over after the address: nobody is answered, neither alice nor bob.
        ("leftover", raw("From: alice@example.org)<bob@example.com>", "Subject: " + encoded_word(SUBJECT), "",
                         "x"), None, None),
        ("trailing_dot", raw("From: kuro@x.jp.", "Subject: " + encoded_word(SUBJECT), "", "x"), None, None),
        # Automatic mails with the subject: never answered.
        ("vacation", python_mail("boss@example.com", SUBJECT,
                                 headers=[("Auto-Submitted", "auto-replied")]), None, None),
        ("bounce", raw("Return-Path: <>", "From: Mail Delivery System <MAILER-DAEMON@example.com>",
                       "Subject: " + encoded_word(SUBJECT), "", "x"), None, None),
        ("list_post", python_mail("member@example.com", SUBJECT,
                                  headers=[("List-Id", "<cams.example.org>"),
                                           ("Precedence", "list")]), None, None),
        ("bulk", python_mail("shop@example.com", SUBJECT, headers=[("Precedence", "bulk")]),
         None, None),
        ("noreply", python_mail("no-reply@example.com", SUBJECT), None, None),
        # No sender at all.
        ("no_sender", raw("Subject: " + encoded_word(SUBJECT), "", "x"), None, None),
        # Refused by the address list.
        ("blocked", request_mail("blocked@example.org", encoded_word(SUBJECT)), None, None),
    ]


def ini_text(sections):
    out = []
    for section, keys in sections:
        out.append("[%s]" % section)
        out.extend("%s=%s" % (k, v) for k, v in keys)
    return ("\r\n".join(out) + "\r\n").encode("cp932")


class Peers:
    """Dovecot and aiosmtpd (announcing SMTPUTF8) on loopback, in one private folder.
    `pop_options` and `smtp_options` go to the fixtures' command lines (TLS, authentication);
    with POP3 options the ports of every listener are in `pop_ports`."""

    def __init__(self, pop_options=(), smtp_options=()):
        self.folder = tempfile.mkdtemp(prefix="quorvex-e2e-")
        os.chmod(self.folder, 0o755)
        self.pop_folder = os.path.join(self.folder, "pop")
        os.mkdir(self.pop_folder)
        os.chmod(self.pop_folder, 0o755)
        self.smtp_folder = os.path.join(self.folder, "smtp")
        os.mkdir(self.smtp_folder)
        started = subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "start",
                                  self.pop_folder, "quorvex", PASSWORD] + list(pop_options),
                                 capture_output=True, text=True, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("Dovecot did not start: " + started.stderr)
        if pop_options:
            self.pop_ports = json.loads(started.stdout)
            self.pop_port = self.pop_ports["pop3"]
        else:
            self.pop_port = int(started.stdout.strip())
        self.smtp = subprocess.Popen([PYTHON, os.path.join(FIXTURES, "smtp_server.py"),
                                      "--folder", self.smtp_folder, "--smtputf8"] + list(smtp_options),
                                     stdout=subprocess.PIPE, text=True)
        self.smtp_port = int(self.smtp.stdout.readline().strip())

    def sessions(self):
        """What the SMTP server recorded of each session (see smtp_server.py)."""
        path = os.path.join(self.smtp_folder, "sessions.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def add_mails(self, mails):
        files = []
        for name, data in mails:
            path = os.path.join(self.folder, name)
            with open(path, "wb") as f:
                f.write(data)
            files.append(path)
        subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "add", self.pop_folder] + files,
                       check=True, timeout=30)

    def restart_mailbox(self):
        """Stops Dovecot and starts it again: every open connection is cut."""
        subprocess.run([PYTHON, os.path.join(FIXTURES, "pop3_server.py"), "restart", self.pop_folder],
                       check=True, timeout=60)

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


def program_case(peers, bin_folder, camera="Bench Camera"):
    """A fixture case outside unittest (for the benchmarks): the program folder in `peers`,
    the converter registered, a test camera; its write_settings and friends work as in tests."""
    global BIN
    BIN = bin_folder
    case = EndToEnd("test_once_answers_each_carrier_with_its_picture")
    case.peers = peers
    case.work = os.path.join(peers.folder, "program")
    os.mkdir(case.work)
    case.ini = os.path.join(case.work, "Quorvex.ini")
    case.log_folder = os.path.join(case.work, "logs")
    case.env = dict(os.environ, QUORVEX_TEST_DEVICES=camera, QT_QPA_PLATFORM="offscreen",
                    QUORVEX_REGISTRY=os.path.join(case.work, "registry.reg"))
    subprocess.run([os.path.join(bin_folder, "qvregistry"), "set",
                    "HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command", "@",
                    '"%s" "%%1"' % os.path.join(bin_folder, "qvconvert")], env=case.env, check=True,
                   capture_output=True)
    return case


class WithTestCa:
    """A test CA and its certificates (test_ca.py) for every test of the class, as
    `certificates`."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ca_folder = tempfile.mkdtemp(prefix="quorvex-ca-")
        made = subprocess.run([PYTHON, os.path.join(FIXTURES, "test_ca.py"), "make", cls.ca_folder],
                              capture_output=True, text=True, timeout=60, check=True)
        cls.certificates = json.loads(made.stdout)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.ca_folder, ignore_errors=True)
        super().tearDownClass()


class ProgramFixture(unittest.TestCase):
    """The peers, a private program folder with settings, and runs of the program."""

    def make_peers(self):
        return Peers()

    def setUp(self):
        self.peers = self.make_peers()
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

    def write_settings(self, mail_timer=5, wake_up=0, extra_filter=(), rcv_delete=1, extra_mail=()):
        sections = [
            ("BasicSettings", [("PreviewRate", 6), ("WakeUpMail", wake_up), ("StartIcon", 0),
                               ("MailTimer", mail_timer), ("DeviceName", ""), ("LogOutput", 1),
                               ("LogFolder", self.log_folder)]),
            ("MailSettings", [("UserName", "カメラ係"), ("MailAddr", OWN_ADDRESS),
                              ("PopServer", "127.0.0.1"), ("SmtpServer", "127.0.0.1"),
                              ("UserID", "quorvex"),
                              ("Passwd", base64.b64encode(PASSWORD.encode()).decode().rstrip("=")),
                              ("BeforeSMTP", 0), ("ConnMode", 0), ("PopPort", self.peers.pop_port),
                              ("SmtpPort", self.peers.smtp_port), ("DialName", "")] + list(extra_mail)),
            ("SendSettings", [("Title", "Quorvex画像"), ("MailText", "こんにちは<BR>今の画像です。"),
                              ("SendName", "-- Quorvex")]),
            ("FilterSettings", [("MailFill", 1), ("FiltMode", 0), ("TitleFilt", 1), ("TextFilt", 0),
                                ("RcvDelete", rcv_delete), ("TitleFiltText", SUBJECT), ("TextFiltText", "")]
             + list(extra_filter)),
        ]
        with open(self.ini, "wb") as f:
            f.write(ini_text(sections))
        with open(os.path.join(self.work, "MailList.dat"), "wb") as f:
            f.write(b"blocked@*\n")

    def run_once(self):
        return subprocess.run([PROGRAM, "--once", "--ini", self.ini, "--timing-scale", "0"],
                              env=self.env, capture_output=True, timeout=300)

    def picture_of(self, message):
        from PIL import Image
        attachments = list(message.iter_attachments())
        self.assertEqual(len(attachments), 1)
        data = attachments[0].get_content()
        return attachments[0], Image.open(io.BytesIO(data))

    def rewrite_settings(self, replacements):
        with open(self.ini, "rb") as f:
            text = f.read()
        for old, new in replacements:
            self.assertIn(old.encode("cp932"), text)
            text = text.replace(old.encode("cp932"), new.encode("cp932"))
        with open(self.ini, "wb") as f:
            f.write(text)

    def answer_each_carrier(self):
        """The same request mails, whichever mailbox the settings name: each carrier's sender
        gets its picture, the refused ones nothing, and the log reads the same."""
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
        # A recipient with a display name gets a To line with it; one without, the bare address.
        self.assertIn("太郎", str(replies["taro@ezweb.ne.jp"]["To"]))
        self.assertEqual(str(replies["hanako@d.vodafone.ne.jp"]["To"]), "hanako@d.vodafone.ne.jp")

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

    def wait_for_text(self, path, text, count=1):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            with open(path, "rb") as f:
                if f.read().decode("utf-8", "replace").count(text) >= count:
                    return
            time.sleep(0.05)
        with open(path, "rb") as f:
            self.fail("%r never appeared %d times in %s:\n%s" % (text, count, path, f.read().decode("utf-8", "replace")))

    def wait_for_replies(self, count):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if len(glob.glob(os.path.join(self.peers.smtp_folder, "mail-*.eml"))) >= count:
                return
            time.sleep(0.05)
        self.fail("no reply number %d arrived" % count)


class EndToEnd(ProgramFixture):

    def test_once_answers_each_carrier_with_its_picture(self):
        self.write_settings()
        self.answer_each_carrier()

    def test_mail_as_real_programs_write_it(self):
        """Request mails shaped as today's webmail, phone apps, desktop mailers, Japanese
        handsets and automatic senders write them: who is answered, what the mailbox keeps,
        and that every reply reads back without a defect."""
        self.write_settings(rcv_delete=0)
        corpus = real_mail_corpus()
        self.peers.add_mails([(name, data) for name, data, _, _ in corpus])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output + result.stderr.decode("utf-8", "replace"))

        answered = {name: (address, to_name) for name, _, address, to_name in corpus if address}
        refused = sorted(name for name, _, address, _ in corpus if not address)
        replies = self.peers.received()
        self.assertEqual(sorted(replies), sorted(a for a, _ in answered.values()), output)
        # Accepted mails are deleted; refused ones stay (RcvDelete 0).
        self.assertEqual(sorted(self.peers.mailbox()), refused)
        for name, (address, to_name) in answered.items():
            message = replies[address]
            self.assertEqual(message.defects, [], name)
            for part in message.walk():
                self.assertEqual(part.defects, [], name)
            self.assertEqual(message["Auto-Submitted"], "auto-replied", name)
            self.assertEqual(utf8(message["To"].addresses[0].addr_spec), address, name)
            # The name read as RFC 2047 reads adjacent encoded words (the address parser of
            # Python's email package puts a blank between two words of one display name).
            raw_to = utf8(dict(message.raw_items())["To"])
            if to_name:
                words, _, rest = raw_to.rpartition(" <")
                shown = str(email.header.make_header(email.header.decode_header(words)))
                self.assertEqual((shown, rest), (to_name, address + ">"), name)
            else:
                self.assertEqual(raw_to, address, name)
            self.assertEqual(str(message["Subject"]), "Quorvex画像 ", name)
        for reason in ["差出人アドレスのないメールのため、返信しません。",
                       "送信者アドレスの形式が正しくないため、返信しません。(alice@example.org)<bob@example.com>)",
                       "送信者アドレスの形式が正しくないため、返信しません。(kuro@x.jp.)",
                       "自動送信されたメール(Auto-Submitted)のため、返信しません。",
                       "一括配信のメール(Precedence)のため、返信しません。",
                       "メーリングリストのメールのため、返信しません。",
                       "配信エラーなどの通知メール(Return-Path: <>)のため、返信しません。",
                       "自動応答用のアドレスからのメールのため、返信しません。"]:
            self.assertIn(reason, output)

    def test_once_fails_when_the_mailbox_refuses_the_log_in(self):
        self.write_settings()
        with open(self.ini, "rb") as f:
            text = f.read().replace(b"Passwd=c2VjcmV0", b"Passwd=d3Jvbmc")
        with open(self.ini, "wb") as f:
            f.write(text)
        result = self.run_once()
        self.assertEqual(result.returncode, 2)
        output = result.stdout.decode("utf-8", "replace")
        self.assertIn("POP3サーバーにログインできませんでした。", output)
        # The mailbox was never looked into: it is not reported empty.
        self.assertNotIn("新規メールはありませんでした。", output)
        self.assertEqual(self.peers.received(), {})

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
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 1)  # a failed step
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
        self.assertEqual(result.returncode, 1)
        self.assertEqual(output.count("メール送信に失敗しました。"), 2, output)
        self.assertIn("メール送信終了", output)
        self.assertEqual(self.peers.mailbox(), [])

        # A capture device that cannot be started: no reply, no capture, and the request waits
        # on the server. The first run stored the camera it started; the broken one is all
        # there is now.
        self.rewrite_settings([("SmtpPort=1", "SmtpPort=%d" % self.peers.smtp_port),
                               ("DeviceName=Test Camera", "DeviceName=")])
        self.env["QUORVEX_TEST_DEVICES"] = "!Broken Camera"
        self.peers.add_mails([("docomo", request_mail("jiro@docomo.ne.jp", subject))])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 1)
        self.assertIn("[受信] 画像を撮るカメラが起動していません", output)
        self.assertIn("選択したデバイスは使用できませんでした。", result.stderr.decode("utf-8", "replace"))
        self.assertNotIn("メール送信開始", output)
        self.assertEqual(self.peers.received(), {})
        self.assertEqual(self.peers.mailbox(), ["docomo"])

    def test_headless_runs_two_cycles_and_stops_on_sigterm(self):
        self.write_settings(mail_timer=0)
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("first", request_mail("taro@ezweb.ne.jp", subject))])
        program = subprocess.Popen([PROGRAM, "--headless", "--ini", self.ini,
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

    def replies_to(self, address):
        """How many mails the SMTP server stored for `address`."""
        count = 0
        for path in glob.glob(os.path.join(self.peers.smtp_folder, "mail-*.json")):
            with open(path) as f:
                count += json.load(f)["rcpt_tos"].count(address)
        return count

    def quorvex(self, *arguments):
        """Runs a command of the program (--config, --senders) on this test's settings file."""
        return subprocess.run([PROGRAM] + list(arguments) + ["--ini", self.ini], env=self.env,
                              capture_output=True, text=True, timeout=120)

    def test_a_fresh_install_answers_nobody_until_a_sender_is_listed(self):
        # Set up from a terminal as a new user would: the settings file does not exist yet.
        for assignment in ["MailSettings.MailAddr=" + OWN_ADDRESS, "MailSettings.PopServer=127.0.0.1",
                           "MailSettings.SmtpServer=127.0.0.1", "MailSettings.UserID=quorvex",
                           "MailSettings.Passwd=" + PASSWORD, "MailSettings.PopPort=%d" % self.peers.pop_port,
                           "MailSettings.SmtpPort=%d" % self.peers.smtp_port,
                           "BasicSettings.LogFolder=" + self.log_folder]:
            done = self.quorvex("--config", "set", assignment)
            self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.quorvex("--config", "get", "FilterSettings.MailFill").stdout, "1\n")
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("stranger", request_mail("stranger@example.com", subject))])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("返信するアドレスが登録されていないため、どのメールにも返信しません。"
                      "「Quorvex --senders add アドレス」", output)
        self.assertIn("画像を返信できるメールがありませんでした。", output)
        self.assertEqual(self.peers.received(), {})
        self.assertEqual(self.peers.mailbox(), [])  # refused, and deleted (RcvDelete 1)

        # A refused address leaves the list as it was; a listed sender is answered.
        refused = self.quorvex("--senders", "add", "friend @example.com")
        self.assertEqual(refused.returncode, 2, refused.stderr)
        self.assertEqual(self.quorvex("--senders", "list").stdout, "")
        added = self.quorvex("--senders", "add", "friend@example.com")
        self.assertEqual(added.returncode, 0, added.stderr)
        self.assertIn("登録された1件のアドレスにだけ画像を返信します。", added.stdout)
        self.peers.add_mails([("friend", request_mail("friend@example.com", subject)),
                              ("stranger2", request_mail("stranger@example.com", subject))])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("登録された1件のアドレスにだけ画像を返信します。", output)
        self.assertEqual(sorted(self.peers.received()), ["friend@example.com"])

    def test_a_flood_is_cut_at_the_hour_limit_and_a_restart_keeps_the_count(self):
        self.write_settings()  # no limit keys: SenderHourLimit 5, DayLimit 200
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("flood%d" % i, request_mail("flood@example.com", subject)) for i in range(7)])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertEqual(output.count("同じ差出人への1時間の返信数が上限(SenderHourLimit=5)に達したため、"
                                      "返信しません。(flood@example.com)"), 2, output)
        self.assertIn("5個に画像を返信します。", output)
        self.assertEqual(self.replies_to("flood@example.com"), 5, output)
        self.assertEqual(self.peers.mailbox(), [])  # the two over the limit were refused mails
        state = os.path.join(self.work, "Quorvex.state")
        self.assertEqual(os.stat(state).st_mode & 0o777, 0o600)

        # A restart keeps the count: the same sender waits, another is answered.
        self.peers.add_mails([("again", request_mail("flood@example.com", subject)),
                              ("other", request_mail("someone@example.com", subject))])
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("上限(SenderHourLimit=5)", output)
        self.assertIn("1個に画像を返信します。", output)
        self.assertIn("someone@example.com", self.peers.received())
        self.assertEqual(self.replies_to("flood@example.com"), 5)

    def test_without_a_camera_the_request_waits_on_the_server(self):
        self.write_settings()
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("taro", request_mail("taro@ezweb.ne.jp", subject)),
                              ("blocked", request_mail("blocked@example.org", subject))])
        self.env["QUORVEX_TEST_DEVICES"] = "!Unplugged Camera"
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 1, output)
        self.assertIn("画像を撮るカメラが起動していません", output)
        self.assertIn("返信するメールはサーバーに残し、次のチェックで返信します。", output)
        self.assertNotIn("画像キャプチャ", output)
        self.assertEqual(self.peers.mailbox(), ["taro"])  # the refused one went as usual
        self.assertEqual(self.peers.received(), {})

        # A camera is there at the next check: the request is answered and goes.
        self.env["QUORVEX_TEST_DEVICES"] = "Test Camera"
        result = self.run_once()
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertEqual(sorted(self.peers.received()), ["taro@ezweb.ne.jp"])
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
        result = subprocess.run([PROGRAM, "--once", "--ini", self.ini, "--timing-scale", "0.01"],
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
        result = subprocess.run([PROGRAM, "--once", "--ini", self.ini, "--timing-scale", "0.01"],
                                env=self.env, capture_output=True, timeout=300)
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 1, output)
        self.assertIn("[画像] Orbiskから画像が受け取れませんでした。", output)
        self.assertNotIn("jiro@docomo.ne.jp", self.peers.received())

    def test_a_late_sibling_picture_serves_the_next_pass(self):
        picture = self.sibling_settings()
        # orbisk is held stopped: the request of the first pass waits in its socket until that
        # pass has given up (361 polls of 5 ms), however slow the machine; then it answers late.
        _, orbisk = self.start_orbisk("--picture", picture)
        orbisk.send_signal(signal.SIGSTOP)
        subject = encoded_word(SUBJECT)
        self.peers.add_mails([("first", request_mail("taro@ezweb.ne.jp", subject))])
        log = os.path.join(self.work, "headless.out")
        with open(log, "wb") as out:
            program = subprocess.Popen([PROGRAM, "--headless", "--ini", self.ini,
                                        "--timing-scale", "0.01"], env=self.env, stdout=out, stderr=subprocess.STDOUT)
        try:
            self.wait_for_text(log, "受け取れませんでした")
            orbisk.send_signal(signal.SIGCONT)
            self.peers.add_mails([("second", request_mail("hanako@d.vodafone.ne.jp", subject))])
            self.wait_for_replies(1)
        finally:
            orbisk.send_signal(signal.SIGCONT)
            program.send_signal(signal.SIGTERM)
            program.wait(timeout=60)
        self.assertEqual(sorted(self.peers.received()), ["hanako@d.vodafone.ne.jp"])
        self.assert_red_reply("hanako@d.vodafone.ne.jp")


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    PROGRAM = os.environ.get("QUORVEX_PROGRAM") or os.path.join(BIN, "Quorvex")
    reason = missing_peer()
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
