#!/usr/bin/env python3
"""Writes the package managers' manifests of a release into dist/, from the
zip and the MSI that scripts/package.sh put there:

  manifests.py --facts build/package-win/release.json --dist dist [--release-url TEMPLATE]

  dist/winget/Mailshot.Mailshot.yaml                 winget: the version file,
  dist/winget/Mailshot.Mailshot.installer.yaml       the installers (the zip as a portable
  dist/winget/Mailshot.Mailshot.locale.en-US.yaml    install, the MSI), the texts
  dist/scoop/mailshot.json                           Scoop

The template names where a release's files are downloaded from: "{version}"
and "{file}" in it stand for the version and a file's name. Without one,
the facts' default. Every program of the zip (each .exe) is a command of
both managers'. Runs under Debian's Python, which has python3-yaml.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import zipfile

import yaml

PACKAGE_IDENTIFIER = "Mailshot.Mailshot"
WINGET_MANIFEST_VERSION = "1.10.0"
WINGET_SCHEMA = "https://aka.ms/winget-manifest.%s.1.10.0.schema.json"
SCOOP_SCHEMA = "https://raw.githubusercontent.com/ScoopInstaller/Scoop/master/schema.json"
LOCALE = "en-US"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def msi_property(msi, name):
    table = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, text=True, check=True).stdout
    found = re.search(r"^%s\t(.*?)\r?$" % re.escape(name), table, re.M)
    if not found:
        raise SystemExit("manifests.py: %s has no property %s" % (msi, name))
    return found.group(1)


def download_url(template, version, file):
    return template.replace("{version}", version).replace("{file}", file)


def check_template(template):
    """Refuses a template that would give every file one address, or one
    that is not HTTPS."""
    if "{file}" not in template:
        raise SystemExit("manifests.py: the release URL %r has no {file}" % template)
    if not template.startswith("https://"):
        raise SystemExit("manifests.py: the release URL %r is not https://" % template)


def write_yaml(path, kind, content):
    with open(path, "w", encoding="utf-8") as f:
        f.write("# yaml-language-server: $schema=%s\n" % (WINGET_SCHEMA % kind))
        yaml.safe_dump(content, f, sort_keys=False, allow_unicode=True, width=1000)


def winget(folder, facts, zip_path, zip_url, programs, msi, msi_url):
    os.makedirs(folder, exist_ok=True)
    common = {"PackageIdentifier": PACKAGE_IDENTIFIER, "PackageVersion": facts["version"]}
    tail = {"ManifestVersion": WINGET_MANIFEST_VERSION}
    commands = [os.path.splitext(program)[0] for program in programs]
    base = os.path.join(folder, PACKAGE_IDENTIFIER)
    write_yaml(base + ".yaml", "version",
               {**common, "DefaultLocale": LOCALE, "ManifestType": "version", **tail})
    write_yaml(base + ".installer.yaml", "installer", {
        **common,
        "MinimumOSVersion": "10.0.0.0",
        "Installers": [
            {"Architecture": "x64", "InstallerType": "zip", "NestedInstallerType": "portable",
             "NestedInstallerFiles": [{"RelativeFilePath": program, "PortableCommandAlias": command}
                                      for program, command in zip(programs, commands)],
             "Commands": list(commands),
             "InstallerUrl": zip_url, "InstallerSha256": sha256(zip_path).upper()},
            {"Architecture": "x64", "InstallerType": "msi", "Scope": "machine",
             "InstallerUrl": msi_url, "InstallerSha256": sha256(msi).upper(),
             "Commands": list(commands),  # a copy each: no YAML alias
             "ProductCode": msi_property(msi, "ProductCode"),
             "AppsAndFeaturesEntries": [{"UpgradeCode": msi_property(msi, "UpgradeCode")}],
             "UpgradeBehavior": "install"},
        ],
        "ManifestType": "installer", **tail})
    write_yaml(base + ".locale.%s.yaml" % LOCALE, "defaultLocale", {
        **common,
        "PackageLocale": LOCALE,
        "Publisher": facts["publisher"],
        "PackageName": "mailshot",
        "PackageUrl": facts["homepage"],
        "License": facts["license"],
        "ShortDescription": facts["summary"],
        "Description": facts["description"],
        "Moniker": "mailshot",
        "Tags": ["email", "smtp", "command-line", "scripting"],
        "ManifestType": "defaultLocale", **tail})


def scoop(folder, facts, zip_path, zip_url, programs, template):
    os.makedirs(folder, exist_ok=True)
    zip_name = os.path.basename(zip_path)
    manifest = {
        "$schema": SCOOP_SCHEMA,
        "version": facts["version"],
        "description": facts["summary"],
        "homepage": facts["homepage"],
        "license": facts["license"],
        "url": zip_url,
        "hash": sha256(zip_path),
        "bin": programs,
        # The home page links to the newest zip.
        "checkver": {"url": facts["homepage"], "regex": r"mailshot-([\d.]+)-win64\.zip"},
        "autoupdate": {
            "url": download_url(template, "$version", zip_name.replace(facts["version"], "$version")),
            "hash": {"url": download_url(template, "$version", "SHA256SUMS")},
        },
    }
    with open(os.path.join(folder, "mailshot.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=4)
        f.write("\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--facts", required=True)
    parser.add_argument("--dist", required=True)
    parser.add_argument("--release-url")
    args = parser.parse_args()
    with open(args.facts, encoding="utf-8") as f:
        facts = json.load(f)
    template = args.release_url or facts["release_url"]
    check_template(template)
    version = facts["version"]
    zip_name = "mailshot-%s-win64.zip" % version
    msi_name = "mailshot-%s-x64.msi" % version
    zip_path = os.path.join(args.dist, zip_name)
    with zipfile.ZipFile(zip_path) as archive:
        programs = sorted(name for name in archive.namelist() if name.lower().endswith(".exe"))
    zip_url = download_url(template, version, zip_name)
    winget(os.path.join(args.dist, "winget"), facts, zip_path, zip_url, programs, os.path.join(args.dist, msi_name),
           download_url(template, version, msi_name))
    scoop(os.path.join(args.dist, "scoop"), facts, zip_path, zip_url, programs, template)


if __name__ == "__main__":
    sys.exit(main())
