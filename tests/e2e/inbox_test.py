#!/usr/bin/env python3
"""Messages that land in the inbox: each kind of message the program sends,
taken from the scripted server in sink mode, goes through SpamAssassin (local
tests only) beside the same message composed by Python's email package, and
through a second MIME parser, Perl's MIME-tools. The program's message may hit
no rule that Python's does not, never MIME_HTML_ONLY, and both parsers must
read back the subject, names, text and attachment bytes as given.

  inbox_test.py --program build/mailshot --server build/tests/support/scripted_server
"""

import argparse
import email
import email.message
import email.policy
import email.utils
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

from e2e_test import argument_bytes, message_data

ARGS = None  # set by main()

SENDER = "Nightly Reports <reports@example.com>"
RECIPIENTS = ["Carol: carol@example.com", "dave@example.com"]
SUBJECT = "Monthly sales report"
TEXT = ("Dear colleagues,\n\nplease find the figures for March below. Sales rose in every region;\n"
        "the details are in the attached files.\n\nRegards,\nThe reporting team\n")
CYRILLIC_SUBJECT = "Отчёт о продажах за март"
CYRILLIC_TEXT = ("Уважаемые коллеги!\n\nВысылаем отчёт о продажах за март. Продажи выросли во всех регионах,\n"
                 "подробности в приложенных файлах.\n\nС уважением,\nотдел отчётности\n")
UTF8_SUBJECT = "Bericht für März – Umsätze"
UTF8_TEXT = ("Liebe Kolleginnen und Kollegen,\n\nanbei der Bericht für März. Die Umsätze sind in allen "
             "Regionen gestiegen;\nEinzelheiten stehen in den Anhängen.\n\nGrüße\nIhr Berichtsteam\n")
LATIN_SUBJECT = "Größe der Dateien im März"
NAME = "Отчёт.csv"
MANY = ["user%03d@example.com" % i for i in range(300)]


def png():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    pixels = b"".join(b"\x00" + b"\x20\x60\xa0" * 16 for _ in range(16))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(pixels)) + chunk(b"IEND", b""))


PNG = png()
ATTACHMENTS = {
    "figures.pdf": b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj<<>>endobj\ntrailer<<>>\n%%EOF\n",
    "figures.csv": b"region;sales\nNorth;1200\nSouth;1350\n.\n",
    "notes.txt": b"First line\r\nSecond line with trailing blank \r\n",
    "chart.png": PNG,
    "figures.xlsx": b"PK\x03\x04" + bytes(range(256)),
    "forwarded.eml": b"From: a@example.com\r\nSubject: earlier\r\n\r\nThe earlier message.\r\n",
}
HTML = ("<html><head><title>Report</title><style>p { margin: 0 }</style></head><body>\n"
        "<h1>Monthly sales report</h1>\n<p>Dear colleagues,</p>\n"
        "<p>please find the figures for March below. Sales rose in every region; the chart shows them by month, "
        "and the <a href=\"https://reports.example.com/march\">full report</a> has the details.</p>\n"
        "<ul><li>North: 1200</li><li>South: 1350</li></ul>\n<p><img src=\"chart.png\" alt=\"Sales chart\"></p>\n"
        "<p>Regards,<br>The reporting team</p>\n</body></html>\n")


class Kind:
    """One kind of message: the program's switches and files, and what it must carry.

    text: the body as given (str, in charset); subject: as given; attachments: names in order;
    html: the body is HTML with chart.png shown; recipients: the To: addresses.
    """

    def __init__(self, name, switches, subject=SUBJECT, text=TEXT, charset="windows-1251", attachments=(),
                 html=False, recipients=RECIPIENTS, env=None):
        self.name, self.switches, self.subject, self.text = name, switches, subject, text
        self.charset, self.attachments, self.html, self.recipients = charset, list(attachments), html, recipients
        self.env = env or {}


KINDS = [
    Kind("plain", []),
    Kind("cyrillic_default_charset", ["/S:" + argument_bytes(CYRILLIC_SUBJECT, "cp1251")], CYRILLIC_SUBJECT,
         CYRILLIC_TEXT),
    Kind("utf8", ["/S:" + UTF8_SUBJECT], UTF8_SUBJECT, UTF8_TEXT, charset="utf-8"),
    Kind("subject_koi8r", ["/S:" + CYRILLIC_SUBJECT, "/SK"], CYRILLIC_SUBJECT, env={"LC_ALL": "C.UTF-8"}),
    Kind("subject_oem", ["/S:" + LATIN_SUBJECT, "/SD"], LATIN_SUBJECT, env={"LC_ALL": "C.UTF-8"}),
    Kind("attachments", ["/A:attachments.txt"], attachments=ATTACHMENTS),
    Kind("file_name_outside_ascii", ["/A:cyrillic.txt"], attachments=[NAME]),
    Kind("html_with_an_image", ["/FH"], text=HTML, html=True),
    Kind("three_hundred_recipients", ["/T:many.txt"], recipients=MANY),
]

FILES = {
    "attachments.txt": "".join(name + "\r\n" for name in ATTACHMENTS).encode(),
    "cyrillic.txt": NAME.encode("cp1251") + b"\r\n",
    "many.txt": "".join(address + "\r\n" for address in MANY).encode(),
    "rcpt.txt": "".join(address + "\r\n" for address in RECIPIENTS).encode(),
}
FILES.update(ATTACHMENTS)
# The program opens a listed name by its bytes: the Windows-1251 name is a file of that name.
FILES[os.fsdecode(NAME.encode("cp1251"))] = b"region;sales\nNorth;1200\n"
CONTENT = dict(ATTACHMENTS, **{NAME: FILES[os.fsdecode(NAME.encode("cp1251"))]})

# Reads each message with MIME-tools: its subject and every leaf part's type, file name and bytes.
MIME_TOOLS = r"""
use strict; use warnings;
use Encode; use JSON::PP; use MIME::Parser; use MIME::Words qw(decode_mimewords);
my $parser = MIME::Parser->new; $parser->output_to_core(1); $parser->decode_headers(0);
my @messages;
for my $path (@ARGV) {
  my $entity = $parser->parse_open($path);
  my $subject = $entity->head->get('Subject') // ''; $subject =~ s/\r?\n$//; $subject =~ s/\r?\n[ \t]/ /g;
  $subject = join('', map { my ($t, $c) = @$_; $c ? Encode::decode($c, $t) : Encode::decode('ascii', $t) }
                      decode_mimewords($subject));
  my @parts;
  for my $part ($entity->parts_DFS) {
    next if $part->parts;
    my $name = $part->head->recommended_filename;
    my $body = $part->bodyhandle ? $part->bodyhandle->as_string : '';
    push @parts, {type => $part->effective_type, name => $name, hex => unpack('H*', $body)};
  }
  push @messages, {subject => $subject, parts => \@parts};
}
print JSON::PP->new->canonical->encode(\@messages);
"""

STATUS = re.compile(r"^X-Spam-Status: .*?tests=(.*?)\s+autolearn=", re.M | re.S)
ENVELOPE = re.compile(rb"^From (\S+) ", re.M)


def spamassassin_rules(paths, home):
    """The rules SpamAssassin's local tests hit in each message: one run over all of them, in an mbox whose
    envelope lines tell the messages apart (they come back in an order of its own)."""
    mbox = os.path.join(home, "all.mbox")
    with open(mbox, "wb") as f:
        for index, path in enumerate(paths):
            with open(path, "rb") as message:
                data = message.read().replace(b"\r\n", b"\n")
            f.write(b"From message%d@inbox.example.com Thu Jan  1 00:00:00 2026\n" % index)
            f.write(re.sub(rb"^(>*From )", rb">\1", data, flags=re.M) + b"\n")
    with open(mbox, "rb") as f:
        run = subprocess.run(["spamassassin", "-L", "--mbox", "--cf=use_bayes 0", "--cf=use_auto_whitelist 0"],
                             stdin=f, capture_output=True, env=dict(os.environ, HOME=home), timeout=120)
    assert run.returncode == 0, run.stderr.decode(errors="replace")
    starts = list(ENVELOPE.finditer(run.stdout))
    rules = {}
    for start, end in zip(starts, starts[1:] + [None]):
        text = run.stdout[start.start():end.start() if end else None].decode("latin-1")
        status = STATUS.search(text)
        assert status, "no X-Spam-Status for %s" % start.group(1)
        rules[start.group(1).decode()] = set(re.sub(r"\s+", "", status.group(1)).split(",")) - {""}
    assert len(rules) == len(paths), "one status per message: %d of %d" % (len(rules), len(paths))
    return [rules["message%d@inbox.example.com" % index] for index in range(len(paths))]


def python_message(kind, sent):
    """The same message composed by Python's email package: sender, recipients, subject, date, identifier,
    text, HTML and attachments."""
    message = email.message.EmailMessage(policy=email.policy.SMTP)
    message["From"] = SENDER
    message["To"] = ", ".join(r.replace("Carol: ", "Carol <") + (">" if r.startswith("Carol") else "")
                              for r in kind.recipients)
    message["Subject"] = kind.subject
    message["Date"] = sent["Date"]
    message["Message-ID"] = sent["Message-ID"]
    if kind.html:
        plain = next(part for part in sent.walk() if part.get_content_type() == "text/plain").get_content()
        message.set_content(plain.replace("\r\n", "\n"))
        html = HTML.replace('src="chart.png"', 'src="cid:chart@example.com"')
        message.add_alternative(html, subtype="html")
        message.get_payload()[1].add_related(PNG, "image", "png", cid="<chart@example.com>", filename="chart.png")
    else:
        message.set_content(kind.text, charset=kind.charset)
    for name in kind.attachments:
        if name.endswith(".eml"):
            message.add_attachment(email.message_from_bytes(CONTENT[name], policy=email.policy.SMTP), filename=name)
            continue
        main, sub = (sent_type(sent, name) or "application/octet-stream").split("/")
        message.add_attachment(CONTENT[name], main, sub, filename=name)
    return message.as_bytes()


def sent_type(sent, name):
    return next((part.get_content_type() for part in sent.iter_attachments() if part.get_filename() == name), None)


class Inbox(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        for tool in ("spamassassin", "perl"):
            if not shutil.which(tool):
                raise AssertionError("%s is missing: scripts/setup.sh all installs it" % tool)
        cls.workdir = tempfile.mkdtemp(prefix="mailshot-inbox-")
        for name, content in FILES.items():
            with open(os.path.join(cls.workdir, name), "wb") as f:
                f.write(content)
        cls.sent, cls.paths = {}, []
        for kind in KINDS:
            body = "html.html" if kind.html else "body_%s.txt" % kind.name
            with open(os.path.join(cls.workdir, body), "wb") as f:
                f.write(kind.text.replace("\n", "\r\n").encode(kind.charset))
            data = cls.send(kind, body)
            sent = email.message_from_bytes(data, policy=email.policy.default)
            cls.sent[kind.name] = (data, sent)
            for origin, content in (("mailshot", data), ("python", python_message(kind, sent))):
                path = os.path.join(cls.workdir, "%s-%s.eml" % (kind.name, origin))
                with open(path, "wb") as f:
                    f.write(content)
                cls.paths.append(path)
        rules = spamassassin_rules(cls.paths, cls.workdir)
        cls.rules = {kind.name: (rules[2 * i], rules[2 * i + 1]) for i, kind in enumerate(KINDS)}
        run = subprocess.run(["perl", "-e", MIME_TOOLS] + cls.paths[::2], capture_output=True, timeout=60)
        assert run.returncode == 0, "MIME-tools: " + run.stderr.decode(errors="replace")
        cls.mime_tools = dict(zip([kind.name for kind in KINDS], json.loads(run.stdout)))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workdir, ignore_errors=True)

    @classmethod
    def send(cls, kind, body):
        received_path = os.path.join(cls.workdir, "received.bin")
        server = subprocess.Popen([ARGS.server, "--sink", "--deadline", "30000", "--received", received_path],
                                  stdout=subprocess.PIPE)
        port = int(server.stdout.readline())
        server.stdout.close()
        switches = ["/B:" + body, "/T:rcpt.txt", "/F:" + SENDER, "/S:" + SUBJECT, "/U:me.example.com",
                    "/SMTP:127.0.0.1:%d" % port, "/NM"]
        for switch in kind.switches:
            switches = [s for s in switches if not s.startswith(switch[:3])] + [switch]
        run = subprocess.run([ARGS.program] + switches, cwd=cls.workdir, capture_output=True, timeout=60,
                             env=dict(os.environ, **kind.env))
        if run.returncode != 0:
            server.kill()  # the sink would wait for its client until the deadline
        server.wait(timeout=40)
        assert run.returncode == 0, "%s: exit code %d, %r" % (kind.name, run.returncode, run.stderr)
        with open(received_path, "rb") as f:
            received = f.read().decode("latin-1")
        envelope = received[:received.index("\r\nDATA\r\n")]
        assert "MAIL FROM:<reports@example.com>\r\n" in envelope, envelope
        return message_data(received).replace("\r\n..", "\r\n.").encode("latin-1")

    def check(self, kind):
        data, sent = self.sent[kind.name]
        mailshot, python = self.rules[kind.name]
        self.assertEqual(mailshot - python, set(), "rules only the program's message hits (Python's: %s)"
                         % sorted(python))
        self.assertNotIn("MIME_HTML_ONLY", mailshot)
        self.assertNotRegex(data, rb"[\x80-\xff]", "no undeclared 8-bit byte after HELO")
        self.assertEqual(sent["From"].addresses[0].display_name, "Nightly Reports")
        self.assertEqual([a.addr_spec for a in sent["To"].addresses],
                         [r.split()[-1] for r in kind.recipients])
        self.assertEqual(sent.defects, [])

        read_back = self.mime_tools[kind.name]
        self.assertEqual(sent["Subject"], kind.subject)
        self.assertEqual(read_back["subject"], kind.subject)
        leaves = [part for part in sent.walk() if not part.is_multipart()]
        text = leaves[0]
        self.assertEqual(text.get_content_type(), "text/plain")
        if not kind.html:
            expected_text = kind.text
            # The header block ends in one more line end than the blank line (as it always did): a
            # single-part text starts with an empty line. In a multipart message the line end before a
            # boundary belongs to the boundary.
            expected_text = "\n" + expected_text if not sent.is_multipart() else expected_text[:-1]
            self.assertEqual(text.get_content_charset(), kind.charset)
            self.assertEqual(text.get_content().replace("\r\n", "\n"), expected_text)
            self.assertEqual(bytes.fromhex(read_back["parts"][0]["hex"]).decode(kind.charset).replace("\r\n", "\n"),
                             expected_text)
        if kind.html:
            self.assertIn("please find the figures for March below.", text.get_content())
            self.assertIn("full report <https://reports.example.com/march>", " ".join(text.get_content().split()))
            html, image = leaves[1], leaves[2]
            self.assertEqual(html.get_content_type(), "text/html")
            self.assertEqual(image.get_payload(decode=True), PNG)
            self.assertIn('src="cid:%s"' % image["Content-ID"].strip("<>"), html.get_content())
            self.assertEqual([p["type"] for p in read_back["parts"]], ["text/plain", "text/html", "image/png"])
            self.assertEqual(bytes.fromhex(read_back["parts"][2]["hex"]), PNG)
        attachments = [(part.get_filename(), part.get_payload(decode=True) if part.get_content_type() !=
                        "message/rfc822" else part.get_payload()[0].as_bytes(policy=email.policy.SMTP))
                       for part in sent.iter_attachments()]
        self.assertEqual(attachments, [(name, CONTENT[name]) for name in kind.attachments])
        # A message/rfc822 part is its own parts to MIME-tools, and has no file name there.
        named = [(p["name"], bytes.fromhex(p["hex"])) for p in read_back["parts"] if p["name"]]
        self.assertEqual(named, [(name, CONTENT[name]) for name in kind.attachments if not name.endswith(".eml")]
                         + ([("chart.png", PNG)] if kind.html else []))


for kind in KINDS:
    setattr(Inbox, "test_" + kind.name, lambda self, kind=kind: self.check(kind))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--server", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.program, ARGS.server = os.path.abspath(ARGS.program), os.path.abspath(ARGS.server)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
