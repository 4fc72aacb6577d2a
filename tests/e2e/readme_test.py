#!/usr/bin/env python3
"""The README's own shell examples, taken from README.md at test time and run
with sh against the scripted server in sink mode. Only what ties them to a
real site changes: the server becomes the sink's loopback port, /srv/reports
a folder with the files they name, and mailshot is the built program.

  readme_test.py --program build/mailshot --server build/tests/support/scripted_server --readme README.md
"""

import argparse
import email
import email.policy
import os
import re
import subprocess
import sys
import tempfile
import unittest

from e2e_test import message_data

ARGS = None  # set by main()

TEAM = ["ann@example.com", "bob@example.com"]
FILES = {
    "body.txt": b"Hello\r\n",
    "report.txt": b"Nightly figures\r\n",
    "team.txt": b"Ann Example <ann@example.com>\r\nBob: bob@example.com\r\n",  # the forms the README shows
    "recipients.txt": b"Ann Example <ann@example.com>\r\nbob@example.com\r\n",
    "files.txt": b"figures.csv\r\n",
    "figures.csv": b"quarter;revenue\r\nQ1;1200\r\n",
}

# (name, where the example stands in README.md, sender, subject, attachments)
EXAMPLES = [
    ("shortest_with_long_options", r"\n    (mailshot --from [^\n]*)", "me@example.com", None, []),
    ("shortest_with_switches", r"\n    (mailshot\.exe /F:[^\n]*)", "me@example.com", None, []),
    ("usage_line", r"## Usage\n\n    (mailshot /B:[^\n]*)", "sender@example.com", "Nightly report", []),
    ("posix_shell_script", r"A POSIX shell script:\n\n```sh\n(.*?)```", "reports@example.com", "Nightly report",
     ["figures.csv"]),
    ("relay_without_login", r"A relay on port 25 .*?```sh\n(.*?)```", "reports@example.com", "Nightly report", []),
]


def runnable(script, port, workdir):
    """The example as it runs here: the sink for the server, the work folder for /srv/reports."""
    script = re.sub(r"(/SMTP:|--server[ =])[^\s\"]+", r"\g<1>127.0.0.1:%d" % port, script)
    return script.replace("/srv/reports", workdir).replace("mailshot.exe", "mailshot").replace(" [switches]", "")


class ReadmeExamples(unittest.TestCase):
    maxDiff = None

    def check(self, where, sender, subject, attachments):
        with open(ARGS.readme, encoding="utf-8") as f:
            found = re.search(where, f.read(), re.S)
        self.assertIsNotNone(found, "the example is no longer in the README")
        with tempfile.TemporaryDirectory(prefix="mailshot-readme-") as workdir:
            for name, content in FILES.items():
                with open(os.path.join(workdir, name), "wb") as f:
                    f.write(content)
            received_path = os.path.join(workdir, "received.bin")
            server = subprocess.Popen([ARGS.server, "--sink", "--deadline", "30000", "--received", received_path],
                                      stdout=subprocess.PIPE)
            port = int(server.stdout.readline())
            server.stdout.close()
            script = runnable(found.group(1), port, workdir)
            self.assertIn("127.0.0.1:%d" % port, script, "the example names its server as expected")
            env = dict(os.environ, PATH=os.path.dirname(ARGS.program) + os.pathsep + os.environ["PATH"])
            run = subprocess.run(["sh", "-c", script], cwd=workdir, env=env, capture_output=True, timeout=60)
            if run.returncode != 0:
                server.kill()  # the sink would wait for its client until the deadline
            server.wait(timeout=40)
            self.assertEqual(run.returncode, 0, "%s\nstderr: %r" % (script, run.stderr))
            with open(received_path, "rb") as f:
                received = f.read().decode("latin-1")
        envelope = received[:received.index("\r\nDATA\r\n")]
        self.assertRegex(envelope, r"^(HELO|EHLO) \S", "HELO names the machine")
        self.assertEqual(re.findall(r"^MAIL FROM:<(.*?)>", envelope, re.M), [sender])
        self.assertEqual(re.findall(r"^RCPT TO:<(.*?)>", envelope, re.M), TEAM)
        data = message_data(received).replace("\r\n..", "\r\n.").encode("latin-1")
        message = email.message_from_bytes(data, policy=email.policy.default)
        self.assertEqual([a.addr_spec for a in message["To"].addresses], TEAM)
        self.assertEqual(message["Subject"], subject)
        self.assertEqual([part.get_filename() for part in message.iter_attachments()], attachments)


for row in EXAMPLES:
    setattr(ReadmeExamples, "test_" + row[0], lambda self, row=row: self.check(*row[1:]))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--readme", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.program = os.path.abspath(ARGS.program)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
