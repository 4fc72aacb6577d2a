#!/usr/bin/env python3
"""Builds the Windows installer of mailshot from the folder of files that the
zip holds:

  msi.py --stage <folder> --facts build/package-win/release.json --output dist/mailshot-1.0.0-x64.msi

Every file of the folder becomes a component of its own in Program Files\\mailshot
(mailshot.wxs beside this script holds the rest). wixl cannot write the
Environment table, so the PATH entry is added to the built package with
msibuild: appended to the system PATH on install, taken out on uninstall.
Nor does it know MajorUpgrade's AllowSameVersionUpgrades, which is set in
the Upgrade table the same way.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
WIX = "http://schemas.microsoft.com/wix/2006/wi"
# The program whose component carries the PATH entry.
PROGRAM = "mailshot.exe"

# Environment: "=" set on install, "-" removed on uninstall, "*" a system
# variable; the value's leading "[~];" appends the folder to what is there.
ENVIRONMENT_IDT = (
    "Environment\tName\tValue\tComponent_\n"
    "s72\tl255\tL255\ts72\n"
    "Environment\tEnvironment\n"
    "PATH\t=-*PATH\t[~];[INSTALLDIR]\t{component}\n")
# The standard actions that process that table, at their usual places.
ENVIRONMENT_ACTIONS = (("RemoveEnvironmentStrings", 3300), ("WriteEnvironmentStrings", 5200))
# The Upgrade row that finds the installed older versions also takes the same
# version (msidbUpgradeAttributesVersionMaxInclusive), or a rebuilt package of
# one version would install beside the other, with a second PATH entry.
UPGRADE_DETECTED = "WIX_UPGRADE_DETECTED"
VERSION_MAX_INCLUSIVE = 0x200


def identifier(name):
    """A file name as an MSI identifier: letters, digits, "_" and ".", after
    a "_" so that it never begins with a digit or a dot."""
    return "_" + re.sub(r"[^A-Za-z0-9_.]", "_", name)


def files_fragment(stage):
    """The WiX fragment with one component per file of the stage folder, in
    the component group Files under INSTALLDIR."""
    names = sorted(os.listdir(stage))
    nested = [name for name in names if not os.path.isfile(os.path.join(stage, name))]
    if nested:
        raise SystemExit("msi.py: the packages are one folder; %s holds folders %r" % (stage, nested))
    if PROGRAM not in names:
        raise SystemExit("msi.py: %s holds no %s" % (stage, PROGRAM))
    ElementTree.register_namespace("", WIX)
    wix = ElementTree.Element("{%s}Wix" % WIX)
    fragment = ElementTree.SubElement(wix, "{%s}Fragment" % WIX)
    folder = ElementTree.SubElement(fragment, "{%s}DirectoryRef" % WIX, Id="INSTALLDIR")
    group = ElementTree.SubElement(fragment, "{%s}ComponentGroup" % WIX, Id="Files")
    for name in names:
        component = ElementTree.SubElement(folder, "{%s}Component" % WIX, Id=identifier(name), Guid="*",
                                           Win64="yes")
        ElementTree.SubElement(component, "{%s}File" % WIX, Id=identifier(name), Name=name, KeyPath="yes",
                               Source=name)
        ElementTree.SubElement(group, "{%s}ComponentRef" % WIX, Id=identifier(name))
    return ElementTree.tostring(wix, encoding="unicode")


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise SystemExit("msi.py: %s failed (%d):\n%s%s" % (command[0], result.returncode, result.stdout,
                                                              result.stderr))
    return result.stdout


def add_path_entry(msi, scratch):
    environment = write_idt(scratch, "Environment", ENVIRONMENT_IDT.format(component=identifier(PROGRAM)))
    sequence = run(["msiinfo", "export", msi, "InstallExecuteSequence"])
    if any(re.search("^%s\t" % action, sequence, re.M) for action, _ in ENVIRONMENT_ACTIONS):
        raise SystemExit("msi.py: wixl now schedules the environment actions itself; drop them here")
    sequence += "".join("%s\t\t%d\n" % row for row in ENVIRONMENT_ACTIONS)
    run(["msibuild", msi, "-i", environment, "-i", write_idt(scratch, "InstallExecuteSequence", sequence)])


def write_idt(scratch, table, text):
    """Writes a table's text (as msiinfo exports it) to <table>.idt in
    scratch, with the CR LF line ends of its kind, and returns its path."""
    path = os.path.join(scratch, table + ".idt")
    with open(path, "w", newline="\r\n") as f:
        f.write(text)
    return path


def replace_same_version(msi, scratch):
    """Lets the row of the Upgrade table that finds older versions find this
    version too."""
    lines = run(["msiinfo", "export", msi, "Upgrade"]).split("\n")
    changed = 0
    for i, line in enumerate(lines[3:], 3):
        columns = line.split("\t")
        if columns[-1] == UPGRADE_DETECTED:
            columns[4] = str(int(columns[4]) | VERSION_MAX_INCLUSIVE)
            lines[i] = "\t".join(columns)
            changed += 1
    if changed != 1:
        raise SystemExit("msi.py: the Upgrade table has %d rows for %s, not one" % (changed, UPGRADE_DETECTED))
    run(["msibuild", msi, "-i", write_idt(scratch, "Upgrade", "\n".join(lines))])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stage", required=True)
    parser.add_argument("--facts", required=True)
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    stage = os.path.abspath(args.stage)
    with open(args.facts, encoding="utf-8") as f:
        facts = json.load(f)
    with tempfile.TemporaryDirectory(prefix="mailshot-msi-") as scratch:
        fragment = os.path.join(scratch, "files.wxs")
        with open(fragment, "w") as f:
            f.write(files_fragment(stage))
        if os.path.exists(args.output):
            os.remove(args.output)
        # wixl finds the files' sources in its working folder.
        run(["wixl", "-a", "x64", "-D", "Version=" + facts["version"], "-D", "Manufacturer=" + facts["publisher"],
             "-D", "Summary=" + facts["summary"], "-o", os.path.abspath(args.output),
             os.path.join(HERE, "mailshot.wxs"), fragment], cwd=stage)
        add_path_entry(args.output, scratch)
        replace_same_version(args.output, scratch)


if __name__ == "__main__":
    sys.exit(main())
