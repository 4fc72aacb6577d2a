#!/usr/bin/env python3
"""End-to-end tests: the built mailshot program as a process, against the
standalone scripted server on a loopback port.

Natively the boxes are read from standard output (information) and standard
error (errors). Under Wine each box is found on the X display by its caption,
photographed and dismissed with the Return key; its text is read from Wine's
message-box trace.

  e2e_test.py --program build/mailshot --server build/tests/support/scripted_server
  e2e_test.py --wine /usr/lib/wine/wine64 --program mailshot.exe --server scripted_server.exe \
              --screens build/e2e-screens --launcher station_launcher.exe
"""

import argparse
import base64
import email
import email.header
import email.policy
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None  # set by main()
NATIVE_SERVER = None  # the scripted server with TLS: the native build's
CERTIFICATES = None  # the test CA and certificates it made for this run

INFO, ERROR = "Information", "Error"
ANY_TEXT = None  # a box whose text differs between platforms (socket error texts)

HELP_LINES = [
    "Command line switches:",
    "=" * 41,
    "/B:FileName.ext - file name,what contain message body",
    "/T:FileName.ext - file name,what contain recipients address list",
    "/F:MailAddr - sender (your) address",
    "/S:Subject  - message subject (optional)",
    "/SMTP:Server - mail SMTP server",
    "/U:User ID - SMTP server user name if need",
    "/H,/? - this short help",
    '/NM - don`t show "Sended success" message',
    "/NE - don`t show error messages",
    "/RR - send answer reply to recipient",
    '/ES - extended command line switches processing. All switches should be started at "/"!',
    "/A:FileName.ext - file name, what contain attachment file names (one file - one file)",
    "",
    "Message charsets:",
    "=" * 41,
    "/CS:CharSet - charset for message. Windows-1251 as default",
    "/SD - Subject in OEM (DOS) charset",
    "/SK - Subject in KOI-8 charset",
    "As default subject sended in ANSI charset",
    "",
    "Message format:",
    "=" * 41,
    "/FP - simple text (as default)",
    "/FE - Enriched text",
    "/FS - SGML",
    "/FTS - Tab separated text",
    "/FH - HTML",
]


class Beginning(str):
    """A box text of which only the beginning is pinned."""


class OneOf(str):
    """A box text that is one of several; the text itself is the first of them."""

    def __new__(cls, texts):
        text = super().__new__(cls, texts[0])
        text.texts = list(texts)
        return text

    def matches(self, text):
        return text in self.texts




def switch_help():
    """The help of /H: the original list first, byte for byte; the later switches follow it under a
    heading that names where they are told of: the README beside the Windows program, else the
    README and the manual page."""
    further = "README.txt tells more" if ARGS.wine else "README.md and man mailshot tell more"
    return Beginning("\r".join(HELP_LINES) + "\r\rFurther switches (%s):\r" % further)


LONG_HELP = Beginning("Usage: mailshot --from ADDRESS --to FILE --server HOST[:PORT] [OPTION]...\n")
# Every box must fit the smallest screen still in use.
SCREEN = (1024, 768)
SUCCESS = "Message sended success."
REFUSED = "Connection Failed: connection refused by 127.0.0.1 port {port} (nothing listens there)"
# What /V:1 shows of the standard dialogue up to DATA: each line sent, then the reply.
SENT_AND_ACCEPTED = ["> HELO me", "250 ok", "> RSET", "250 ok", "> MAIL FROM:<s@x>", "250 ok", "> RCPT TO:<a@x>",
                     "250 ok", "> DATA"]
LOGIN_REFUSED = "\rThe server refused the login: check /LOGIN and the password."

LOG_WARNING = "Warning: the run log folder could not be written."

ATTACHMENT_BYTES = bytes(range(256)) + b"\x00\xff\r\n.\r\n"
FILES = {
    "body.txt": b"Hello\r\n.end\r\n",
    "rcpt.txt": b"a@x\r\n",
    "two.txt": b"a@x\r\n\r\nBob <b@y>\r\n",
    "list.txt": b"a.bin\r\n",
    "badlist.txt": b"gone.bin\r\n",
    "biglist.txt": b"big.bin\r\n",
    "a.bin": ATTACHMENT_BYTES,
    "pw.txt": b"s3cret-pa/ss\r\nnot this line\r\n",
    "three.txt": b"a@x\r\nBob <b@y>\r\nc@z\r\n",
}
# Messages that need mending: a line too long for mail, a byte-order mark, names outside ASCII,
# copies, many recipients.
LONG_LINE = ("<td class=\"n\">%d</td>" * 400 % tuple(range(400)))[:5000] + " "
LONG_BODY = ["Figures:", LONG_LINE, ".5 dots", "\tend\t"]
CYRILLIC_NAME = "Отчёт за март"
LATIN_NAME = "Größe der Dateien"
MANY = ["user%03d@example.com" % i for i in range(300)]
LONG_SUBJECT = " ".join("word%03d" % i for i in range(150))
FILES.update({
    "long.txt": "\r\n".join(LONG_BODY).encode() + b"\r\n",
    "bom.txt": b"\xef\xbb\xbfHello\r\n",
    "cc.txt": b"c@x\r\nCarl <d@y>\r\n",
    "bcc.txt": b"hidden@z\r\n",
    "names.txt": "Иван Петров <ivan@x>\r\n\"Müller, Anna\": anna@x\r\n".encode(),
    "many.txt": "".join(address + "\r\n" for address in MANY).encode(),
    CYRILLIC_NAME + ".txt": b"abc",
    LATIN_NAME + ".txt": b"abc",
    # Names in the list file are in the bytes the program opens files by: the locale's (UTF-8)
    # natively, the ANSI code page (1252 under Wine here) on Windows.
    "utf8list.txt": (CYRILLIC_NAME + ".txt\r\n").encode(),
    "ansilist.txt": (LATIN_NAME + ".txt\r\n").encode("cp1252"),
    "cp1251.txt": (CYRILLIC_NAME + "\r\n").encode("cp1251"),
    "sixty.txt": "".join("r%02d@x\r\n" % i for i in range(1, 61)).encode(),
})
# Text that quotes boundary lines: a pasted part (a ticket, a log), and yesterday's message
# attached, both with the boundary every message had while it was not random.
OLD_BOUNDARY = "=" * 20 + "54535aavfgq===="
FORGED_PART = ('--%s\r\nContent-Type: application/octet-stream; name="invoice.exe"\r\n'
               'Content-Transfer-Encoding: base64\r\n\r\nTVqQAAMAAAAEAAAA\r\n--%s--\r\n'
               % (OLD_BOUNDARY, OLD_BOUNDARY))
FILES.update({
    "pasted.txt": ("The ticket reads:\r\n" + FORGED_PART).encode(),
    "yesterday.eml": ('From: <s@x>\r\nSubject: Yesterday\r\nMIME-Version: 1.0\r\n'
                      'Content-Type: multipart/mixed; boundary="%s"\r\n\r\n--%s\r\n'
                      'Content-Type: text/plain\r\n\r\nOld figures\r\n' % (OLD_BOUNDARY, OLD_BOUNDARY)
                      + FORGED_PART).encode(),
    "report.pdf": b"%PDF-1.4 figures",
    # An HTML report whose outside text names files beyond its folder.
    "report.html": b'<p>Figures</p><img src="chart.png"><img src="../../../../../../../../etc/passwd" width=0>'
                   b'<script>s = \'<img src="../../../../../../../../etc/passwd">\';</script>',
    "chart.png": b"\x89PNG\r\n\x1a\n chart",
})


def argument_bytes(text, codec):
    """An argument that reaches the program as text's bytes in codec (POSIX passes bytes as they are)."""
    return text.encode(codec).decode("utf-8", "surrogateescape")


def accepting(recipients):
    """The accepting dialogue for these envelope recipients."""
    return (ACCEPT[:3] + [("RCPT TO:<%s>" % r, "250 ok") for r in recipients] + ACCEPT[4:]
            + [("QUIT", "221 bye")])


def subject_is(text):
    def judge(test, message, received):
        test.assertEqual(message["Subject"], text)
        test.assertNotRegex(received, r"[\x80-\xff]", "the header carries no 8-bit byte")
    return judge


def judge_typed_subject(test, message, received):
    subject_is(CYRILLIC_NAME)(test, message, received)
    test.assertEqual(message.get_content_charset(), "windows-1251")
    test.assertEqual(message.get_content().strip(), CYRILLIC_NAME, "the body as the file has it")


def judge_typed_names(test, message, received):
    test.assertEqual([(a.display_name, a.addr_spec) for a in message["From"].addresses], [("Пётр Иванов", "s@x")])
    test.assertEqual([(a.display_name, a.addr_spec) for a in message["Reply-To"].addresses],
                     [("Служба поддержки", "help@x")])
    test.assertNotRegex(message_data(received).split("\r\n\r\n")[0], r"[\x80-\xff]", "no 8-bit byte in the header")


def sixty_refused_box():
    """The success box of SIXTY_REFUSED: each refusal on the console; ten, and a count, in a Windows box."""
    lines = ["Not accepted: r%02d@x: 550 5.1.1 no such user" % i for i in range(1, 61)]
    if ARGS.wine:
        lines = lines[:10] + ["and 50 more (the log names them all)"]
    return SUCCESS + "\r\r" + "\r".join(lines)


def judge_long_lines(test, message, received):
    test.assertEqual(message["Content-Transfer-Encoding"], "quoted-printable")
    # The header block ends in one more line end than the blank line (as it always did).
    test.assertEqual(message.get_content().replace("\r\n", "\n"), "\n" + "\n".join(LONG_BODY) + "\n")
    test.assertLessEqual(max(len(line) for line in received.split("\r\n")), 76)


def judge_copies(test, message, received):
    test.assertEqual([str(a) for a in message["CC"].addresses], ["c@x", "Carl <d@y>"])
    test.assertEqual(message["Reply-To"], "Help Desk <help@x>")
    test.assertNotIn("hidden@z", message_data(received), "an envelope-only recipient stands in no header line")


def judge_names(test, message, received):
    test.assertEqual([(a.display_name, a.addr_spec) for a in message["To"].addresses],
                     [("Иван Петров", "ivan@x"), ("Müller, Anna", "anna@x")])


def attachment_named(name):
    def judge(test, message, received):
        attachment = next(message.iter_attachments())
        test.assertEqual(attachment.get_filename(), name + ".txt")
        test.assertEqual(str(email.header.make_header(email.header.decode_header(attachment.get_param("name")))),
                         name + ".txt")
        test.assertEqual(attachment.get_payload(decode=True), b"abc")
    return judge


def judge_pasted_boundary(test, message, received):
    test.assertEqual([(a.get_filename(), a.get_payload(decode=True)) for a in message.iter_attachments()],
                     [("a.bin", ATTACHMENT_BYTES)], "only what was attached")
    # The line end before the next boundary line is that line's.
    test.assertTrue(next(message.iter_parts()).get_content().endswith(FORGED_PART[:-2]), "the text kept whole")


def judge_attached_message(test, message, received):
    test.assertEqual([part.get_content_type() for part in message.iter_parts()],
                     ["text/plain", "message/rfc822", "application/pdf"])
    test.assertEqual(list(message.iter_attachments())[-1].get_payload(decode=True), FILES["report.pdf"])
    inner = list(message.iter_parts())[1].get_content()
    test.assertEqual(inner["Subject"], "Yesterday")
    test.assertEqual([part.get_content_type() for part in inner.iter_parts()],
                     ["text/plain", "application/octet-stream"])
    test.assertEqual([defect for part in message.walk() for defect in part.defects], [])


def judge_images_from_the_body_folder(test, message, received):
    images = [part for part in message.walk() if part.get_content_maintype() == "image"]
    test.assertEqual([(image.get_filename(), image.get_payload(decode=True)) for image in images],
                     [("chart.png", FILES["chart.png"])])
    html = next(part for part in message.walk() if part.get_content_type() == "text/html").get_content()
    test.assertIn('src="cid:%s"' % images[0]["Content-ID"].strip("<>"), html)
    test.assertIn('src="../../../../../../../../etc/passwd" width=0>', html, "a plain reference")
    test.assertFalse([part for part in message.walk() if b"root:" in (part.get_payload(decode=True) or b"")])


def judge_many(test, message, received):
    test.assertEqual([a.addr_spec for a in message["To"].addresses], MANY)
    test.assertEqual(message["Subject"], LONG_SUBJECT)
    header_lines = message_data(received).split("\r\n\r\n")[0].split("\r\n")
    test.assertLessEqual(max(len(line) for line in header_lines), 78)

BIG_ATTACHMENT = 64 << 20  # big.bin, made for the cases that name biglist.txt

# A loopback address for a name server that never answers.
SILENT_NAME_SERVER = "127.0.0.77"
# A name that only the run's own hosts file knows.
PRIVATE_NAME = "mail.mailshot.test"
# The window station of a job that nobody sees (only WinSta0 is visible).
HIDDEN_STATION = "MailshotJob"

# The switches of the standard message; {port} is the scripted server's port.
STANDARD = ["/B:body.txt", "/T:rcpt.txt", "/F:s@x", "/S:Report", "/U:me", "/SMTP:127.0.0.1:{port}"]


def without(args, prefix):
    return [a for a in args if not a.startswith(prefix)]


def header(subject="Report", to="a@x", content_type="text/plain; charset=Windows-1251", extra=""):
    """The header as sent, the values of Date and Message-ID masked (see masked_stamps)."""
    subject_line = "Subject: %s\r\n" % subject if subject else ""
    return ("From: <s@x>\r\nTo: %s\r\n%sDate: *\r\nMessage-ID: *\r\nMIME-Version: 1.0\r\nContent-Type: %s\r\n%s"
            % (to, subject_line, content_type, extra))


DATE = re.compile(r"\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                  r"20\d\d [0-2]\d:[0-5]\d:[0-6]\d [+-]\d{4}\r\n")
MESSAGE_ID = re.compile(r"\r\nMessage-ID: <[0-9a-f]{32}@x>\r\n")
SIZE = re.compile(r"MAIL FROM:<s@x> SIZE=(\d+)\r\n")


def message_data(received):
    """What a transcript carries between DATA and the line "." that ends it."""
    start = received.index("\r\nDATA\r\n") + 8 if not received.startswith("DATA\r\n") else 6
    return received[start:received.rindex("\r\n.\r\n") + 2]


def masked_stamps(received):
    """received with the values of Date and Message-ID, where they have their form (an RFC 5322
    date-time, 32 hexadecimal digits at the sender's domain), and a SIZE that counts the data
    exactly, replaced by "*"; its boundaries, which are random, written as "<boundary 1>",
    "<boundary 2>", ... in the order they first stand."""
    size = SIZE.search(received)
    if size and int(size.group(1)) == len(message_data(received).encode("latin-1")):
        received = SIZE.sub("MAIL FROM:<s@x> SIZE=*\r\n", received)
    for number, boundary in enumerate(dict.fromkeys(re.findall(r'boundary="([^"]*)"', received)), 1):
        received = received.replace(boundary, "<boundary %d>" % number)
    return MESSAGE_ID.sub("\r\nMessage-ID: *\r\n", DATE.sub("\r\nDate: *\r\n", received, 1), 1)


def stamps_lengths():
    """The bytes the two stamp values may add to header(): the Date line's day of the month has one
    digit or two, and a run may start on one day and compose on the next."""
    return [len("Mon, %d Jan 2025 00:00:00 +0000" % day) + len("<%s@x>" % ("0" * 32)) - 2 for day in (1, 10)]


BODY = "\r\n\r\nHello\r\n..end\r\n"
ENVELOPE = "HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@x>\r\nDATA\r\n"
ACCEPT = [("HELO me", "250 ok"), ("RSET", "250 ok"), ("MAIL FROM:<s@x>", "250 ok"),
          ("RCPT TO:<a@x>", "250 ok"), ("DATA", "354 go ahead"), (".", "250 queued")]
ACCEPT_AND_QUIT = ACCEPT + [("QUIT", "221 bye")]


def sent(subject="Report", extra_header="", quit=True):
    return ENVELOPE + header(subject, extra=extra_header) + BODY + ".\r\n" + ("QUIT\r\n" if quit else "")


# The credentials of the login cases and what they look like on the wire,
# encoded here apart from the program; none of them may show anywhere else.
USER, PASSWORD = "me@x", "s3cret-pa/ss"


def b64(text):
    return base64.b64encode(text.encode("latin-1")).decode()


AUTH_PLAIN = "AUTH PLAIN " + b64("\0%s\0%s" % (USER, PASSWORD))
AUTH_XOAUTH2 = "AUTH XOAUTH2 " + b64("user=%s\x01auth=Bearer %s\x01\x01" % (USER, PASSWORD))
SECRETS = [PASSWORD, b64(PASSWORD), AUTH_PLAIN.split()[2], AUTH_XOAUTH2.split()[2]]
# SIZE counts the data between DATA and the line "." that ends it (masked_stamps checks it).
SIZED_MAIL_FROM = "MAIL FROM:<s@x> SIZE=*"


def sent_ehlo(auth_lines=()):
    """sent() after EHLO with SIZE announced, the AUTH lines first."""
    return sent().replace("HELO me\r\n", "EHLO me\r\n" + "".join(line + "\r\n" for line in auth_lines)).replace(
        "MAIL FROM:<s@x>\r\n", SIZED_MAIL_FROM + "\r\n")


def multipart_message():
    boundary = "<boundary 1>"  # see masked_stamps
    encoded = base64.b64encode(ATTACHMENT_BYTES).decode()
    lines = "".join(encoded[i:i + 60] + "\r\n" for i in range(0, len(encoded), 60))
    return (ENVELOPE + header(content_type='multipart/mixed; boundary="%s"' % boundary)
            + "\r\n\r\n--%s\r\nContent-Type: text/plain; charset=Windows-1251\r\n\r\nHello\r\n..end\r\n" % boundary
            + "--%s\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n" % boundary
            + "Content-Transfer-Encoding: base64\r\n"
            + "Content-Disposition: attachment; filename=\"a.bin\"\r\n\r\n"
            + lines + "--%s--\r\n.\r\nQUIT\r\n" % boundary)


def script_steps(greeting, dialogue, implicit_tls=False, tls_close=False):
    def escape(text):
        text = text.replace("\\", "\\\\").replace("|", "\\|")
        return re.sub(r"[\x00-\x1f]", lambda m: "\\x%02x" % ord(m.group(0)), text) + "\\r\\n"
    steps = ["starttls"] if implicit_tls else []
    if dialogue or not implicit_tls:
        steps.append("send " + escape(greeting))
    for expected, reply in dialogue:
        if (expected, reply) == STARTTLS:
            steps.append("starttls")
            continue
        steps.append("until ." if expected == "." else "expect " + expected)
        steps.append("send " + escape(reply))
    # What the client sends after the script is recorded too; after a QUIT
    # inside TLS it must end the session with close_notify.
    return steps + ["tlsclose" if tls_close else "drain"]


class Case:
    """One run of the program: its switches, the server's part, and what must come out.

    dialogue None: a silent listener that must see no connection at all; steps:
    the server's script as it stands, instead of greeting and dialogue; full_backlog:
    a listener that takes no further connection, so that a connect hangs;
    silent_resolver: run where every name lookup waits for a name server that never
    answers; status: the status texts the console shows before the error texts;
    native_only: why the case cannot run under Wine (None: it runs there too); stdin: the
    bytes the program reads from standard input (CLOSED: none at all);
    log: the events of the run log run.log, without their time stamps; within: the
    seconds in which the outcome must show. certificate: the server is the native
    scripted server presenting this test certificate from a STARTTLS step in the
    dialogue, or from the first byte when implicit_tls; the program finds the test
    CA as ca.pem. env: variables added to the program's environment. native_only:
    why the case cannot run under Wine; wine_only: the case is the Windows program's.
    throttled: the program runs at about a fifth of a CPU (stopped and continued in
    turn), slower than the server, as on a loaded machine. judge(test, message,
    received): checks the message sent, parsed by Python's email package.
    connections: the clients the server serves, each with its part of steps ("next"
    between them); hold: the server refuses connections until the run log announces
    the first retry; ipv6_server: the server listens on ::1 alone; hosts: the
    addresses of PRIVATE_NAME, in a hosts file of the run's own; hidden_station (Wine
    only): the program runs on a window station nobody sees; silent_ipv6: a listener
    with a full backlog on ::1 at the server's port, where a connect hangs; log_has:
    events the run log holds in this order.
    """

    def __init__(self, name, args, rc, boxes, dialogue=None, greeting="220 ready", received=None,
                 native_only=None, steps=None, full_backlog=False, silent_resolver=False, status=(), log=None,
                 within=None, certificate=None, implicit_tls=False, env=None, throttled=False, judge=None,
                 wine_only=False, connections=1, hold=False, ipv6_server=False, hosts=None,
                 hidden_station=False, silent_ipv6=False, log_has=None, stdin=None):
        self.name, self.args, self.rc, self.boxes = name, args, rc, boxes
        self.dialogue, self.greeting, self.received = dialogue, greeting, received
        self.native_only, self.wine_only = native_only, wine_only
        self.steps, self.full_backlog, self.silent_resolver = steps, full_backlog, silent_resolver
        self.status, self.log, self.within = list(status), log, within
        self.certificate, self.implicit_tls = certificate, implicit_tls
        self.env = env or {}
        self.stdin = stdin
        self.throttled = throttled
        self.judge = judge
        self.connections, self.hold, self.ipv6_server = connections, hold, ipv6_server
        self.hosts, self.hidden_station, self.log_has = hosts, hidden_station, log_has
        self.silent_ipv6 = silent_ipv6


STARTTLS = ("<starttls>", None)  # in a dialogue: TLS starts there
CLOSED = b"<closed>"  # as stdin: the program starts with its standard input closed
LINE_BREAKS_ON_WINDOWS = "Windows splits its command line at line breaks: the value cannot be passed"
SWITCHES_ONLY_ON_WINDOWS = "the Windows program takes switches only"
USAGE_HINT = ". Usage: mailshot --from ADDRESS --to FILE --server HOST[:PORT] [OPTION]... (mailshot --help lists the options)"
LONG_STANDARD = ["--to", "rcpt.txt", "--from", "s@x", "--subject", "Report", "--helo", "me",
                 "--server", "127.0.0.1:{port}"]
TLS_STANDARD = without(STANDARD, "/SMTP:") + ["/SMTP:localhost:{port}", "/CAFILE:ca.pem"]
EHLO_ACCEPT = ([("EHLO me", "250-hello\r\n250 SIZE 1000"), ("RSET", "250 ok"), (SIZED_MAIL_FROM, "250 ok")]
               + ACCEPT_AND_QUIT[3:])
LOGIN = ["/LOGIN:" + USER, "/PWF:pw.txt", "/LOG:run.log"]
STARTTLS_OFFER = [("EHLO me", "250-hello\r\n250 STARTTLS"), ("STARTTLS", "220 go ahead"), STARTTLS]
# Three recipients, the second refused.
THREE = without(STANDARD, "/T:") + ["/T:three.txt"]
THREE_ENVELOPE = ACCEPT[:3] + [("RCPT TO:<a@x>", "250 ok"), ("RCPT TO:<b@y>", "550 5.1.1 no such user"),
                               ("RCPT TO:<c@z>", "250 ok")]
THREE_SENT = "".join(line + "\r\n" for line, _ in THREE_ENVELOPE)
NOT_ACCEPTED = "\r\rNot accepted: b@y: 550 5.1.1 no such user"
MAY_HAVE_BEEN_DELIVERED = "The message may have been delivered: all of it went out, but no clear answer to its end came."
SIXTY_REFUSED = (ACCEPT[:4] + [("RCPT TO:<r%02d@x>" % i, "550 5.1.1 no such user") for i in range(1, 61)]
                 + ACCEPT_AND_QUIT[4:])
BASIC_AUTH_OFF = "535 5.7.139 Authentication unsuccessful, basic authentication is disabled."
SIGN_IN_INSTEAD = ("Microsoft 365 takes no password here: sign in once with /OAUTHSETUP, then send with /OAUTH "
                   "(the guide's \"OAuth 2.0: sign in once\").")
TYPED_SUBJECT = without(without(STANDARD, "/B:"), "/S:") + ["/B:cp1251.txt", "/S:" + CYRILLIC_NAME, "/LOG:run.log"]


CASES = [
    # Help.
    Case("help_without_arguments", [], 0, [(INFO, switch_help)], wine_only=True),
    Case("help_of_the_options_without_arguments", [], 0, [(INFO, LONG_HELP)],
         native_only="long options are the custom on POSIX systems alone"),
    Case("help_with_H", ["/H"], 0, [(INFO, switch_help)]),
    Case("help_with_question_mark", ["/?"], 0, [(INFO, switch_help)]),
    Case("help_with_hyphen_and_lower_case", ["-h"], 0, [(INFO, switch_help)]),
    Case("help_with_HELP", STANDARD + ["/Help"], 0, [(INFO, switch_help)]),
    # An H-word that is no help switch standing alone asks for no help: no box waits for a click.
    Case("HELO_as_a_switch_is_refused_without_a_box", STANDARD + ["/HELO:buildhost", "/NM", "/NE"], 5, []),
    Case("a_path_cut_at_slashes_is_refused", without(STANDARD, "/B:") + ["/B:/home/me/body.txt"], 5,
         [(ERROR, lambda: 'The value of /B was cut at "/": in /B:/home/me/body.txt every "/" starts a switch, so /B '
                          'gets "" and the rest is read as switches. A switch\'s value cannot hold "/": name a file '
                          'relative to the working directory, ' + ('or with "\\".' if ARGS.wine else
                          'or give every setting as a long option, whose value can (--body FILE).'))]),
    Case("an_unquoted_subject_is_refused", without(STANDARD, "/S:") + ["/S:Nightly", "health", "check"], 5,
         [(ERROR, 'The value of /S ends at a blank: /S gets "Nightly" and health check is left over. Put a value '
                  'with blanks in double quotes: "/S:Nightly health check".')]),
    Case("help_cut_out_of_a_value_is_refused", STANDARD + ["/S:Re-Hello"], 5,
         [(ERROR, 'The value of /S was cut at "-" (write /ES first to keep it whole)')]),
    Case("help_despite_NE", STANDARD + ["/NE", "/H"], 0, [(INFO, switch_help)]),
    Case("help_for_switch_characters_only", ["/", "-"], 0, [(INFO, switch_help)]),
    # Success, with and without boxes.
    Case("success", STANDARD, 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT, received=sent()),
    Case("success_NM", STANDARD + ["/NM"], 0, [], ACCEPT_AND_QUIT, received=sent()),
    Case("success_NM_NE", STANDARD + ["/NM", "/NE"], 0, [], ACCEPT_AND_QUIT, received=sent()),
    Case("success_NE_keeps_the_success_box", STANDARD + ["/NE"], 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         received=sent()),
    Case("read_receipt", STANDARD + ["/RR"], 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         received=sent(extra_header="Disposition-Notification-To:<s@x>\r\n")),
    Case("attachment", STANDARD + ["/A:list.txt"], 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         received=multipart_message()),
    Case("a_pasted_boundary_line_forges_no_attachment", without(STANDARD, "/B:") + ["/B:pasted.txt", "/A:list.txt"],
         0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=judge_pasted_boundary),
    Case("an_attached_message_keeps_its_parts", STANDARD + ["/ENCLOSE:yesterday.eml", "/ENCLOSE:report.pdf"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=judge_attached_message),
    Case("html_images_only_from_the_body_files_folder", without(STANDARD, "/B:") + ["/B:report.html", "/FH"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=judge_images_from_the_body_folder),
    Case("attachment_list_missing", STANDARD + ["/A:nolist.txt"], 5,
         [(ERROR, "The attachment list nolist.txt does not exist.")]),
    Case("attached_file_missing", STANDARD + ["/A:badlist.txt"], 5,
         [(ERROR, "The file gone.bin, named in the attachment list badlist.txt, does not exist.")]),
    # Switch parsing.
    Case("a_subject_cut_at_a_hyphen_is_refused", without(STANDARD, "/S:") + ["/S:Nightly report 2026-12-10"], 5,
         [(ERROR, 'The value of /S was cut at "-" (write /ES first to keep it whole)')]),
    Case("a_sender_cut_at_a_hyphen_is_refused", without(STANDARD, "/F:") + ["/F:no-reply@example.com"], 5,
         [(ERROR, 'The value of switch /F, "no", is no mail address. The value of /F was cut at "-": write /ES '
                  'first to keep it whole.')]),
    Case("a_long_option_name_as_a_switch_is_refused", without(STANDARD, "/S:") + ["/SUBJECT:Report"], 5,
         [(ERROR, "Unknown switch /SUBJECT (did you mean /S:?)")]),
    Case("ES_keeps_the_hyphen", without(STANDARD, "/S:") + ["/ES", "/S:Re-send"], 0, [(INFO, SUCCESS)],
         ACCEPT_AND_QUIT, received=sent(subject="Re-send")),
    Case("first_of_a_repeated_switch", without(STANDARD, "/S:") + ["/S:Hello", "/S:World"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, received=sent(subject="Hello")),
    Case("names_without_regard_to_case", ["/b:body.txt", "/t:rcpt.txt", "-f:s@x", "/s:Report", "/u:me",
                                          "-smtp:127.0.0.1:{port}"], 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         received=sent()),
    Case("switches_sharing_an_argument", ["/B:body.txt/T:rcpt.txt/F:s@x", "/S:Report/U:me/SMTP:127.0.0.1:{port}"],
         0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT, received=sent()),
    Case("SMTP_without_S_leaves_no_subject", without(STANDARD, "/S:"), 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         received=sent(subject="")),
    Case("empty_recipient_line_gets_no_command", without(STANDARD, "/T:") + ["/T:two.txt"], 0, [(INFO, SUCCESS)],
         [("HELO me", "250 ok"), ("RSET", "250 ok"), ("MAIL FROM:<s@x>", "250 ok"), ("RCPT TO:<a@x>", "250 ok"),
          ("RCPT TO:<b@y>", "250 ok"), ("DATA", "354 go ahead"), (".", "250 queued"), ("QUIT", "221 bye")],
         received="HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n"
                  + header(to="a@x,,Bob <b@y>") + BODY + ".\r\nQUIT\r\n"),
    # Long options.
    Case("long_options_body_from_standard_input", ["--body", "-"] + LONG_STANDARD, 0, [(INFO, SUCCESS)],
         ACCEPT_AND_QUIT, received=sent(), stdin=FILES["body.txt"], native_only=SWITCHES_ONLY_ON_WINDOWS),
    Case("long_options_body_from_closed_standard_input", ["--body", "-"] + LONG_STANDARD, 5,
         [(ERROR, "The message body cannot be read from standard input.")], stdin=CLOSED,
         native_only=SWITCHES_ONLY_ON_WINDOWS),
    Case("long_option_unknown", LONG_STANDARD + ["--colour"], 5, [(ERROR, "Unknown option --colour" + USAGE_HINT)],
         native_only=SWITCHES_ONLY_ON_WINDOWS),
    # Unusable settings: exit code 5 and no connection.
    Case("body_file_missing", without(STANDARD, "/B:") + ["/B:nobody.txt"], 5,
         [(ERROR, "Missing message body. (File nobody.txt not found).")]),
    Case("B_without_value", without(STANDARD, "/B:") + ["/B"], 5,
         [(ERROR, "Missing message body. (File B not found).")]),
    Case("recipient_file_missing", without(STANDARD, "/T:") + ["/T:nobody.txt"], 5,
         [(ERROR, "Missing recipients address list. (File nobody.txt not found).")]),
    Case("sender_missing", without(STANDARD, "/F:"), 5, [(ERROR, "Missing sender address.")]),
    Case("FH_makes_F_present_without_value", without(STANDARD, "/F:") + ["/FH"], 5,
         [(ERROR, "Missing sender address.")]),
    Case("server_missing", without(STANDARD, "/SMTP:"), 5, [(ERROR, "SMTP server not specified.")]),
    Case("settings_error_NE", without(STANDARD, "/F:") + ["/NE"], 5, []),
    Case("port_out_of_range", without(STANDARD, "/SMTP:") + ["/SMTP:127.0.0.1:65536"], 5,
         [(ERROR, 'SMTP server port "65536" is not a number from 1 to 65535.')]),
    # Messages mended to be taken everywhere, judged by Python's email parser.
    Case("body_line_beyond_998_goes_quoted_printable", without(STANDARD, "/B:") + ["/B:long.txt"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=judge_long_lines),
    Case("byte_order_mark_not_sent", without(STANDARD, "/B:") + ["/B:bom.txt"], 0, [(INFO, SUCCESS)],
         ACCEPT_AND_QUIT, received=sent().replace("..end\r\n", "")),
    Case("subject_in_the_default_charset", without(STANDARD, "/S:") + ["/S:" + argument_bytes(CYRILLIC_NAME, "cp1251")],
         0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=subject_is(CYRILLIC_NAME),
         native_only="Windows-1251 bytes cannot reach a program whose ANSI code page is 1252 (Wine's)"),
    Case("subject_in_utf8_from_the_wide_command_line",
         without(STANDARD, "/S:") + ["/ES", "/CS:UTF-8", "/S:Ежемесячный отчёт о продажах по регионам: итоги марта"],
         0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         judge=subject_is("Ежемесячный отчёт о продажах по регионам: итоги марта")),
    Case("subject_converted_to_koi8r", without(STANDARD, "/S:") + ["/S:" + CYRILLIC_NAME, "/SK"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=subject_is(CYRILLIC_NAME), env={"LC_ALL": "C.UTF-8"},
         native_only="the Cyrillic letters cannot reach a program whose ANSI code page is 1252 (Wine's)"),
    Case("subject_converted_to_the_oem_page", without(STANDARD, "/S:") + ["/S:" + LATIN_NAME, "/SD"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=subject_is(LATIN_NAME), env={"LC_ALL": "C.UTF-8"}),
    # Text typed on the command line is in the command line's charset (the locale's; under Wine
    # the Unicode command line's), whatever the body file's; the log has it in UTF-8 on Windows too.
    Case("subject_typed_in_utf8_with_a_windows_1251_body", TYPED_SUBJECT, 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         judge=judge_typed_subject, env={"LC_ALL": "C.UTF-8"},
         log_has=[("command line: " + " ".join('"%s"' % a if " " in a else a for a in TYPED_SUBJECT))
                  .encode().decode("latin-1")]),
    Case("sender_and_reply_names_typed_outside_ascii",
         without(STANDARD, "/F:") + ["/F:Пётр Иванов <s@x>", "/REPLYTO:Служба поддержки <help@x>"], 0,
         [(INFO, SUCCESS)], ACCEPT_AND_QUIT, judge=judge_typed_names, env={"LC_ALL": "C.UTF-8"}),
    Case("display_names_outside_ascii", without(STANDARD, "/T:") + ["/T:names.txt", "/ES", "/CS:UTF-8"], 0,
         [(INFO, SUCCESS)], accepting(["ivan@x", "anna@x"]), judge=judge_names),
    Case("attachment_name_outside_ascii", STANDARD + ["/A:utf8list.txt"], 0, [(INFO, SUCCESS)], ACCEPT_AND_QUIT,
         judge=attachment_named(CYRILLIC_NAME),
         native_only="Windows opens the listed names in its ANSI code page, which lacks these letters"),
    Case("attachment_name_in_the_ansi_code_page", STANDARD + ["/A:ansilist.txt"], 0, [(INFO, SUCCESS)],
         ACCEPT_AND_QUIT, judge=attachment_named(LATIN_NAME), wine_only=True),
    Case("copies_envelope_recipients_and_a_reply_address",
         STANDARD + ["/CC:cc.txt", "/RCPT:bcc.txt", "/REPLYTO:Help Desk <help@x>"], 0, [(INFO, SUCCESS)],
         accepting(["a@x", "c@x", "d@y", "hidden@z"]), judge=judge_copies),
    Case("envelope_recipients_alone_give_no_to_line", without(STANDARD, "/T:") + ["/RCPT:bcc.txt"], 0,
         [(INFO, SUCCESS)], accepting(["hidden@z"]),
         received=sent().replace("RCPT TO:<a@x>", "RCPT TO:<hidden@z>").replace("To: a@x\r\n", "")),
    Case("three_hundred_recipients_and_a_long_subject",
         without(without(STANDARD, "/T:"), "/S:") + ["/T:many.txt", "/S:" + LONG_SUBJECT], 0,
         [(INFO, SUCCESS)], accepting(MANY), judge=judge_many),
    Case("copy_file_missing", STANDARD + ["/CC:nocc.txt"], 5,
         [(ERROR, "Missing copy recipients address list. (File nocc.txt not found).")]),
    Case("envelope_recipient_file_missing", STANDARD + ["/RCPT:nobcc.txt"], 5,
         [(ERROR, "Missing envelope recipients address list. (File nobcc.txt not found).")]),
    Case("reply_address_without_a_mailbox", STANDARD + ["/REPLYTO:helpdesk"], 5,
         [(ERROR, 'The value of switch /REPLYTO, "helpdesk", is no mail address.')]),
    Case("line_break_in_subject", without(STANDARD, "/S:") + ["/S:Hi\nBcc:v@x"], 5,
         [(ERROR, "The value of switch /S contains a line break or a null character, which cannot go into a "
                  "mail command or header.")], native_only=LINE_BREAKS_ON_WINDOWS),
    # Network failures.
    Case("server_name_not_found", without(STANDARD, "/SMTP:") + ["/SMTP:no..such"], 4,
         [(ERROR, "SMTP server no..such not found."), (ERROR, ANY_TEXT)]),
    Case("connection_refused", without(STANDARD, "/SMTP:") + ["/SMTP:127.0.0.1:{unused}"], 4,
         [(ERROR, "Can`t connect to SMTP mail server 127.0.0.1"), (ERROR, ANY_TEXT)]),
    Case("connection_refused_NE", without(STANDARD, "/SMTP:") + ["/SMTP:127.0.0.1:{unused}", "/NE"], 4, []),
    Case("refused_after_data", STANDARD, 4, [(ERROR, "Can`t send message."), (ERROR, "552 too big\r\n")],
         ACCEPT[:-1] + [(".", "552 too big")], received=sent(quit=False)),
    Case("greeting_refused", STANDARD, 4, [(ERROR, "421 busy\r\n")], [("QUIT", "221 bye")], greeting="421 busy",
         received="QUIT\r\n"),
    Case("control_characters_from_the_server", STANDARD, 4, [(ERROR, "421 \x1b[2Jbusy\x07\r\n")],
         [("QUIT", "221 bye")], greeting="421 \x1b[2Jbusy\x07", received="QUIT\r\n"),
    Case("c1_controls_from_the_server_on_a_utf8_console", STANDARD, 4, [(ERROR, "421 \u009b2Jbusy\u0085\r\n")],
         [("QUIT", "221 bye")], greeting="421 \u009b2Jbusy\u0085", received="QUIT\r\n", env={"LC_ALL": "C.UTF-8"},
         native_only="the console's escapes are the POSIX build's: a box shows the text as it is"),
    Case("sender_refused", STANDARD, 4, [(ERROR, "553 not yours\r\n")],
         ACCEPT[:2] + [("MAIL FROM:<s@x>", "553 not yours")], received="HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\n"),
    Case("no_recipients", without(STANDARD, "/T:"), 4, [(ERROR, "Incomplete Header")], [("HELO me", "250 ok")],
         received="HELO me\r\n"),
    Case("closing_command_refused", STANDARD, 4, [(INFO, SUCCESS), (ERROR, "500 no\r\n")],
         ACCEPT + [("QUIT", "500 no")], received=sent()),
    # Waits that never end: /WAIT ends each one.
    Case("wait_connect_to_a_full_backlog", without(STANDARD, "/SMTP:") + ["/SMTP:127.0.0.1:{port}", "/WAIT:1"], 4,
         [(ERROR, "Can`t connect to SMTP mail server 127.0.0.1"), (ERROR, "Connection Timed out")],
         full_backlog=True, within=1),
    Case("wait_lookup_with_a_silent_name_server",
         without(STANDARD, "/SMTP:") + ["/SMTP:mail.mailshot.test", "/WAIT:1"], 4,
         [(ERROR, "Host Lookup Timed Out")], silent_resolver=True, within=1),
    Case("wait_greeting", STANDARD + ["/WAIT:1"], 4, [(ERROR, "Socket readln aborted: no greeting within 1 s")],
         [], steps=["stall"], within=1),
    Case("wait_reply", STANDARD + ["/WAIT:1"], 4,
         [(ERROR, "Socket readln aborted: no reply to MAIL FROM within 1 s")], [],
         steps=script_steps("220 ready", ACCEPT[:2])[:-1] + ["expect MAIL FROM:<s@x>", "stall"], within=1),
    Case("wait_greeting_through_a_flood_of_records_without_text", TLS_STANDARD + ["/ENCRYPT:TLS", "/WAIT:1"], 4,
         [(ERROR, "Socket readln aborted: no greeting within 1 s")], [], steps=["starttls", "tickets"],
         certificate="trusted.pem", within=1, throttled=True,
         native_only="Wine's Schannel speaks no TLS 1.3, whose session tickets the server floods"),
    Case("wait_peer_stops_reading_the_data", STANDARD + ["/A:biglist.txt", "/WAIT:2"], 4,
         [(ERROR, "Socket send aborted: the server took no data for 2 s in the middle of the message")], [],
         steps=script_steps("220 ready", ACCEPT[:5])[:-1] + ["stall"], within=2),
    # Status texts and the run log.
    Case("status_texts_on_the_console", STANDARD + ["/V:1", "/NM"], 0, [],
         [("HELO me", "250-hi\r\n250 ok")] + ACCEPT[1:4] + [("DATA", "354 go\x07 ahead")] + ACCEPT[5:] +
         [("QUIT", "221 bye")], received=sent(),
         status=["220 ready", "> HELO me", "250-hi", "250 ok"] + SENT_AND_ACCEPTED[2:]
         + ["354 go\x07 ahead", "> .", "250 queued", "> QUIT", "221 bye"]),
    Case("V_alone_shows_what_V1_shows", STANDARD + ["/V", "/NM"], 0, [], ACCEPT_AND_QUIT, received=sent(),
         status=["220 ready"] + SENT_AND_ACCEPTED + ["354 go ahead", "> .", "250 queued", "> QUIT", "221 bye"]),
    Case("run_log", STANDARD + ["/NM", "/NE", "/LOG:run.log"], 0, [], ACCEPT_AND_QUIT, received=sent(),
         log=["mailshot {version}", "working directory: {cwd}",
              "command line: " + " ".join(STANDARD + ["/NM", "/NE", "/LOG:run.log"]),
              "connecting to 127.0.0.1 port {port}", "connected to 127.0.0.1:{port}", "< 220 ready", "> HELO me",
              "< 250 ok", "> RSET", "< 250 ok", "> MAIL FROM:<s@x>", "< 250 ok", "> RCPT TO:<a@x>", "< 250 ok",
              "> DATA", "< 354 go ahead", "message data: {header_bytes} bytes",
              "message data: %d bytes" % (len(BODY) - 4), "> .", "< 250 queued",
              "success: Message sended success.", "> QUIT", "< 221 bye", "connection closed", "exit code 0"]),
    Case("run_log_that_cannot_be_written", STANDARD + ["/LOG:folder"], 0, [(INFO, SUCCESS + "\r\r" + LOG_WARNING)],
         ACCEPT_AND_QUIT, received=sent()),
    Case("run_log_that_cannot_be_written_NM_NE", STANDARD + ["/NM", "/NE", "/LOG:folder"], 0, [], ACCEPT_AND_QUIT,
         received=sent(), status=[LOG_WARNING]),
    # Encryption.
    Case("tls_from_the_first_byte", TLS_STANDARD + ["/ENCRYPT:TLS"], 0, [(INFO, SUCCESS)], EHLO_ACCEPT,
         received=sent_ehlo(), certificate="trusted.pem", implicit_tls=True),
    Case("starttls", TLS_STANDARD + ["/ENCRYPT:STARTTLS"], 0, [(INFO, SUCCESS)], STARTTLS_OFFER + EHLO_ACCEPT,
         received="EHLO me\r\nSTARTTLS\r\n" + sent_ehlo(), certificate="trusted.pem"),
    Case("starttls_not_offered", TLS_STANDARD + ["/ENCRYPT:STARTTLS"], 4,
         [(ERROR, "The SMTP server does not offer STARTTLS, so the connection cannot be encrypted")],
         [("EHLO me", "250-hello\r\n250 SIZE 1000")], received="EHLO me\r\n", certificate="trusted.pem"),
    Case("starttls_refused", TLS_STANDARD + ["/ENCRYPT:STARTTLS"], 4,
         [(ERROR, "The SMTP server refused STARTTLS: 454 TLS not available\r\n")],
         STARTTLS_OFFER[:1] + [("STARTTLS", "454 TLS not available")], received="EHLO me\r\nSTARTTLS\r\n",
         certificate="trusted.pem"),
    Case("certificate_not_trusted", TLS_STANDARD + ["/ENCRYPT:TLS"], 4,
         [(ERROR, "The server's certificate is not trusted: self-signed certificate")], [], received="",
         certificate="self-signed.pem", implicit_tls=True),
    Case("insecure_takes_a_self_signed_certificate", without(TLS_STANDARD, "/CAFILE:") + ["/ENCRYPT:TLS", "/INSECURE"],
         0, [(INFO, SUCCESS)], EHLO_ACCEPT, received=sent_ehlo(), certificate="self-signed.pem", implicit_tls=True),
    Case("encryption_value_unknown", TLS_STANDARD + ["/ENCRYPT:SSL"], 5,
         [(ERROR, 'The value of switch /ENCRYPT must be TLS, STARTTLS or NONE, not "SSL".')]),
    Case("ca_file_missing", without(TLS_STANDARD, "/CAFILE:") + ["/ENCRYPT:TLS", "/CAFILE:noca.pem"], 5,
         [(ERROR, "The CA file cannot be read: noca.pem")]),
    # Login and SIZE. No box, status text or log line of any case may show the password.
    Case("login_after_starttls", TLS_STANDARD + ["/ENCRYPT:STARTTLS", "/V:1"] + LOGIN, 0, [(INFO, SUCCESS)],
         STARTTLS_OFFER + [("EHLO me", "250-hello\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE 1000"),
                           (AUTH_PLAIN, "235 2.7.0 ok")] + EHLO_ACCEPT[1:],
         received="EHLO me\r\nSTARTTLS\r\n" + sent_ehlo([AUTH_PLAIN]), certificate="trusted.pem",
         status=["220 ready", "> EHLO me", "250-hello", "250 STARTTLS", "> STARTTLS", "220 go ahead", "> EHLO me",
                 "250-hello", "250-AUTH LOGIN PLAIN", "250 SIZE 1000", "> AUTH PLAIN ***", "235 2.7.0 ok", "> RSET",
                 "250 ok", "> MAIL FROM:<s@x> SIZE={size}", "250 ok", "> RCPT TO:<a@x>", "250 ok", "> DATA",
                 "354 go ahead", "> .", "250 queued", "> QUIT", "221 bye"]),
    Case("login_refused", TLS_STANDARD + ["/ENCRYPT:TLS"] + LOGIN, 4,
         [(ERROR, "535 5.7.8 Error: authentication failed" + LOGIN_REFUSED)],
         [("EHLO me", "250-hello\r\n250 AUTH PLAIN LOGIN"), (AUTH_PLAIN, "535 5.7.8 Error: authentication failed"),
          ("QUIT", "221 bye")], received="EHLO me\r\n%s\r\nQUIT\r\n" % AUTH_PLAIN, certificate="trusted.pem",
         implicit_tls=True),
    Case("login_refused_with_the_credentials_echoed", STANDARD + ["/ENCRYPT:NONE", "/V:1"] + LOGIN, 4,
         [(ERROR, "535 5.7.8 rejected ***" + LOGIN_REFUSED)],
         [("EHLO me", "250-hello\r\n250 AUTH PLAIN LOGIN"), (AUTH_PLAIN, "535 5.7.8 rejected " + AUTH_PLAIN.split()[2]),
          ("QUIT", "221 bye")], received="EHLO me\r\n%s\r\nQUIT\r\n" % AUTH_PLAIN,
         status=["220 ready", "> EHLO me", "250-hello", "250 AUTH PLAIN LOGIN", "> AUTH PLAIN ***",
                 "535 5.7.8 rejected ***", "> QUIT", "221 bye"],
         log=["mailshot {version}", "working directory: {cwd}",
              "command line: " + " ".join(STANDARD + ["/ENCRYPT:NONE", "/V:1"] + LOGIN),
              "connecting to 127.0.0.1 port {port}", "connected to 127.0.0.1:{port}", "< 220 ready", "> EHLO me",
              "< 250-hello", "< 250 AUTH PLAIN LOGIN", "> AUTH PLAIN ***", "< 535 5.7.8 rejected ***", "> QUIT",
              "< 221 bye", "connection closed", "error: 535 5.7.8 rejected ***" + LOGIN_REFUSED.replace("\r", " | "),
              "exit code 4"]),
    Case("login_xoauth2_token_from_the_environment", TLS_STANDARD + ["/ENCRYPT:TLS", "/LOGIN:" + USER, "/MECH:XOAUTH2"],
         0, [(INFO, SUCCESS)],
         [("EHLO me", "250-hello\r\n250-AUTH PLAIN XOAUTH2\r\n250 SIZE 1000"), (AUTH_XOAUTH2, "235 accepted")]
         + EHLO_ACCEPT[1:], received=sent_ehlo([AUTH_XOAUTH2]), certificate="trusted.pem", implicit_tls=True,
         env={"MAILSHOT_PASSWORD": PASSWORD}),
    Case("login_refused_with_advice_in_the_log_and_under_V", STANDARD + ["/ENCRYPT:NONE", "/V:1", "/NE"] + LOGIN, 4,
         [], [("EHLO me", "250-hello\r\n250 AUTH PLAIN LOGIN"), (AUTH_PLAIN, BASIC_AUTH_OFF), ("QUIT", "221 bye")],
         received="EHLO me\r\n%s\r\nQUIT\r\n" % AUTH_PLAIN,
         status=["220 ready", "> EHLO me", "250-hello", "250 AUTH PLAIN LOGIN", "> AUTH PLAIN ***", BASIC_AUTH_OFF,
                 "> QUIT", "221 bye", SIGN_IN_INSTEAD],
         log_has=["error: %s | %s" % (BASIC_AUTH_OFF, SIGN_IN_INSTEAD), "exit code 4"]),
    Case("login_without_encryption", STANDARD + LOGIN, 5,
         [(ERROR, "The switch /LOGIN sends a password: add /ENCRYPT:STARTTLS or /ENCRYPT:TLS to send it encrypted, "
                  "or /ENCRYPT:NONE to send it in plain text knowingly.")]),
    Case("message_above_the_size_limit", TLS_STANDARD + ["/ENCRYPT:TLS"], 4,
         [(ERROR, OneOf(["The message is %d bytes, more than the 100 bytes the SMTP server takes"
                         % (len(header() + BODY) + stamps) for stamps in stamps_lengths()]))],
         [("EHLO me", "250-hello\r\n250 SIZE 100")], received="EHLO me\r\n", certificate="trusted.pem",
         implicit_tls=True),
    # Retries: whatever may pass is tried again, nothing that the server may have taken.
    Case("retry_after_a_refused_connection", STANDARD + ["/RETRY:1:2", "/NM", "/LOG:run.log"], 0, [],
         ACCEPT_AND_QUIT, received=sent(), hold=True,
         status=["Retry 1 of 1 in 2 s: Can`t connect to SMTP mail server 127.0.0.1: " + REFUSED],
         log_has=["not connected to 127.0.0.1:{port}: 10061:Connection refused",
                  "Retry 1 of 1 in 2 s: Can`t connect to SMTP mail server 127.0.0.1: " + REFUSED,
                  "connected to 127.0.0.1:{port}", "success: Message sended success.", "exit code 0"]),
    Case("retry_after_a_421_greeting", STANDARD + ["/RETRY:2:1"], 0, [(INFO, SUCCESS)], [],
         steps=script_steps("421 busy", [("QUIT", "221 bye")]) + ["next"] + script_steps("220 ready", ACCEPT_AND_QUIT),
         connections=2, received="QUIT\r\n" + sent(), status=["Retry 1 of 2 in 1 s: 421 busy"]),
    Case("retry_notice_silent_with_NE", STANDARD + ["/RETRY:2:1", "/NM", "/NE", "/LOG:run.log"], 0, [], [],
         steps=script_steps("421 busy", [("QUIT", "221 bye")]) + ["next"] + script_steps("220 ready", ACCEPT_AND_QUIT),
         connections=2, received="QUIT\r\n" + sent(), log_has=["Retry 1 of 2 in 1 s: 421 busy", "exit code 0"]),
    Case("retry_notice_with_NE_under_V", STANDARD + ["/RETRY:1:1", "/NM", "/NE", "/V:1"], 0, [], [],
         steps=script_steps("421 busy", [("QUIT", "221 bye")]) + ["next"] + script_steps("220 ready", ACCEPT_AND_QUIT),
         connections=2, received="QUIT\r\n" + sent(), native_only="the status window keeps no record",
         status=["421 busy", "> QUIT", "221 bye", "Retry 1 of 1 in 1 s: 421 busy", "220 ready"] + SENT_AND_ACCEPTED
         + ["354 go ahead", "> .", "250 queued", "> QUIT", "221 bye"]),
    Case("no_retry_after_a_5xx", STANDARD + ["/RETRY:2:1"], 4, [(ERROR, "550 not you\r\n")],
         ACCEPT[:2] + [("MAIL FROM:<s@x>", "550 not you")], received="HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\n"),
    Case("no_retry_after_the_end_of_the_message_went_out", STANDARD + ["/RETRY:2:1"], 4,
         [(ERROR, "Can`t send message."),
          (ERROR, "The SMTP server closed the connection: no reply to the end of the message\r\n"
                  + MAY_HAVE_BEEN_DELIVERED)],
         [], steps=script_steps("220 ready", ACCEPT[:5])[:-1] + ["until .", "close"], received=sent(quit=False)),
    # Refused recipients.
    Case("one_recipient_of_three_refused", THREE + ["/LOG:run.log"], 0, [(INFO, SUCCESS + NOT_ACCEPTED)],
         THREE_ENVELOPE + [("DATA", "354 go ahead"), (".", "250 queued"), ("QUIT", "221 bye")],
         received=THREE_SENT + "DATA\r\n" + header(to="a@x,Bob <b@y>,c@z") + BODY + ".\r\nQUIT\r\n",
         log_has=["< 550 5.1.1 no such user", "success: Message sended success.",
                  "not accepted: b@y: 550 5.1.1 no such user", "exit code 0"]),
    Case("sixty_refused_recipients_fit_the_box", STANDARD + ["/RCPT:sixty.txt", "/LOG:run.log"], 0,
         [(INFO, sixty_refused_box)], SIXTY_REFUSED, log_has=["not accepted: r60@x: 550 5.1.1 no such user"]),
    Case("no_partial_delivery_sends_to_no_one", THREE + ["/NOPARTIAL"], 4,
         [(ERROR, "The message was sent to no one: the SMTP server refused a recipient" + NOT_ACCEPTED)],
         THREE_ENVELOPE + [("RSET", "250 ok")], received=THREE_SENT + "RSET\r\n"),
    # What a server echoes of the credentials stays hidden in the retry's line and a refused recipient's.
    Case("retry_and_refused_recipient_hide_an_echoed_secret", THREE + ["/ENCRYPT:NONE", "/RETRY:1:1"] + LOGIN, 0,
         [(INFO, SUCCESS + "\r\rNot accepted: b@y: 550 5.1.1 no such user ***")], [],
         steps=script_steps("220 ready", [("EHLO me", "250-hello\r\n250 AUTH PLAIN"),
                                          (AUTH_PLAIN, "454 4.7.0 later " + AUTH_PLAIN.split()[2]), ("QUIT", "221 bye")])
         + ["next"] + script_steps("220 ready", [("EHLO me", "250-hello\r\n250 AUTH PLAIN"), (AUTH_PLAIN, "235 ok")]
                                   + THREE_ENVELOPE[1:4] + [("RCPT TO:<b@y>", "550 5.1.1 no such user " + PASSWORD)]
                                   + THREE_ENVELOPE[5:] + [("DATA", "354 go ahead"), (".", "250 queued"),
                                                           ("QUIT", "221 bye")]),
         connections=2, status=["Retry 1 of 1 in 1 s: 454 4.7.0 later ***"],
         received=("EHLO me\r\n%s\r\nQUIT\r\nEHLO me\r\n%s\r\n" % (AUTH_PLAIN, AUTH_PLAIN) + THREE_SENT[9:]
                   + "DATA\r\n" + header(to="a@x,Bob <b@y>,c@z") + BODY + ".\r\nQUIT\r\n"),
         log_has=["< 454 4.7.0 later ***", "Retry 1 of 1 in 1 s: 454 4.7.0 later ***",
                  "< 550 5.1.1 no such user ***", "not accepted: b@y: 550 5.1.1 no such user ***"]),
    # IPv6 and every address.
    Case("server_on_ipv6_loopback_only", without(STANDARD, "/SMTP:") + ["/SMTP:[::1]:{port}", "/NM", "/LOG:run.log"],
         0, [], ACCEPT_AND_QUIT, received=sent(), ipv6_server=True,
         log_has=["connecting to ::1 port {port}", "connected to [::1]:{port}", "exit code 0"]),
    Case("a_name_whose_first_address_refuses",
         without(STANDARD, "/SMTP:") + ["/SMTP:%s:{port}" % PRIVATE_NAME, "/NM", "/LOG:run.log"], 0, [],
         ACCEPT_AND_QUIT, received=sent(), hosts=["127.0.0.1", "::1"],
         log_has=["not connected to [::1]:{port}: 10061:Connection refused", "connected to 127.0.0.1:{port}",
                  "exit code 0"]),
    # The next address starts 250 ms after the silent one: the run ends long
    # before the /WAIT that each address used to cost.
    Case("a_name_whose_first_address_is_silent_is_overtaken",
         without(STANDARD, "/SMTP:") + ["/SMTP:%s:{port}" % PRIVATE_NAME, "/NM", "/LOG:run.log", "/WAIT:30"], 0, [],
         ACCEPT_AND_QUIT, received=sent(), hosts=["127.0.0.1", "::1"], silent_ipv6=True, within=0,
         log_has=["connected to 127.0.0.1:{port}", "exit code 0"]),
    # No box where nobody can click it.
    Case("no_box_on_a_window_station_nobody_sees", STANDARD + ["/LOG:run.log"], 0, [], ACCEPT_AND_QUIT,
         received=sent(), hidden_station=True, log_has=["success: Message sended success.", "exit code 0"]),
    Case("no_error_box_on_a_window_station_nobody_sees", STANDARD + ["/LOG:run.log"], 4, [],
         ACCEPT[:-1] + [(".", "552 too big")], received=sent(quit=False), hidden_station=True,
         log_has=["error: Can`t send message.", "error: 552 too big", "exit code 4"]),
]


def working_directory(workdir):
    """The working directory as the program names it: under Wine by the drive Z:, which is the root."""
    path = os.path.realpath(workdir)
    return "Z:" + path.replace("/", "\\") if ARGS.wine else path


def project_version():
    """The version the build gives the program: the project's in CMakeLists.txt."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")) as f:
        return re.search(r"project\(mailshot\s+VERSION\s+([0-9.]+)", f.read()).group(1)


VERSION = project_version()


def private_resolver_possible():
    """True when a run can have a resolver configuration of its own (root, unshare)."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    return subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode == 0


def ipv6_loopback_possible():
    """True when a server can listen on ::1."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def console_text(texts, utf8=False):
    """What the console build prints for a series of boxes; utf8: on a UTF-8 console."""
    out = ""
    for text in texts:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
        text = re.sub(r"[\x00-\x08\x0b-\x1f\x7f]", lambda m: "\\x%02X" % ord(m.group(0)), text)
        if utf8:
            text = re.sub("[\u0080-\u009f]", lambda m: "\\u%04x" % ord(m.group(0)), text)
        out += text if text.endswith("\n") else text + "\n"
    return out


def decode_wine_string(literal):
    """The text of a Wine debugstr_w literal (without L and quotes)."""
    out, i = "", 0
    escapes = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"', "0": "\0"}
    while i < len(literal):
        c = literal[i]
        if c == "\\" and re.match(r"[0-9a-fA-F]{4}", literal[i + 1:i + 5]):  # other control characters
            out += chr(int(literal[i + 1:i + 5], 16))
            i += 5
            continue
        if c == "\\" and i + 1 < len(literal):
            n = literal[i + 1]
            if n == "x":
                digits = re.match(r"[0-9a-fA-F]{1,4}", literal[i + 2:]).group(0)
                out += chr(int(digits, 16))
                i += 2 + len(digits)
                continue
            out += escapes.get(n, n)
            i += 2
            continue
        out += c
        i += 1
    return out


def wine_box_texts(trace):
    """(text, complete) of every message box in Wine's msgbox trace, in order."""
    found = []
    for match in re.finditer(r'MSGBOX_OnInit L"(.*?)"(\.\.\.)?$', trace, re.M):
        found.append((decode_wine_string(match.group(1)), match.group(2) is None))
    return found


class Display:
    """The X display for Wine: the caller's, or a private Xvfb stopped at the end."""

    def __init__(self):
        self.process = None
        self.name = os.environ.get("DISPLAY")
        if self.name:
            return
        for number in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and not os.path.exists("/tmp/.X%d-lock" % number):
                self.name = ":%d" % number
                self.process = subprocess.Popen(["Xvfb", self.name, "-nolisten", "tcp", "-screen", "0",
                                                 "%dx%dx24" % SCREEN], stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL)
                for _ in range(100):
                    if os.path.exists("/tmp/.X11-unix/X%d" % number):
                        return
                    time.sleep(0.05)
                return
        raise RuntimeError("no free X display number")

    def close(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=10)


def xdotool(*args):
    try:
        result = subprocess.run(["xdotool", *args], capture_output=True, text=True, env=WINE_ENV, timeout=5)
    except subprocess.TimeoutExpired:
        return []
    return result.stdout.split()


WINE_ENV = None


def window_size(window):
    """(width, height) of an X window, frame included."""
    found = re.search(r"Geometry: (\d+)x(\d+)", " ".join(xdotool("getwindowgeometry", window)))
    return (int(found.group(1)), int(found.group(2))) if found else None


def read_and_close(output):
    """All that was written to the temporary file output."""
    output.seek(0)
    content = output.read()
    output.close()
    return content


def status_window_visible():
    """True when the status window is mapped. Wine maps a window on the X side a
    moment after Windows has shown it, and a box that follows at once can come
    first: look again for up to ten seconds (a busy machine) while the modal box stands."""
    deadline = time.time() + 10.0
    while True:
        if xdotool("search", "--onlyvisible", "--name", r"^Send e-mail message\.\.\.$"):
            return True
        if time.time() >= deadline:
            return False
        time.sleep(0.1)


class ProgramRun:
    """Runs one case: the server, the program, and (under Wine) the boxes."""

    def __init__(self, case, workdir, screens):
        self.case, self.workdir, self.screens = case, workdir, screens
        self.pid = None  # the program's process id, where it is the run's own

    def command(self, path, args):
        return ([ARGS.wine, path] if ARGS.wine else [path]) + args

    def program_command(self, args):
        if self.case.hidden_station:
            command = [ARGS.wine, ARGS.launcher, HIDDEN_STATION, ARGS.program] + args
        else:
            command = self.command(ARGS.program, args)
        if self.case.silent_resolver:
            # Only the silent name server is named: every lookup waits.
            path, target, content = "resolv.conf", "/etc/resolv.conf", "nameserver %s\n" % SILENT_NAME_SERVER
        elif self.case.hosts:
            path, target = "hosts", "/etc/hosts"
            content = "".join("%s %s\n" % (address, PRIVATE_NAME) for address in self.case.hosts)
        else:
            return command
        # A mount namespace of its own, where the resolver reads the run's own
        # file: nothing outside the run sees the change.
        path = os.path.join(self.workdir, path)
        with open(path, "w") as f:
            f.write(content)
        return ["unshare", "-m", "sh", "-c", 'mount --bind "$0" "$1" && shift && exec "$@"', path,
                target] + command

    def start_server(self):
        self.received_path = os.path.join(self.workdir, "received.bin")
        case = self.case
        if case.steps is not None:
            steps = case.steps
        else:
            ends_in_tls = bool(case.certificate and case.dialogue and case.dialogue[-1][0] == "QUIT")
            steps = script_steps(case.greeting, case.dialogue, case.implicit_tls, ends_in_tls)
        # A server that stalls stops once the program is done (the stop file).
        self.stop_path = os.path.join(self.workdir, "stop") if {"stall", "tickets"} & set(steps) else None
        options = ["--deadline", "30000", "--received", self.received_path, "--connections", str(case.connections)]
        options += ["--stop-file", self.stop_path] if self.stop_path else []
        options += ["--ipv6"] if case.ipv6_server else []
        self.hold_path = os.path.join(self.workdir, "hold") if case.hold else None
        options += ["--hold-file", self.hold_path] if self.hold_path else []
        if case.hold:
            # Started at once, so that it listens before the retry comes.
            command = [NATIVE_SERVER] + options
            env = None
        elif case.certificate:
            # TLS needs the native server, also for the program under Wine.
            shutil.copy(os.path.join(CERTIFICATES, "ca.pem"), self.workdir)
            command = [NATIVE_SERVER] + options + [
                "--tls-cert", os.path.join(CERTIFICATES, case.certificate),
                "--tls-key", os.path.join(CERTIFICATES, "key.pem")]
            env = None
        else:
            command = self.command(ARGS.server, options)
            env = dict(WINE_ENV, WINEDEBUG="-all") if ARGS.wine else None
        # Its failures go to a file: under Wine, background services that a
        # run starts inherit its output handles, and a pipe they hold open
        # would never end.
        self.server_errors = tempfile.TemporaryFile()
        self.server = subprocess.Popen(command + steps, stdout=subprocess.PIPE, stderr=self.server_errors, env=env)
        port = int(self.server.stdout.readline())
        self.server.stdout.close()
        return port

    @staticmethod
    def fill_backlog(family, address, port):
        """Connections nobody accepts fill the queue of the listener at address and
        port; the next one's SYN is dropped. Returns the sockets to close."""
        fillers = []
        for _ in range(3):
            filler = socket.socket(family)
            filler.setblocking(False)
            filler.connect_ex((address, port))
            fillers.append(filler)
        time.sleep(0.2)
        return fillers

    def run(self):
        listener, fillers, name_server, silent = None, [], None, None
        if self.case.dialogue is None:
            listener = socket.socket()
            listener.bind(("127.0.0.1", 0))
            listener.listen(0 if self.case.full_backlog else 4)
            port = listener.getsockname()[1]
            if self.case.full_backlog:
                fillers = self.fill_backlog(socket.AF_INET, "127.0.0.1", port)
        else:
            port = self.start_server()
            if self.case.silent_ipv6:
                silent = socket.socket(socket.AF_INET6)
                silent.bind(("::1", port))
                silent.listen(0)
                fillers = self.fill_backlog(socket.AF_INET6, "::1", port)
        if self.case.silent_resolver:
            name_server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            name_server.bind((SILENT_NAME_SERVER, 53))
        self.port = port
        args = [a.format(port=port, unused=unused_port()) for a in self.case.args]
        released = threading.Event()
        if self.case.hold:
            threading.Thread(target=self.release_on_retry, args=(released,), daemon=True).start()
        try:
            self.run_program(args)
        except BaseException:
            if self.case.dialogue is not None:
                self.server.kill()
                self.server.wait()
            raise
        finally:
            released.set()
            for opened in fillers + [name_server, silent]:
                if opened:
                    opened.close()
            if listener:
                listener.setblocking(False)
                try:
                    listener.accept()[0].close()
                    self.connected = True
                except BlockingIOError:
                    self.connected = False
                listener.close()
        log_path = os.path.join(self.workdir, "run.log")
        self.log_events = None
        if os.path.exists(log_path):
            with open(log_path, "rb") as f:
                lines = f.read().decode("latin-1").splitlines()
            # The time, then the run's tag: its process id (Wine's Windows
            # process ids are its own).
            stamp = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+)\] ")
            tag = None if ARGS.wine or self.pid is None else str(self.pid)
            self.log_events = []
            for line in lines:
                match = stamp.match(line)
                good = match and (tag is None or match.group(1) == tag)
                self.log_events.append(line[match.end():] if good else "no time stamp and run tag: " + line)
        if self.case.dialogue is not None:
            if self.stop_path:
                open(self.stop_path, "w").close()
            try:
                self.server.wait(timeout=40)
            finally:
                if self.server.poll() is None:
                    self.server.kill()
                    self.server.wait()
            self.server_errors.seek(0)
            self.server_failures = self.server_errors.read().decode(errors="replace")
            self.server_errors.close()
            with open(self.received_path, "rb") as f:
                self.received = f.read()

    def release_on_retry(self, done):
        """Lets the server take connections once the run log announces a retry."""
        log_path = os.path.join(self.workdir, "run.log")
        while not done.is_set():
            if os.path.exists(log_path):
                with open(log_path, "rb") as f:
                    if b"Retry 1 of" in f.read():
                        open(self.hold_path, "w").close()
                        return
            done.wait(0.02)

    def run_program(self, args):
        if ARGS.wine:
            self.run_under_wine(args)
        else:
            started = time.time()
            closed = self.case.stdin is CLOSED
            process = subprocess.Popen(self.program_command(args), cwd=self.workdir, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, env=dict(os.environ, **self.case.env),
                                       stdin=None if self.case.stdin is None or closed else subprocess.PIPE,
                                       preexec_fn=(lambda: os.close(0)) if closed else None)
            while self.case.throttled and process.poll() is None and time.time() < started + 60:
                time.sleep(0.002)
                process.send_signal(signal.SIGSTOP)
                time.sleep(0.008)
                process.send_signal(signal.SIGCONT)
            try:
                out, err = process.communicate(input=None if closed else self.case.stdin, timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
            self.elapsed = time.time() - started
            self.rc, self.stdout, self.stderr = process.returncode, out, err
            # A run in a namespace of its own goes through a wrapper: its id is another.
            self.pid = None if self.case.silent_resolver or self.case.hosts else process.pid

    def run_under_wine(self, args):
        env = dict(WINE_ENV, WINEDEBUG="-all,+msgbox", **self.case.env)
        # No key held from before, and the pointer off the centred boxes.
        xdotool("keyup", "Return")
        xdotool("mousemove", "0", "0")
        started = time.time()
        # Files, not pipes: see start_server.
        outputs = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen(self.program_command(args), cwd=self.workdir, stdout=outputs[0],
                                   stderr=outputs[1], env=env)
        self.captions, self.status_window_seen, self.box_sizes = [], [], []
        self.elapsed = None  # until the first box shows, or the end
        deadline = time.time() + 90
        current, pressed = None, 0.0
        while process.poll() is None and time.time() < deadline:
            boxes = xdotool("search", "--onlyvisible", "--name", "^(Error|Information)$")
            if not boxes:
                current = None
                time.sleep(0.1)
                continue
            if boxes[0] != current:  # a new box: note it, photograph it, then dismiss it
                current, pressed = boxes[0], time.time()
                if self.elapsed is None:
                    self.elapsed = pressed - started
                self.captions.append(" ".join(xdotool("getwindowname", current)))
                self.box_sizes.append(window_size(current))
                self.status_window_seen.append(status_window_visible())
                if self.screens:
                    subprocess.run(["import", "-window", "root", os.path.join(
                        self.screens, "%s-%d.png" % (self.case.name, len(self.captions)))], env=WINE_ENV,
                        capture_output=True)
            if time.time() >= pressed:
                # A key sent while the box is still taking the focus can be lost: press again later.
                # The key goes through the X server's own keyboard (not --window, whose error on a
                # box closing meanwhile leaves the key held down and repeating into later boxes).
                xdotool("windowfocus", "--sync", current)
                xdotool("key", "Return")
                pressed = time.time() + 1.0
            time.sleep(0.1)
        if process.poll() is None:
            process.kill()
        if self.elapsed is None:
            self.elapsed = time.time() - started
        process.wait(timeout=30)
        out, err = (read_and_close(output) for output in outputs)
        self.rc, self.stdout, self.stderr = process.returncode, out, err


class PromptResult(unittest.TextTestResult):
    """Shows why a case failed as soon as it did, so that a run that CTest ends
    at its time limit still tells."""

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.stream.writeln(self.failures[-1][1])

    def addError(self, test, err):
        super().addError(test, err)
        self.stream.writeln(self.errors[-1][1])


class EndToEnd(unittest.TestCase):
    maxDiff = None

    def check(self, case):
        if case.native_only and ARGS.wine:
            self.skipTest(case.native_only)
        if case.wine_only and not ARGS.wine:
            self.skipTest("for the Windows program")
        if (case.silent_resolver or case.hosts) and not private_resolver_possible():
            self.skipTest("needs root and unshare for a resolver configuration of its own")
        if (case.ipv6_server or case.hosts) and not ipv6_loopback_possible():
            self.skipTest("needs IPv6 on the loopback interface")
        if case.hidden_station and not ARGS.wine:
            self.skipTest("window stations are Windows'; on the console nothing waits for a click")
        workdir = tempfile.mkdtemp(prefix="mailshot-e2e-")
        try:
            for name, content in FILES.items():
                with open(os.path.join(workdir, name), "wb") as f:
                    f.write(content)
            os.mkdir(os.path.join(workdir, "folder"))
            if "/A:biglist.txt" in case.args:
                with open(os.path.join(workdir, "big.bin"), "wb") as f:
                    f.write(bytes(range(256)) * (BIG_ATTACHMENT // 256))
            run = ProgramRun(case, workdir, ARGS.screens)
            run.run()
        finally:
            shutil.rmtree(workdir, ignore_errors=True)

        self.assertEqual(run.rc, case.rc, "exit code; stderr: %r" % run.stderr[-2000:])
        received = run.received.decode("latin-1") if case.dialogue is not None else ""
        boxes = [(kind, text() if callable(text) else text) for kind, text in case.boxes]
        if case.within is not None:
            # A bound against a hang, not a speed target: the program's start
            # (Wine's above all) and a large message's composition come on top,
            # the 64 MB attachment's several seconds with the sanitizers on a
            # busy machine. It stays short of the 30 s after which the server's
            # deadline or the /WAIT:30 of a silent address would end the run.
            slack = 15 if ARGS.wine else 10
            if "/A:biglist.txt" in case.args:
                slack += 5
            self.assertGreaterEqual(run.elapsed, case.within, "the outcome came before the wait was over")
            self.assertLess(run.elapsed, case.within + slack, "the outcome came too late")
            print("%s: outcome after %.2f s" % (case.name, run.elapsed), file=sys.stderr)
        if case.log is not None:
            header_bytes = len(message_data(received)) - len(BODY) + 4 if "DATA\r\n" in received else 0
            self.assertEqual(run.log_events, [event.format(port=run.port, header_bytes=header_bytes,
                                                           version=VERSION, cwd=working_directory(workdir))
                                              for event in case.log])
        if case.log_has is not None:
            wanted = [event.format(port=run.port) for event in case.log_has]
            found = iter(run.log_events or [])
            self.assertTrue(all(event in found for event in wanted),
                            "run log lacks %r in this order: %r" % (wanted, run.log_events))
        shown = [run.stdout.decode("latin-1"), run.stderr.decode("latin-1")] + (run.log_events or [])
        for secret in SECRETS:
            self.assertFalse([text for text in shown if secret in text], "a secret shows: %r" % secret)
        if ARGS.wine:
            self.assertEqual(run.captions, [kind for kind, _ in boxes],
                             "box captions in order; program's stderr: %r" % run.stderr[-1500:])
            self.assertTrue(all(run.status_window_seen), "the status window stands under every box")
            print("%s: box sizes %r" % (case.name, run.box_sizes), file=sys.stderr)
            for size in run.box_sizes:
                self.assertTrue(size and size[0] <= SCREEN[0] and size[1] <= SCREEN[1],
                                "a box of %r does not fit a screen of %r" % (size, SCREEN))
            texts = wine_box_texts(run.stderr.decode(errors="replace"))
            self.assertEqual(len(texts), len(boxes), "boxes shown")
            for (kind, expected), (text, complete) in zip(boxes, texts):
                if expected is ANY_TEXT:
                    self.assertTrue(text)
                elif isinstance(expected, OneOf):
                    self.assertTrue(expected.matches(text) or not complete and any(
                        option.startswith(text) for option in expected.texts), "%r is none of %r" % (text, expected.texts))
                elif isinstance(expected, Beginning):
                    self.assertTrue(text.startswith(expected) or not complete and expected.startswith(text),
                                    "%r does not begin with %r" % (text, expected))
                elif complete:
                    self.assertEqual(text, expected)
                else:  # Wine shortens long texts in its trace
                    self.assertTrue(expected.startswith(text), "%r is no start of %r" % (text, expected))
        else:
            infos = [text for kind, text in boxes if kind == INFO]
            errors = [text for kind, text in boxes if kind == ERROR]
            utf8 = case.env.get("LC_ALL", "").endswith("UTF-8")
            stdout = run.stdout.decode(errors="replace")
            if infos and isinstance(infos[-1], Beginning):
                stdout = stdout[:len(console_text(infos, utf8))]
            self.assertEqual(stdout, console_text(infos, utf8))
            # SIZE counts the Date line, whose day has one digit or two.
            size = str(len(message_data(received))) if "\r\n.\r\n" in received else "?"
            status = console_text([text.replace("{port}", str(run.port)).replace("{size}", size)
                                   for text in case.status], utf8)
            if ANY_TEXT in errors or any(isinstance(text, OneOf) for text in errors):
                lines = run.stderr.decode(errors="replace")[len(status):].splitlines(keepends=True)
                self.assertEqual(len(lines), len(errors), "one line per error box: %r" % lines)
                for line, expected in zip(lines, errors):
                    if isinstance(expected, OneOf):
                        self.assertIn(line, [console_text([option], utf8) for option in expected.texts])
                    elif expected is not ANY_TEXT:
                        self.assertEqual(line, console_text([expected], utf8))
            else:
                self.assertEqual(run.stderr.decode(errors="replace"), status + console_text(errors, utf8))
        if case.dialogue is None:
            if not case.full_backlog:
                self.assertFalse(run.connected, "no connection may be attempted")
        else:
            self.assertEqual(run.server_failures, "", "the server's script")
            if case.received is not None:
                self.assertEqual(masked_stamps(received), case.received)
            if case.judge is not None:
                # The data as a mail reader gets it: dot-stuffing undone.
                data = message_data(received).replace("\r\n..", "\r\n.").encode("latin-1")
                case.judge(self, email.message_from_bytes(data, policy=email.policy.default), received)


def add_case_methods():
    for case in CASES:
        setattr(EndToEnd, "test_" + case.name, lambda self, case=case: self.check(case))


def main():
    global ARGS, WINE_ENV
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--wine", help="Wine loader: run the Windows program and server under it")
    parser.add_argument("--screens", help="folder for a screenshot of every box (Wine only)")
    parser.add_argument("--launcher", help="station_launcher.exe, which starts a program on a hidden window station")
    ARGS, rest = parser.parse_known_args()
    ARGS.program, ARGS.server = os.path.abspath(ARGS.program), os.path.abspath(ARGS.server)
    if ARGS.wine and not ARGS.launcher:
        sys.exit("e2e_test: --launcher is needed under Wine")
    ARGS.launcher = ARGS.launcher and os.path.abspath(ARGS.launcher)
    global NATIVE_SERVER, CERTIFICATES
    NATIVE_SERVER = os.environ.get("MAILSHOT_NATIVE_SCRIPTED_SERVER") if ARGS.wine else ARGS.server
    if not NATIVE_SERVER or not os.path.exists(NATIVE_SERVER):
        sys.exit("e2e_test: the native scripted_server (MAILSHOT_NATIVE_SCRIPTED_SERVER under Wine) is missing")
    CERTIFICATES = tempfile.mkdtemp(prefix="mailshot-e2e-certs-")
    subprocess.run([NATIVE_SERVER, "--make-certs", CERTIFICATES], check=True, timeout=60)
    add_case_methods()
    display = None
    WINE_ENV = dict(os.environ)
    if ARGS.wine:
        display = Display()
        WINE_ENV["DISPLAY"] = display.name
        if ARGS.screens:
            os.makedirs(ARGS.screens, exist_ok=True)
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2,
                                testRunner=unittest.TextTestRunner(resultclass=PromptResult, verbosity=2))
    finally:
        if display:
            display.close()
        shutil.rmtree(CERTIFICATES, ignore_errors=True)
    result = program.result
    print("%d passed, %d failed" % (result.testsRun - len(result.failures) - len(result.errors) - len(result.skipped),
                                    len(result.failures) + len(result.errors)))
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
