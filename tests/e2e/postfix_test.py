#!/usr/bin/env python3
"""Delivery through a real mail server: Debian's Postfix on 127.0.0.1 with
local mailbox delivery. The program sends a text body and two binary
attachments; the delivered message is parsed with Python's email package and
its headers, body text and attachments are checked byte for byte.

Installs Postfix when it is missing (as root, non-interactively), starts it
when it is not running and stops it again at the end in that case.

Encrypted delivery goes to a Postfix instance of its own (its configuration
and state in TLS_STATE, so the system's instance on port 25 is left alone):
TLS from the first byte on 127.0.0.1:465, STARTTLS required on 127.0.0.1:587,
a certificate of a test CA that the system's trust store holds while the
tests run (the native scripted_server makes them), every message to one
Maildir. Both ports offer AUTH, inside TLS only, checked by a Dovecot
instance of its own (authentication only, one user in a password file). The
delivered message must be the one sent, byte for byte, and Postfix's Received
line must record the TLS session, and the login where there was one; a wrong
password must deliver nothing.

  postfix_test.py --program build/mailshot --native-server build/tests/support/scripted_server
  postfix_test.py --wine /usr/lib/wine/wine64 --program mailshot.exe
      (the native scripted_server from MAILSHOT_NATIVE_SCRIPTED_SERVER)
"""

import argparse
import base64
import email
import email.policy
import fcntl
import mailbox
import os
import pwd
import random
import re
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
TLS_STATE = "/var/lib/mailshot-e2e-tls"
TLS_CONFIG = TLS_STATE + "/postfix"
TLS_MAILDIR = TLS_STATE + "/mail/inbox/new"
IMPLICIT_TLS_PORT, STARTTLS_PORT = 465, 587
DOVECOT_CONFIG = TLS_STATE + "/dovecot/dovecot.conf"
AUTH_SOCKET = TLS_STATE + "/queue/private/auth"
# The password holds "-" and "/", which the switch syntax cuts: it goes in a file.
SASL_USER, SASL_PASSWORD = "tester@mailshot.test", "tester-s3cret/pw"
CA_TRUST = "/usr/local/share/ca-certificates/mailshot-e2e-test-ca.crt"
# The boundaries are random: the expected message has the first one's place.
BOUNDARY = "<boundary 1>"
# The values of the two lines every message carries, in their form.
STAMPS = re.compile(rb"\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                    rb"20\d\d [0-2]\d:[0-5]\d:[0-6]\d [+-]\d{4}\nMessage-ID: <[0-9a-f]{32}@mailshot\.test>\n")


def masked_stamps(raw):
    """raw with the values of Date and Message-ID, where they have their form, replaced by "*", and its
    boundaries written as "<boundary 1>", "<boundary 2>", ... in the order they first stand."""
    raw = STAMPS.sub(b"\nDate: *\nMessage-ID: *\n", raw, count=1)
    for number, boundary in enumerate(dict.fromkeys(re.findall(rb'boundary="([^"]*)"', raw)), 1):
        raw = raw.replace(boundary, b"<boundary %d>" % number)
    return raw


def run(*command, **kwargs):
    return subprocess.run(command, check=True, stdin=subprocess.DEVNULL, **kwargs)


def smtp_port_open(port=25):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def install_packages(*wanted):
    """Installs the Debian packages of wanted that are missing (bounded: 10 minutes a step)."""
    missing = [name for name in wanted if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True).stdout != "install ok installed"]
    if not missing:
        return
    selections = ("postfix postfix/main_mailer_type select Local only\n"
                  "postfix postfix/mailname string mailshot.test\n")
    subprocess.run(["debconf-set-selections"], input=selections.encode(), check=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    apt = ["apt-get", "install", "-y", "-q"] + missing
    if subprocess.run(apt, env=env, stdin=subprocess.DEVNULL, timeout=600).returncode:
        run("apt-get", "update", "-q", env=env, timeout=600)
        run(*apt, env=env, timeout=600)


def install_postfix():
    install_packages("postfix")


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


TLS_MAIN_CF = """\
# mailshot's TLS test instance (postfix -c {config}); the system's instance is left alone.
compatibility_level = 3.6
queue_directory = {state}/queue
data_directory = {state}/data
maillog_file = {state}/log/postfix.log
maillog_file_prefixes = {state}
myhostname = mail.mailshot.test
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.1/32
mydestination =
alias_maps =
alias_database =
# The message stays as sent: no header added or rewritten for these clients.
local_header_rewrite_clients =
# Every address of every domain goes to one Maildir; nothing leaves.
virtual_mailbox_domains = static:all
virtual_mailbox_base = {state}/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
virtual_mailbox_limit = 0
default_transport = error:this test server sends nothing out
relay_transport = error:this test server sends nothing out
smtpd_tls_chain_files = {pki}/key.pem, {pki}/trusted.pem
smtpd_tls_security_level = may
smtpd_tls_protocols = >=TLSv1.2
smtpd_tls_mandatory_protocols = >=TLSv1.2
smtpd_tls_received_header = yes
# AUTH through the Dovecot instance, offered inside TLS only; the Received
# line names the user who logged in.
smtpd_sasl_type = dovecot
smtpd_sasl_path = private/auth
smtpd_sasl_auth_enable = yes
smtpd_tls_auth_only = yes
smtpd_sasl_security_options = noanonymous
smtpd_sasl_authenticated_header = yes
# One mailbox that does not exist, for the cases of a refused recipient.
smtpd_recipient_restrictions = check_recipient_access inline:{{ {{ refused@mailshot.test = REJECT no such user }} }}
"""

DOVECOT_CONF = """\
# Authentication only (no IMAP or POP3), for the TLS instance's SASL.
protocols =
instance_name = mailshot-e2e-tls
base_dir = {state}/dovecot/run
state_dir = {state}/dovecot/state
log_path = {state}/log/dovecot.log
ssl = no
auth_mechanisms = plain login
passdb {{
  driver = passwd-file
  args = username_format=%u {state}/dovecot/users
}}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={state}/mail
}}
service auth {{
  unix_listener {socket} {{
    mode = 0660
    user = postfix
    group = postfix
  }}
}}
"""

TLS_MASTER_CF = """\
127.0.0.1:{implicit} inet n - n - - smtpd -o syslog_name=mailshot-tls/smtps -o smtpd_tls_wrappermode=yes
127.0.0.1:{starttls} inet n - n - - smtpd -o syslog_name=mailshot-tls/submission -o smtpd_tls_security_level=encrypt -o smtpd_recipient_limit=10
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
"""


def tls_instance_running():
    return subprocess.run(["/usr/sbin/postfix", "-c", TLS_CONFIG, "status"], capture_output=True).returncode == 0


def dovecot_running():
    try:
        with open(TLS_STATE + "/dovecot/run/master.pid") as f:
            os.kill(int(f.read().strip()), 0)
        return True
    except (OSError, ValueError):
        return False


def stop_dovecot():
    if dovecot_running():
        subprocess.run(["doveadm", "-c", DOVECOT_CONFIG, "stop"], capture_output=True, timeout=60)


class TlsPostfixServer:
    """The TLS instance, with the test CA trusted by the system's store, for the test's length.

    Idempotent: configuration, certificates and the trusted CA are written anew on every
    start; leftover instances (Postfix, Dovecot) are stopped first. Bounded: readiness 10 s,
    each command 60 s.
    """

    pki_made = False

    def __enter__(self):
        self.lock = open(LOCK, "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        try:
            self.start()
        except BaseException:
            self.__exit__()
            raise
        return self

    def start(self):
        install_packages("postfix", "dovecot-core")
        ensure_recipient()
        if tls_instance_running():
            run("/usr/sbin/postfix", "-c", TLS_CONFIG, "stop", capture_output=True, timeout=60)
        if os.path.exists(TLS_CONFIG + "/main.cf"):
            # Deliveries an earlier case left in the queue (one per recipient) must not reach this case's Maildir.
            subprocess.run(["/usr/sbin/postsuper", "-c", TLS_CONFIG, "-d", "ALL"], capture_output=True, timeout=60)
        stop_dovecot()
        for port in (IMPLICIT_TLS_PORT, STARTTLS_PORT):
            if smtp_port_open(port):
                raise RuntimeError("port %d is taken by another program" % port)
        pki = TLS_STATE + "/pki"
        # One test CA for the whole run. Wine keeps the roots it took from the
        # system's store while its server runs; with a new CA of the same name
        # for every send, the fifth send under Wine once found no issuer.
        if not TlsPostfixServer.pki_made:
            shutil.rmtree(pki, ignore_errors=True)
            os.makedirs(pki, mode=0o700)
            run(ARGS.native_server, "--make-certs", pki, timeout=60)
            TlsPostfixServer.pki_made = True
        shutil.copyfile(os.path.join(pki, "ca.pem"), CA_TRUST)
        run("update-ca-certificates", capture_output=True, timeout=60)
        recipient, postfix = pwd.getpwnam(RECIPIENT_USER), pwd.getpwnam("postfix")
        for folder, mode, owner in [(TLS_CONFIG, 0o755, None), (TLS_STATE + "/queue", 0o755, None),
                                    (TLS_STATE + "/queue/private", 0o700, postfix),
                                    (TLS_STATE + "/log", 0o755, None), (TLS_STATE + "/data", 0o700, postfix),
                                    (TLS_STATE + "/mail", 0o750, recipient),
                                    (TLS_STATE + "/dovecot/run", 0o755, None),
                                    (TLS_STATE + "/dovecot/state", 0o755, None)]:
            os.makedirs(folder, mode=mode, exist_ok=True)
            if owner:
                os.chown(folder, owner.pw_uid, owner.pw_gid)
        shutil.rmtree(TLS_MAILDIR, ignore_errors=True)
        with open(TLS_CONFIG + "/main.cf", "w") as f:
            f.write(TLS_MAIN_CF.format(config=TLS_CONFIG, state=TLS_STATE, pki=pki, uid=recipient.pw_uid,
                                       gid=recipient.pw_gid))
        with open(TLS_CONFIG + "/master.cf", "w") as f:
            f.write(TLS_MASTER_CF.format(implicit=IMPLICIT_TLS_PORT, starttls=STARTTLS_PORT))
        with open(DOVECOT_CONFIG, "w") as f:
            f.write(DOVECOT_CONF.format(state=TLS_STATE, uid=recipient.pw_uid, gid=recipient.pw_gid,
                                        socket=AUTH_SOCKET))
        users = TLS_STATE + "/dovecot/users"
        with open(users, "w") as f:
            f.write("%s:{PLAIN}%s\n" % (SASL_USER, SASL_PASSWORD))
        dovecot_group = pwd.getpwnam("dovecot").pw_gid
        os.chown(users, 0, dovecot_group)
        os.chmod(users, 0o640)
        run("/usr/sbin/postfix", "-c", TLS_CONFIG, "check", capture_output=True, timeout=60)
        run("/usr/sbin/postfix", "-c", TLS_CONFIG, "start", capture_output=True, timeout=60)
        # Its daemon keeps the standard streams it was given: a pipe would never end.
        with open(TLS_STATE + "/log/dovecot-start.log", "w") as output:
            run("dovecot", "-c", DOVECOT_CONFIG, stdout=output, stderr=output, timeout=60)
        deadline = time.time() + 10
        while not (smtp_port_open(IMPLICIT_TLS_PORT) and smtp_port_open(STARTTLS_PORT)
                   and os.path.exists(AUTH_SOCKET)):
            if time.time() > deadline:
                raise RuntimeError("the TLS instance does not listen after 10 s; see %s/log" % TLS_STATE)
            time.sleep(0.1)

    def __exit__(self, *exc):
        if tls_instance_running():
            subprocess.run(["/usr/sbin/postfix", "-c", TLS_CONFIG, "stop"], capture_output=True, timeout=60)
        stop_dovecot()
        if os.path.exists(CA_TRUST):
            os.remove(CA_TRUST)
            subprocess.run(["update-ca-certificates"], capture_output=True, timeout=60)
        fcntl.flock(self.lock, fcntl.LOCK_UN)
        self.lock.close()


def ensure_recipient():
    try:
        pwd.getpwnam(RECIPIENT_USER)
    except KeyError:
        run("useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", RECIPIENT_USER)
    if os.path.exists(MAILBOX):
        os.remove(MAILBOX)


def delivered_files(count, timeout=60):
    """The messages in the TLS instance's Maildir once it holds count of them; fewer when time ran out."""
    deadline = time.time() + timeout
    while True:
        names = os.listdir(TLS_MAILDIR) if os.path.isdir(TLS_MAILDIR) else []
        if len(names) >= count or time.time() >= deadline:
            break
        time.sleep(0.2)
    contents = []
    for name in sorted(names):
        with open(os.path.join(TLS_MAILDIR, name), "rb") as f:
            contents.append(f.read())
    return contents


def delivered_file(timeout=60, required=True):
    """The one message in the TLS instance's Maildir; None when none came in time and none was required."""
    contents = delivered_files(1, timeout)
    if contents:
        return contents[0]
    if not required:
        return None
    raise AssertionError("no delivery to %s within %d s; see %s/log/postfix.log" % (TLS_MAILDIR, timeout, TLS_STATE))


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
        self.assertEqual(headers["MIME-Version"], "1.0")

        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(message.get_content_type(), "multipart/mixed")
        self.assertRegex(message.get_param("boundary"), r"^==[a-z]{27}$")

        parts = list(message.iter_parts())
        self.assertEqual(len(parts), 3)
        text = parts[0]
        self.assertEqual(text.get_content_type(), "text/plain")
        self.assertEqual(text.get_content_charset(), "windows-1251")
        # The line end before a boundary line belongs to the boundary; the mailbox stores LF line ends.
        self.assertEqual(text.get_content(), "\n".join(body_lines))
        for part, (name, content), media_type in zip(parts[1:], [("photo.jpg", photo), ("table.bin", table)],
                                                      ["image/jpeg", "application/octet-stream"]):
            self.assertEqual(part.get_content_type(), media_type)
            self.assertEqual(part.get_content_disposition(), "attachment")
            self.assertEqual(part.get_filename(), name)
            self.assertEqual(part["Content-Transfer-Encoding"], "base64")
            self.assertEqual(part.get_payload(decode=True), content, name)


class TlsDelivery(unittest.TestCase):
    """The program's encrypted submission to Postfix, trusting the test CA through the system's store."""
    maxDiff = None

    BODY_LINES = ["Figures attached, sent encrypted.", ".A line that starts with a dot", "", "Regards"]
    ATTACHMENTS = [("photo.jpg", bytes(random.Random(465).getrandbits(8) for _ in range(100_000))),
                   ("table.bin", bytes(range(256)) * 4 + b"\r\n.\r\n\x00")]

    def expected_message(self, subject):
        """The message as sent, with the Maildir's LF line ends."""
        text = ("From: <%s>\r\nTo: %s@localhost\r\nSubject: %s\r\nDate: *\r\nMessage-ID: *\r\nMIME-Version: 1.0\r\n"
                'Content-Type: multipart/mixed; boundary="%s"\r\n\r\n\r\n' % (SENDER, RECIPIENT_USER, subject, BOUNDARY))
        text += "--%s\r\nContent-Type: text/plain; charset=Windows-1251\r\n\r\n" % BOUNDARY
        text += "".join(line + "\r\n" for line in self.BODY_LINES)
        for (name, content), media_type in zip(self.ATTACHMENTS, ["image/jpeg", "application/octet-stream"]):
            encoded = base64.b64encode(content).decode()
            text += ('--%s\r\nContent-Type: %s; name="%s"\r\n'
                     'Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename="%s"\r\n\r\n'
                     % (BOUNDARY, media_type, name, name))
            text += "".join(encoded[i:i + 60] + "\r\n" for i in range(0, len(encoded), 60))
        text += "--%s--\r\n" % BOUNDARY
        return text.replace("\r\n", "\n").encode()

    def send(self, subject, switches, password=SASL_PASSWORD, body_lines=None, recipients=None, deliveries=1,
             more_files=None):
        """Runs the program against the TLS instance; its exit code, the run log's lines and the delivered
        message (None when nothing arrived), or with several deliveries the list of those that arrived.
        more_files: further files of the work folder, by name."""
        workdir = tempfile.mkdtemp(prefix="mailshot-postfix-tls-")
        body_lines = body_lines or self.BODY_LINES
        recipients = recipients or ["%s@localhost" % RECIPIENT_USER]
        try:
            files = {"body.txt": ("\r\n".join(body_lines) + "\r\n").encode(),
                     "rcpt.txt": "".join(address + "\r\n" for address in recipients).encode(),
                     "list.txt": "".join(name + "\r\n" for name, _ in self.ATTACHMENTS).encode(),
                     "pw.txt": (password + "\r\n").encode()}
            files.update(self.ATTACHMENTS)
            files.update(more_files or {})
            for name, content in files.items():
                with open(os.path.join(workdir, name), "wb") as f:
                    f.write(content)
            with TlsPostfixServer():
                args = ["/B:body.txt", "/T:rcpt.txt", "/F:" + SENDER, "/S:" + subject, "/A:list.txt", "/NM",
                        "/NE", "/LOG:run.log"] + switches
                command = ([ARGS.wine] if ARGS.wine else []) + [ARGS.program] + args
                env = dict(os.environ, WINEDEBUG="-all") if ARGS.wine else None
                result = subprocess.run(command, cwd=workdir, capture_output=True, timeout=120, env=env)
                with open(os.path.join(workdir, "run.log"), "rb") as f:
                    log = f.read().decode("latin-1")
                # A message refused in the dialogue never reaches the queue; one accepted arrives within seconds.
                if deliveries > 1:
                    delivered_files(deliveries)
                    time.sleep(1)  # one too many would be there by now
                    raw = delivered_files(deliveries, timeout=0)
                else:
                    raw = delivered_file(timeout=60 if result.returncode == 0 else 3,
                                         required=result.returncode == 0)
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        return result.returncode, log, raw

    def deliver(self, subject, switches, login=None):
        rc, log, raw = self.send(subject, switches)
        self.assertEqual(rc, 0, log[-2000:])
        # Postfix puts its trace lines before the message: everything from the first From: line is ours.
        start = raw.index(b"\nFrom: <") + 1
        trace = raw[:start].decode()
        self.assertRegex(trace, r"^Return-Path: <%s>\n" % re.escape(SENDER))
        self.assertRegex(trace, r"\(using %s with cipher [^ ]+ " % ("TLSv1\\.2" if ARGS.wine else "TLSv1\\.3"))
        if login:
            self.assertIn("(Authenticated sender: %s)" % login, trace)
            self.assertRegex(trace, r"by mail\.mailshot\.test \(Postfix\) with ESMTPSA id ")
        else:
            self.assertRegex(trace, r"by mail\.mailshot\.test \(Postfix\) with ESMTPS id ")
        self.assertEqual(masked_stamps(raw[start:]), self.expected_message(subject))
        for secret in (SASL_PASSWORD, base64.b64encode(SASL_PASSWORD.encode()).decode()):
            self.assertNotIn(secret, log)

    def test_tls_from_the_first_byte_on_the_default_port(self):
        self.deliver("Implicit TLS", ["/SMTP:localhost", "/ENCRYPT:TLS"])

    def test_starttls(self):
        self.deliver("STARTTLS", ["/SMTP:localhost:%d" % STARTTLS_PORT, "/ENCRYPT:STARTTLS"])

    def test_login_plain_after_starttls(self):
        self.deliver("AUTH PLAIN", ["/SMTP:localhost:%d" % STARTTLS_PORT, "/ENCRYPT:STARTTLS", "/LOGIN:" + SASL_USER,
                                    "/PWF:pw.txt"], login=SASL_USER)

    def test_login_login_with_tls_from_the_first_byte(self):
        self.deliver("AUTH LOGIN", ["/SMTP:localhost", "/ENCRYPT:TLS", "/LOGIN:" + SASL_USER, "/PWF:pw.txt",
                                    "/MECH:LOGIN"], login=SASL_USER)

    def test_cyrillic_subject_long_line_and_300_recipients(self):
        """Every server takes it: the subject as encoded-words, the 5,000-character line as quoted-printable,
        the 300 recipients on folded lines; the message read back is the one written."""
        subject = "Ежемесячный отчёт о продажах по регионам: итоги марта"
        body_lines = ["Отчёт во вложении.", ";".join("%05d" % i for i in range(834))[:5000], ".", "С уважением"]
        recipients = ["reader%03d@mailshot.test" % i for i in range(300)]
        rc, log, raw = self.send(subject, ["/SMTP:localhost:%d" % STARTTLS_PORT, "/ENCRYPT:STARTTLS", "/ES", "/CS:UTF-8"],
                                 body_lines=body_lines, recipients=recipients)
        self.assertEqual(rc, 0, log[-2000:])
        # Quoted-printable text is 7-bit: no BODY=8BITMIME, though Postfix announces it.
        self.assertRegex(log, r"(?m)> MAIL FROM:<%s> SIZE=\d+\s*$" % re.escape(SENDER))
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(message["Subject"], subject)
        self.assertEqual([a.addr_spec for a in message["To"].addresses], recipients)
        self.assertRegex(message["Message-ID"], r"^<[0-9a-f]{32}@mailshot\.test>$")
        self.assertIsNotNone(message["Date"].datetime.utcoffset())
        text = next(message.iter_parts())
        self.assertEqual(text["Content-Transfer-Encoding"], "quoted-printable")
        # The line end before a boundary line belongs to the boundary.
        self.assertEqual(text.get_content(), "\n".join(body_lines))
        ours = raw[raw.index(b"\nFrom: <") + 1:raw.index(b"\n\n")]  # Postfix's trace lines come first
        self.assertLessEqual(max(len(line) for line in ours.split(b"\n")), 78)
        for part, (name, content) in zip(list(message.iter_parts())[1:], self.ATTACHMENTS):
            self.assertEqual(part.get_filename(), name)
            self.assertEqual(part.get_content(), content)

    def test_recipients_beyond_the_servers_limit_get_one_copy_each(self):
        """The submission port takes 10 recipients per transaction: 25 go in three transactions on one
        connection, the commands of each pipelined, and each recipient gets the message once."""
        recipients = ["limit%02d@mailshot.test" % i for i in range(25)]
        rc, log, raws = self.send("Recipient limit", ["/SMTP:localhost:%d" % STARTTLS_PORT, "/ENCRYPT:STARTTLS"],
                                  recipients=recipients, deliveries=len(recipients))
        self.assertEqual(rc, 0, log[-2000:])
        self.assertEqual(log.count("connecting to "), 1)
        self.assertIn("transaction 1: the SMTP server takes no more recipients: 452 4.5.3 Error: too many recipients",
                      log)
        self.assertIn("transaction 3: delivered to 5 recipients", log)
        delivered_to = sorted(email.message_from_bytes(raw)["Delivered-To"] for raw in raws)
        self.assertEqual(delivered_to, recipients)
        for raw in raws:
            self.assertEqual(email.message_from_bytes(raw)["Subject"], "Recipient limit")

    def test_one_copy_per_mailbox_and_a_refusal_in_between_splits_cleanly(self):
        """One transaction per recipient: a mailbox named in all three lists (once in another case)
        gets one copy, the refused one stops nothing after it (each transaction opens with RSET, so
        no "nested MAIL command"), and each copy is read back."""
        files = {"cc.txt": b"A <twice@MAILSHOT.test>\r\nlast@mailshot.test\r\n", "bcc.txt": b"twice@mailshot.test\r\n"}
        rc, log, raws = self.send("One copy each", ["/SMTP:localhost:%d" % STARTTLS_PORT, "/ENCRYPT:STARTTLS",
                                                    "/MAXRCPT:1", "/CC:cc.txt", "/RCPT:bcc.txt"],
                                  recipients=["twice@mailshot.test", "refused@mailshot.test"], deliveries=2,
                                  more_files=files)
        self.assertEqual(rc, 0, log[-2000:])
        self.assertIn("not accepted: refused@mailshot.test: 554 5.7.1 <refused@mailshot.test>: Recipient address "
                      "rejected: no such user", log)
        self.assertNotIn("nested MAIL", log)
        self.assertEqual(log.count("> RCPT TO:<"), 3)
        messages = [email.message_from_bytes(raw, policy=email.policy.default) for raw in raws]
        self.assertEqual(sorted(m["Delivered-To"] for m in messages), ["last@mailshot.test", "twice@mailshot.test"])
        for message in messages:
            self.assertEqual(message["Subject"], "One copy each")
            self.assertEqual([a.addr_spec for a in message["CC"].addresses], ["twice@MAILSHOT.test", "last@mailshot.test"])

    def test_wrong_password_delivers_nothing(self):
        rc, log, raw = self.send("Wrong password", ["/SMTP:localhost:%d" % STARTTLS_PORT, "/ENCRYPT:STARTTLS",
                                                    "/LOGIN:" + SASL_USER, "/PWF:pw.txt"], password="wrong-pass/word")
        self.assertEqual(rc, 4, log[-2000:])
        self.assertIn("error: 535 5.7.8 Error: authentication failed", log)
        self.assertIsNone(raw)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine", help="Wine loader: run the Windows program under it")
    parser.add_argument("--native-server", default=os.environ.get("MAILSHOT_NATIVE_SCRIPTED_SERVER"),
                        help="the native scripted_server, which makes the test certificates")
    parser.add_argument("--hold", nargs=argparse.REMAINDER,
                        help="run this command (with POSTFIX_TLS_PORT and POSTFIX_CA set) while the TLS instance "
                             "runs, instead of the tests: for benchmarks against a real server")
    ARGS, rest = parser.parse_known_args()
    ARGS.program = os.path.abspath(ARGS.program)
    if os.geteuid() != 0:
        print("postfix_test: skipped: needs root to install, configure and start Postfix")
        sys.exit(SKIPPED)
    if not ARGS.native_server or not os.path.exists(ARGS.native_server):
        sys.exit("postfix_test: the native scripted_server (--native-server, MAILSHOT_NATIVE_SCRIPTED_SERVER) is missing")
    if ARGS.hold:
        with TlsPostfixServer():
            env = dict(os.environ, POSTFIX_TLS_PORT=str(STARTTLS_PORT), POSTFIX_CA=TLS_STATE + "/pki/ca.pem")
            sys.exit(subprocess.run(ARGS.hold, env=env).returncode)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    print("%d passed, %d failed" % (result.testsRun - len(result.failures) - len(result.errors),
                                    len(result.failures) + len(result.errors)))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
