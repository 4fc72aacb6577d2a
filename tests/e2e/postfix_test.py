#!/usr/bin/env python3
"""Delivery through a real mail server: Debian's Postfix on 127.0.0.1 with
local mailbox delivery. The program sends a text body and two binary
attachments; the delivered message is parsed with Python's email package and
its headers, body text and attachments are checked byte for byte.

Installs Postfix when it is missing (as root, non-interactively), starts it
when it is not running and stops it again at the end in that case.

  postfix_test.py --program build/mailshot
  postfix_test.py --wine /usr/lib/wine/wine64 --program mailshot.exe
"""

import argparse
import email
import email.policy
import fcntl
import mailbox
import os
import pwd
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
RECIPIENT_USER = "mailshotrcpt"
MAILBOX = "/var/mail/" + RECIPIENT_USER
SENDER = "sender@mailshot.test"
SKIPPED = 77  # what CTest is told to take as a skipped test
LOCK = "/tmp/mailshot-postfix-test.lock"


def run(*command, **kwargs):
    return subprocess.run(command, check=True, stdin=subprocess.DEVNULL, **kwargs)


def smtp_port_open():
    try:
        with socket.create_connection(("127.0.0.1", 25), timeout=1):
            return True
    except OSError:
        return False


def install_postfix():
    if shutil.which("postfix") or os.path.exists("/usr/sbin/postfix"):
        return
    selections = ("postfix postfix/main_mailer_type select Local only\n"
                  "postfix postfix/mailname string mailshot.test\n")
    subprocess.run(["debconf-set-selections"], input=selections.encode(), check=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if subprocess.run(["apt-get", "install", "-y", "-q", "postfix"], env=env, stdin=subprocess.DEVNULL).returncode:
        run("apt-get", "update", "-q", env=env)
        run("apt-get", "install", "-y", "-q", "postfix", env=env)


def configure_postfix():
    """Loopback only, local delivery for localhost, a log file (no syslog here)."""
    run("/usr/sbin/postconf", "-e", "inet_interfaces = loopback-only", "inet_protocols = ipv4",
        "myhostname = mailshot.test", "mydestination = mailshot.test, localhost",
        "maillog_file = /var/log/postfix.log", "message_size_limit = 52428800")
    if not os.path.exists("/etc/aliases.db"):
        run("/usr/bin/newaliases")


class PostfixServer:
    """Postfix, running for the test's length; stopped afterwards when the test started it."""

    def __enter__(self):
        self.lock = open(LOCK, "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        install_postfix()
        configure_postfix()
        self.started = False
        if subprocess.run(["/usr/sbin/postfix", "status"], capture_output=True).returncode != 0:
            run("/usr/sbin/postfix", "start", capture_output=True)
            self.started = True
        else:
            run("/usr/sbin/postfix", "reload", capture_output=True)
        deadline = time.time() + 30
        while not smtp_port_open():
            if time.time() > deadline:
                raise RuntimeError("Postfix does not listen on 127.0.0.1:25")
            time.sleep(0.2)
        return self

    def __exit__(self, *exc):
        if self.started:
            subprocess.run(["/usr/sbin/postfix", "stop"], capture_output=True)
        fcntl.flock(self.lock, fcntl.LOCK_UN)
        self.lock.close()


def ensure_recipient():
    try:
        pwd.getpwnam(RECIPIENT_USER)
    except KeyError:
        run("useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", RECIPIENT_USER)
    if os.path.exists(MAILBOX):
        os.remove(MAILBOX)


def delivered_messages(count, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(MAILBOX):
            box = mailbox.mbox(MAILBOX, create=False)
            try:
                messages = [bytes(m) for m in box]
            finally:
                box.close()
            if len(messages) >= count:
                return messages
        time.sleep(0.2)
    log = ""
    if os.path.exists("/var/log/postfix.log"):
        with open("/var/log/postfix.log", errors="replace") as f:
            log = "".join(f.readlines()[-30:])
    raise AssertionError("no delivery to %s within %d s; Postfix log:\n%s" % (MAILBOX, timeout, log))


class Delivery(unittest.TestCase):
    maxDiff = None

    def test_text_body_and_two_binary_attachments_arrive_intact(self):
        rng = random.Random(20240501)
        photo = bytes(rng.getrandbits(8) for _ in range(150_000))
        table = bytes(range(256)) * 12 + b"\r\n.\r\n\x00"
        body_lines = ["Quarterly figures attached.", ".A line that starts with a dot", "", "Regards"]
        workdir = tempfile.mkdtemp(prefix="mailshot-postfix-")
        try:
            files = {
                "body.txt": ("\r\n".join(body_lines) + "\r\n").encode(),
                "rcpt.txt": ("%s@localhost\r\n" % RECIPIENT_USER).encode(),
                "photo.jpg": photo,
                "table.bin": table,
                "list.txt": b"photo.jpg\r\ntable.bin\r\n",
            }
            for name, content in files.items():
                with open(os.path.join(workdir, name), "wb") as f:
                    f.write(content)
            with PostfixServer():
                ensure_recipient()
                args = ["/B:body.txt", "/T:rcpt.txt", "/F:" + SENDER, "/S:Delivery check", "/U:localhost",
                        "/SMTP:127.0.0.1", "/A:list.txt", "/NM", "/NE"]
                command = ([ARGS.wine] if ARGS.wine else []) + [ARGS.program] + args
                env = dict(os.environ, WINEDEBUG="-all") if ARGS.wine else None
                result = subprocess.run(command, cwd=workdir, capture_output=True, timeout=120, env=env)
                self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace")[-2000:])
                raw = delivered_messages(1)[-1]
        finally:
            shutil.rmtree(workdir, ignore_errors=True)

        # The header values as they stand in the message; the default policy would rewrite them.
        headers = email.message_from_bytes(raw)
        self.assertEqual(headers["From"], "<%s>" % SENDER)
        self.assertEqual(headers["To"], "%s@localhost" % RECIPIENT_USER)
        self.assertEqual(headers["Subject"], "Delivery check")
        self.assertEqual(headers["Mime-Version"], "1.0")

        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(message.get_content_type(), "multipart/mixed")
        self.assertEqual(message.get_param("boundary"), "=" * 20 + "54535aavfgq====")

        parts = list(message.iter_parts())
        self.assertEqual(len(parts), 3)
        text = parts[0]
        self.assertEqual(text.get_content_type(), "text/plain")
        self.assertEqual(text.get_content_charset(), "windows-1251")
        # The line end before a boundary line belongs to the boundary; the mailbox stores LF line ends.
        self.assertEqual(text.get_content(), "\n".join(body_lines))
        for part, (name, content) in zip(parts[1:], [("photo.jpg", photo), ("table.bin", table)]):
            self.assertEqual(part.get_content_type(), "application/octet-stream")
            self.assertEqual(part.get_content_disposition(), "attachment")
            self.assertEqual(part.get_filename(), name)
            self.assertEqual(part["Content-Transfer-Encoding"], "base64")
            self.assertEqual(part.get_payload(decode=True), content, name)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine", help="Wine loader: run the Windows program under it")
    ARGS, rest = parser.parse_known_args()
    ARGS.program = os.path.abspath(ARGS.program)
    if os.geteuid() != 0:
        print("postfix_test: skipped: needs root to install, configure and start Postfix")
        sys.exit(SKIPPED)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    print("%d passed, %d failed" % (result.testsRun - len(result.failures) - len(result.errors),
                                    len(result.failures) + len(result.errors)))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
