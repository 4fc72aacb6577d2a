#!/usr/bin/env python3
"""The packages that scripts/package.sh built into dist/, checked as a user
gets them.

  package_test.py deb --dist dist --version 1.0.0
      lintian; the control fields; unpacked into a scratch root (dpkg -x), the
      files in place and `mailshot --version` run from there; SHA256SUMS.
  package_test.py zip --dist dist --version 1.0.0 --wine /usr/lib/wine/wine64 --server scripted_server
      the zip's files; the program's version resource and manifest read back
      with pefile; the zip's mailshot.exe under Wine: /VERSION on the console
      and a message sent to the capture server.

Runs under the system's Python, where python3-pefile is installed.
"""

import argparse
import email
import email.policy
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile

ARGS = None
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=120, **kwargs)


def only(pattern):
    found = [name for name in os.listdir(ARGS.dist) if re.fullmatch(pattern, name)]
    if len(found) != 1:
        raise AssertionError("dist/ should hold one %s, holds %r" % (pattern, sorted(os.listdir(ARGS.dist))))
    return os.path.join(ARGS.dist, found[0])


def unresolved_links(folder, texts):
    """The relative links of the texts in folder (Markdown's "](target)")
    that name no file in folder, each as "text: target"."""
    missing = []
    for text in texts:
        with open(os.path.join(folder, text), encoding="utf-8") as f:
            targets = re.findall(r"\]\(([^)\s]+)\)", f.read())
        for target in targets:
            path = target.split("#")[0]
            if path and not re.match(r"[a-z]+:", path) and not os.path.isfile(os.path.join(folder, path)):
                missing.append("%s: %s" % (text, target))
    return missing


class Deb(unittest.TestCase):
    def setUp(self):
        self.deb = only(re.escape("mailshot_%s-1_amd64.deb" % ARGS.version))

    def test_lintian_reports_neither_errors_nor_warnings(self):
        result = run(["lintian", "--fail-on", "error,warning", self.deb], text=True)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
        self.assertEqual((result.returncode, tags), (0, []))

    def test_control_fields(self):
        fields = run(["dpkg-deb", "-f", self.deb, "Version", "Depends", "Section"], text=True).stdout
        self.assertIn("Version: %s-1\n" % ARGS.version, fields)
        depends = re.search(r"^Depends: (.*)$", fields, re.M).group(1)
        for library in ("libc6", "libssl3", "libcurl4"):  # the last two loaded with dlopen
            self.assertRegex(depends, r"(^|[ |,])%s( |,|$)" % library)

    def test_unpacked_it_runs_and_brings_its_documents(self):
        root = tempfile.mkdtemp(prefix="mailshot-deb-")
        try:
            self.assertEqual(run(["dpkg", "-x", self.deb, root]).returncode, 0)
            for path in ("usr/bin/mailshot", "usr/share/man/man1/mailshot.1.gz", "usr/share/doc/mailshot/README.md",
                         "usr/share/doc/mailshot/guide.md", "usr/share/doc/mailshot/changelog.Debian.gz",
                         "usr/share/doc/mailshot/copyright"):
                self.assertTrue(os.path.isfile(os.path.join(root, path)), path)
            with open(os.path.join(root, "usr/share/doc/mailshot/copyright")) as f:
                self.assertIn("\nLicense: Expat\n", f.read())
            self.assertEqual(unresolved_links(os.path.join(root, "usr/share/doc/mailshot"), ["README.md", "guide.md"]),
                             [])
            result = run([os.path.join(root, "usr/bin/mailshot"), "--version"], text=True)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "mailshot %s\n" % ARGS.version, ""))
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def test_checksums_hold(self):
        result = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=ARGS.dist, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(len(result.stdout.splitlines()), 2)


class Zip(unittest.TestCase):
    def setUp(self):
        self.zip = only(re.escape("mailshot-%s-win64.zip" % ARGS.version))
        self.dir = tempfile.mkdtemp(prefix="mailshot-zip-")
        with zipfile.ZipFile(self.zip) as archive:
            self.names = sorted(archive.namelist())
            archive.extractall(self.dir)
        self.exe = os.path.join(self.dir, "mailshot.exe")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_files_at_the_top_texts_for_notepad(self):
        self.assertEqual(self.names, ["GUIDE.txt", "LICENSE.txt", "README.txt", "mailshot.exe", "status-window.png"])
        self.assertEqual(unresolved_links(self.dir, ["README.txt", "GUIDE.txt"]), [])
        for text in ("GUIDE.txt", "LICENSE.txt", "README.txt"):
            with open(os.path.join(self.dir, text), "rb") as f:
                content = f.read()
            self.assertEqual(content.count(b"\n"), content.count(b"\r\n"), text)
        with open(os.path.join(self.dir, "LICENSE.txt")) as f:
            self.assertTrue(f.read().startswith("MIT License"))

    def test_version_resource_and_manifest(self):
        import pefile
        pe = pefile.PE(self.exe)
        strings = {}
        for info in pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(strings.get("ProductName"), "mailshot")
        self.assertEqual(strings.get("ProductVersion"), ARGS.version)
        self.assertEqual(strings.get("FileVersion"), ARGS.version)
        self.assertTrue(strings.get("FileDescription"))
        fixed = pe.VS_FIXEDFILEINFO[0]
        numbers = [int(n) for n in ARGS.version.split(".")]
        self.assertEqual([fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16],
                         numbers)
        manifests = [entry for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == 24
                     for entry in kind.directory.entries]
        self.assertEqual([entry.id for entry in manifests], [1], "one manifest, the process's own")
        data = manifests[0].directory.entries[0].data.struct
        root = ElementTree.fromstring(pe.get_data(data.OffsetToData, data.Size))
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        self.assertEqual(levels, ["asInvoker"])
        self.assertIn(WINDOWS_10_AND_11, [e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")])
        self.assertEqual([e.tag for e in root.iter() if e.tag.endswith("}activeCodePage")], [],
                         "the ANSI code page stays the system's")

    def wine(self, args):
        return run([ARGS.wine, self.exe] + args, cwd=self.dir, env=dict(os.environ, WINEDEBUG="-all"))

    def test_version_on_the_console_under_wine(self):
        result = self.wine(["/VERSION"])
        self.assertEqual((result.returncode, result.stdout), (0, b"mailshot %s\r\n" % ARGS.version.encode()))

    def test_sends_to_the_capture_server_under_wine(self):
        for name, content in (("body.txt", b"Hello from the zip\r\n"), ("rcpt.txt", b"a@example.com\r\n")):
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(content)
        received = os.path.join(self.dir, "received.txt")
        server = subprocess.Popen([ARGS.server, "--sink", "--deadline", "60000", "--received", received],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            port = int(server.stdout.readline())
            result = self.wine(["/B:body.txt", "/T:rcpt.txt", "/F:s@example.com", "/S:Packaged", "/U:me",
                                "/SMTP:127.0.0.1:%d" % port, "/NM", "/NE"])
            server.communicate(timeout=60)
        finally:
            if server.poll() is None:
                server.kill()
                server.communicate()
        self.assertEqual(result.returncode, 0, result.stderr[-1000:])
        with open(received, "rb") as f:
            transcript = f.read()
        data = transcript.split(b"DATA\r\n", 1)[1].split(b"\r\n.\r\n", 1)[0]
        message = email.message_from_bytes(data, policy=email.policy.default)
        self.assertEqual(message["Subject"], "Packaged")
        self.assertEqual(message.get_content().strip(), "Hello from the zip")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("package", choices=["deb", "zip"])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--wine")
    parser.add_argument("--server")
    ARGS, rest = parser.parse_known_args()
    ARGS.dist = os.path.abspath(ARGS.dist)
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Deb if ARGS.package == "deb" else Zip)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
