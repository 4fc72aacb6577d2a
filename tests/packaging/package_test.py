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
  package_test.py release --dist dist --version 1.0.0 --schemas ../shared/packaging-schemas
      the MSI's tables (msiinfo) and files; the winget and Scoop manifests
      against their published schemas and the release's files; the version
      of every package and manifest; signing with a throw-away certificate.
  package_test.py msi --dist dist --version 1.0.0 --wine /usr/lib/wine/wine64
      under Wine (WINEPREFIX): the MSI installs quietly, a new cmd finds the
      program through the system PATH, a newer build replaces it, and the
      uninstall leaves neither files nor the PATH entry.

Runs under the system's Python, where python3-pefile, python3-yaml and
python3-jsonschema are installed.
"""

import argparse
import email
import email.policy
import hashlib
import json
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
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WINDOWS_PACKAGING = os.path.join(SOURCE, "packaging", "windows")
UPGRADE_CODE = "{6959744B-DD1D-47BD-A74F-1EED747DA3C2}"
WINGET_ID = "Mailshot.Mailshot"
DEFAULT_RELEASE_URL = "https://example.org/mailshot/releases/{version}/{file}"


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=120, **kwargs)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def zip_name():
    return "mailshot-%s-win64.zip" % ARGS.version


def msi_name():
    return "mailshot-%s-x64.msi" % ARGS.version


def msi_table(msi, table):
    """The rows of one table of an MSI, each a tuple of its columns' texts."""
    result = run(["msiinfo", "export", msi, table], text=True)
    if result.returncode != 0:
        raise AssertionError("msiinfo export %s %s: %s" % (msi, table, result.stderr))
    return [tuple(line.split("\t")) for line in result.stdout.splitlines()[3:] if line]


def version_strings(exe):
    """The StringFileInfo of a Windows program's version resource, and its
    fixed file version as a list of numbers."""
    import pefile
    pe = pefile.PE(exe)
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = pe.VS_FIXEDFILEINFO[0]
    return strings, [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16], pe


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

    def test_checksums_hold_for_every_file(self):
        result = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=ARGS.dist, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        checked = sorted(line.rsplit(": ", 1)[0] for line in result.stdout.splitlines())
        every = sorted(os.path.relpath(os.path.join(folder, name), ARGS.dist)
                       for folder, _, names in os.walk(ARGS.dist) for name in names)
        every.remove("SHA256SUMS")
        self.assertEqual(checked, every)


class Zip(unittest.TestCase):
    def setUp(self):
        self.zip = only(re.escape(zip_name()))
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
        strings, numbers, pe = version_strings(self.exe)
        self.assertEqual(strings.get("ProductName"), "mailshot")
        self.assertEqual(strings.get("ProductVersion"), ARGS.version)
        self.assertEqual(strings.get("FileVersion"), ARGS.version)
        self.assertTrue(strings.get("FileDescription"))
        self.assertEqual(numbers, [int(n) for n in ARGS.version.split(".")])
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


class Release(unittest.TestCase):
    """The MSI, the manifests, the one version and the signing script, checked
    natively."""

    @classmethod
    def setUpClass(cls):
        cls.zip = only(re.escape(zip_name()))
        cls.msi = only(re.escape(msi_name()))
        cls.scratch = tempfile.mkdtemp(prefix="mailshot-release-")
        cls.unzipped = os.path.join(cls.scratch, "zip")
        with zipfile.ZipFile(cls.zip) as archive:
            archive.extractall(cls.unzipped)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def winget(self):
        """The winget manifests by their file names, each (first line, YAML)."""
        import yaml
        folder = os.path.join(ARGS.dist, "winget")
        manifests = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                text = f.read()
            manifests[name] = (text.split("\n", 1)[0], yaml.safe_load(text))
        return manifests

    def scoop(self):
        with open(os.path.join(ARGS.dist, "scoop", "mailshot.json"), encoding="utf-8") as f:
            return json.load(f)

    def test_msi_tables(self):
        properties = dict(msi_table(self.msi, "Property"))
        self.assertEqual({name: properties.get(name) for name in
                          ("ProductName", "ProductVersion", "Manufacturer", "UpgradeCode", "ALLUSERS", "ARPNOMODIFY")},
                         {"ProductName": "mailshot", "ProductVersion": ARGS.version,
                          "Manufacturer": "The mailshot developers", "UpgradeCode": UPGRADE_CODE, "ALLUSERS": "1",
                          "ARPNOMODIFY": "1"})
        self.assertRegex(properties.get("ProductCode", ""), r"^\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}$")
        self.assertIn(("INSTALLDIR", "ProgramFiles64Folder", "mailshot"), msi_table(self.msi, "Directory"))
        self.assertIn("Template: x64;1033", run(["msiinfo", "suminfo", self.msi], text=True).stdout.splitlines())
        # Appended to the system PATH on install, taken out on uninstall, with the program.
        self.assertEqual(msi_table(self.msi, "Environment"), [("PATH", "=-*PATH", "[~];[INSTALLDIR]", "_mailshot.exe")])
        sequence = {row[0]: int(row[2]) for row in msi_table(self.msi, "InstallExecuteSequence")}
        self.assertLess(sequence["InstallInitialize"], sequence["RemoveEnvironmentStrings"])
        self.assertLess(sequence["InstallFiles"], sequence["WriteEnvironmentStrings"])
        self.assertLess(sequence["WriteEnvironmentStrings"], sequence["InstallFinalize"])
        # Older versions and a rebuild of this one are replaced; a newer one stops the install.
        self.assertEqual(sorted(msi_table(self.msi, "Upgrade")),
                         [(UPGRADE_CODE, "", ARGS.version, "", "513", "", "WIX_UPGRADE_DETECTED"),
                          (UPGRADE_CODE, ARGS.version, "", "", "2", "", "WIX_DOWNGRADE_DETECTED")])
        self.assertEqual([row[0] for row in msi_table(self.msi, "LaunchCondition")], ["NOT WIX_DOWNGRADE_DETECTED"])

    def test_msi_installs_what_the_zip_holds(self):
        extracted = os.path.join(self.scratch, "msi")
        self.assertEqual(run(["msiextract", "-C", extracted, self.msi]).returncode, 0)
        folder = os.path.join(extracted, "mailshot")

        def files(root):
            return {name: sha256(os.path.join(root, name)) for name in os.listdir(root)}
        self.assertEqual(files(folder), files(self.unzipped))

    def test_manifests_validate_against_the_published_schemas(self):
        import jsonschema
        manifests = self.winget()
        self.assertEqual(sorted(manifests), sorted(WINGET_ID + suffix for suffix in
                                                   (".yaml", ".installer.yaml", ".locale.en-US.yaml")))
        documents = [("scoop", "scoop-manifest.schema.json", self.scoop())]
        for name, (first_line, manifest) in sorted(manifests.items()):
            kind = manifest.get("ManifestType")
            self.assertEqual(first_line, "# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.1.10.0"
                             ".schema.json" % kind, name)
            documents.append((name, "winget-manifest.%s.1.10.0.json" % kind, manifest))
        for name, schema_file, document in documents:
            with open(os.path.join(ARGS.schemas, schema_file), encoding="utf-8") as f:
                schema = json.load(f)
            errors = [error.message for error in jsonschema.Draft7Validator(schema).iter_errors(document)]
            self.assertEqual(errors, [], name)

    def test_manifests_name_the_release_files_and_their_hashes(self):
        url = lambda file: DEFAULT_RELEASE_URL.format(version=ARGS.version, file=file)
        # Every program of the zip is a command of both managers'.
        programs = sorted(name for name in os.listdir(self.unzipped) if name.endswith(".exe"))
        self.assertIn("mailshot.exe", programs)
        commands = [program[:-len(".exe")] for program in programs]
        installers = self.winget()[WINGET_ID + ".installer.yaml"][1]["Installers"]
        zip_installer, msi_installer = installers
        self.assertEqual((zip_installer["InstallerUrl"], zip_installer["InstallerSha256"],
                          zip_installer["NestedInstallerFiles"], zip_installer["Commands"]),
                         (url(zip_name()), sha256(self.zip).upper(),
                          [{"RelativeFilePath": program, "PortableCommandAlias": command}
                           for program, command in zip(programs, commands)], commands))
        properties = dict(msi_table(self.msi, "Property"))
        self.assertEqual((msi_installer["InstallerUrl"], msi_installer["InstallerSha256"], msi_installer["Scope"],
                          msi_installer["ProductCode"], msi_installer["AppsAndFeaturesEntries"],
                          msi_installer["Commands"]),
                         (url(msi_name()), sha256(self.msi).upper(), "machine", properties["ProductCode"],
                          [{"UpgradeCode": UPGRADE_CODE}], commands))
        scoop = self.scoop()
        self.assertEqual((scoop["url"], scoop["hash"], scoop["bin"]), (url(zip_name()), sha256(self.zip), programs))
        # Scoop's autoupdate, given this version, finds this release again.
        autoupdate = scoop["autoupdate"]
        self.assertEqual((autoupdate["url"].replace("$version", ARGS.version),
                          autoupdate["hash"]["url"].replace("$version", ARGS.version)),
                         (url(zip_name()), url("SHA256SUMS")))
        self.assertRegex(zip_name(), scoop["checkver"]["regex"])

    def test_release_url_template(self):
        dist = os.path.join(self.scratch, "dist")
        os.makedirs(dist)
        for package in (self.zip, self.msi):
            os.symlink(package, os.path.join(dist, os.path.basename(package)))
        facts = os.path.join(self.scratch, "release.json")
        with open(facts, "w") as f:
            json.dump({"version": ARGS.version, "summary": "s", "description": "d", "publisher": "p", "license": "MIT",
                       "homepage": "https://example.org/", "release_url": DEFAULT_RELEASE_URL}, f)
        cases = [  # template, the zip's address or None where the template is refused
            ("https://files.example.net/v{version}/{file}",
             "https://files.example.net/v%s/%s" % (ARGS.version, zip_name())),
            ("https://files.example.net/{file}", "https://files.example.net/" + zip_name()),
            ("https://files.example.net/{version}/mailshot.zip", None),  # every file at one address
            ("http://files.example.net/{version}/{file}", None),
        ]
        for template, expected in cases:
            with self.subTest(template=template):
                shutil.rmtree(os.path.join(dist, "scoop"), ignore_errors=True)
                result = run([sys.executable, os.path.join(WINDOWS_PACKAGING, "manifests.py"), "--facts", facts,
                              "--dist", dist, "--release-url", template], text=True)
                if expected is None:
                    self.assertNotEqual(result.returncode, 0)
                    self.assertIn(template, result.stderr)
                    self.assertFalse(os.path.exists(os.path.join(dist, "scoop")))
                    continue
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(os.path.join(dist, "scoop", "mailshot.json")) as f:
                    self.assertEqual(json.load(f)["url"], expected)

    def test_one_version_everywhere(self):
        deb = only(re.escape("mailshot_%s-1_amd64.deb" % ARGS.version))
        strings, numbers, _ = version_strings(os.path.join(self.unzipped, "mailshot.exe"))
        versions = {
            "deb": run(["dpkg-deb", "-f", deb, "Version"], text=True).stdout.strip().rsplit("-", 1)[0],
            "exe ProductVersion": strings.get("ProductVersion"),
            "exe FileVersion": strings.get("FileVersion"),
            "exe fixed version": ".".join(map(str, numbers)),
            "msi": dict(msi_table(self.msi, "Property")).get("ProductVersion"),
            "scoop": self.scoop()["version"],
        }
        for name, (_, manifest) in self.winget().items():
            versions[name] = manifest["PackageVersion"]
        self.assertEqual(versions, dict.fromkeys(versions, ARGS.version))

    def test_signed_with_a_throw_away_certificate(self):
        folder = os.path.join(self.scratch, "signing")
        os.makedirs(folder)
        ca = make_code_signing_certificate(folder)
        other_root = os.path.join(folder, "other.pem")
        self.assertEqual(run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                              "-nodes", "-keyout", os.path.join(folder, "other.key"), "-out", other_root,
                              "-days", "2", "-subj", "/CN=another root"]).returncode, 0)
        files = [os.path.join(folder, "mailshot.exe"), os.path.join(folder, msi_name())]
        shutil.copy(os.path.join(self.unzipped, "mailshot.exe"), files[0])
        shutil.copy(self.msi, files[1])
        unsigned = [sha256(file) for file in files]
        environment = dict(os.environ, MAILSHOT_SIGN_PFX=ca["pfx"], MAILSHOT_SIGN_PASSWORD_FILE=ca["password"])
        sign = [os.path.join(WINDOWS_PACKAGING, "sign.sh")]
        # A time-stamp server that cannot be reached fails the signing and
        # leaves the files as they were.
        result = run(sign + files, env=dict(environment, MAILSHOT_SIGN_TIMESTAMP_URL="http://127.0.0.1:9/"), text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual([sha256(file) for file in files], unsigned)

        result = run(sign + files, env=environment, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        for file in files:
            with self.subTest(file=os.path.basename(file)):
                verified = run(["osslsigncode", "verify", "-CAfile", ca["root"], "-in", file], text=True)
                self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                self.assertRegex(verified.stdout, r"Message digest algorithm *: SHA256")
                self.assertIn("Signature verification: ok", verified.stdout)
                self.assertNotEqual(run(["osslsigncode", "verify", "-CAfile", other_root, "-in", file]).returncode, 0)
        strings, _, _ = version_strings(files[0])
        self.assertEqual(strings.get("ProductVersion"), ARGS.version, "the signed program keeps its resources")


def make_code_signing_certificate(folder):
    """A throw-away root and a code-signing certificate it issued, in a
    PKCS#12 file whose password (with a space in it) is in a file of its own."""
    paths = {name: os.path.join(folder, name) for name in
             ("root.key", "root.pem", "leaf.key", "leaf.csr", "leaf.pem", "leaf.ext", "password", "signer.pfx")}
    with open(paths["leaf.ext"], "w") as f:
        f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    with open(paths["password"], "w") as f:
        f.write("throw away\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for command in (
            ["req", "-x509"] + key + ["-keyout", paths["root.key"], "-out", paths["root.pem"], "-days", "2",
                                      "-subj", "/CN=mailshot test root", "-addext", "basicConstraints=critical,CA:true",
                                      "-addext", "keyUsage=critical,keyCertSign"],
            ["req"] + key + ["-keyout", paths["leaf.key"], "-out", paths["leaf.csr"], "-subj", "/CN=mailshot test"],
            ["x509", "-req", "-in", paths["leaf.csr"], "-CA", paths["root.pem"], "-CAkey", paths["root.key"],
             "-CAcreateserial", "-days", "2", "-extfile", paths["leaf.ext"], "-out", paths["leaf.pem"]],
            ["pkcs12", "-export", "-inkey", paths["leaf.key"], "-in", paths["leaf.pem"], "-certfile", paths["root.pem"],
             "-passout", "file:" + paths["password"], "-out", paths["signer.pfx"]]):
        result = run(["openssl"] + command, text=True)
        if result.returncode != 0:
            raise AssertionError("openssl %s: %s" % (command[0], result.stderr))
    return {"root": paths["root.pem"], "pfx": paths["signer.pfx"], "password": paths["password"]}


class Msi(unittest.TestCase):
    """The MSI installed, upgraded and removed under Wine, in the prefix that
    WINEPREFIX names."""

    ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"

    def setUp(self):
        self.msi = only(re.escape(msi_name()))
        self.folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "Program Files", "mailshot")
        self.scratch = tempfile.mkdtemp(prefix="mailshot-msi-")

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)

    def wine(self, args):
        return run([ARGS.wine] + args, cwd=self.scratch, env=dict(os.environ, WINEDEBUG="-all"))

    def msiexec(self, action, msi):
        result = self.wine(["msiexec", action, msi, "/qn"])
        self.assertEqual(result.returncode, 0, "msiexec %s %s" % (action, os.path.basename(msi)))

    def system_path(self):
        result = self.wine(["reg", "query", self.ENVIRONMENT_KEY, "/v", "PATH"])
        return re.search(rb"PATH +REG_\w+ +(.*?)\r?$", result.stdout, re.M).group(1).decode()

    def installed_versions(self):
        """The versions of mailshot that Programs and Features lists."""
        listing = self.wine(["reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s"])
        products = [dict(re.findall(r"^ +(\w+) +REG_SZ +(.*?)\r?$", key, re.M))
                    for key in re.split(r"\r?\n\r?\n", listing.stdout.decode(errors="replace"))]
        return [product.get("DisplayVersion") for product in products if product.get("DisplayName") == "mailshot"]

    def newer_msi(self):
        """The same files as a build of the next version: (its MSI, that version)."""
        numbers = ARGS.version.split(".")
        newer = ".".join(numbers[:-1] + [str(int(numbers[-1]) + 1)])
        stage = os.path.join(self.scratch, "stage")
        with zipfile.ZipFile(only(re.escape(zip_name()))) as archive:
            archive.extractall(stage)
        facts = os.path.join(self.scratch, "release.json")
        with open(facts, "w") as f:
            json.dump({"version": newer, "publisher": "The mailshot developers", "summary": "newer"}, f)
        msi = os.path.join(self.scratch, "mailshot-%s-x64.msi" % newer)
        result = run([sys.executable, os.path.join(WINDOWS_PACKAGING, "msi.py"), "--stage", stage, "--facts", facts,
                      "--output", msi], text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return msi, newer

    def test_installs_upgrades_and_uninstalls_quietly(self):
        self.assertFalse(os.path.exists(self.folder), "a mailshot is left in %s from an earlier run: "
                                                       "remove that prefix" % os.environ["WINEPREFIX"])
        before = self.system_path()
        entries_before = path_entries(before)
        entry = "C:\\Program Files\\mailshot\\"
        newer, newer_version = self.newer_msi()
        with zipfile.ZipFile(only(re.escape(zip_name()))) as archive:
            names = sorted(archive.namelist())
        try:
            self.msiexec("/i", self.msi)
            self.assertEqual(sorted(os.listdir(self.folder)), names)
            self.assertEqual(path_entries(self.system_path()), entries_before + [entry])
            # A new cmd takes the system PATH from the registry.
            result = self.wine(["cmd", "/c", "mailshot.exe", "/VERSION"])
            self.assertEqual(result.stdout, b"mailshot %s\r\n" % ARGS.version.encode(), result.stderr[-500:])
            self.msiexec("/x", self.msi)
            self.assertFalse(os.path.exists(self.folder))
            self.assertEqual(path_entries(self.system_path()), entries_before)

            # A newer build replaces the older: one product, one PATH entry.
            self.msiexec("/i", self.msi)
            self.msiexec("/i", newer)
            self.assertEqual(self.installed_versions(), [newer_version])
            self.assertEqual(path_entries(self.system_path()), entries_before + [entry])
            self.msiexec("/x", newer)
            self.assertFalse(os.path.exists(self.folder))
            self.assertEqual(path_entries(self.system_path()), entries_before)
        finally:
            if os.path.exists(self.folder):
                for msi in (newer, self.msi):
                    self.wine(["msiexec", "/x", msi, "/qn"])
            # Wine's uninstall leaves the ";" before the entry it took out, and
            # its cmd stops searching the PATH at an empty entry: put the value
            # back as it was for the next run.
            self.wine(["reg", "add", self.ENVIRONMENT_KEY, "/v", "PATH", "/t", "REG_EXPAND_SZ", "/d", before, "/f"])


def path_entries(value):
    """The folders of a PATH value (without the empty entries Wine leaves)."""
    return [entry for entry in value.split(";") if entry]


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("package", choices=["deb", "zip", "release", "msi"])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--wine")
    parser.add_argument("--server")
    parser.add_argument("--schemas")
    ARGS, rest = parser.parse_known_args()
    ARGS.dist = os.path.abspath(ARGS.dist)
    cases = {"deb": Deb, "zip": Zip, "release": Release, "msi": Msi}[ARGS.package]
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(cases)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
