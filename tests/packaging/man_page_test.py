#!/usr/bin/env python3
"""The manual page: free of groff and man warnings, and naming every switch
of the help text (mailshot /H), every option of mailshot --help and every
switch of the README's tables.

  man_page_test.py --page build/packaging/mailshot.1 --program build/mailshot --readme README.md
"""

import argparse
import re
import subprocess
import sys
import unittest

ARGS = None


def run(command):
    return subprocess.run(command, capture_output=True, text=True, timeout=60)


def page_text():
    """The page's roff source with hyphen and font escapes undone."""
    with open(ARGS.page, encoding="utf-8") as f:
        text = f.read()
    return re.sub(r"\\f[BIRP]", "", text.replace("\\-", "-").replace("\\&", ""))


def readme_switches():
    """Every switch in a backquoted first cell of a README table row."""
    found = set()
    with open(ARGS.readme, encoding="utf-8") as f:
        for line in f:
            if line.startswith("| `"):
                first_cell = line.split("|")[1]
                found.update(re.findall(r"`(/[A-Z?]+)", first_cell))
    return found


class ManPage(unittest.TestCase):
    def test_groff_finds_nothing_to_warn_about(self):
        result = run(["groff", "-ww", "-z", "-man", ARGS.page])
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_man_finds_nothing_to_warn_about(self):
        # What lintian runs on a package's pages.
        result = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", ARGS.page])
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_every_switch_and_option_is_described(self):
        help_text = run([ARGS.program, "/H"]).stdout
        options_help = run([ARGS.program, "--help"]).stdout
        switches = set(re.findall(r"/[A-Z?]+", help_text)) | readme_switches()
        options = set(re.findall(r"--[a-z][a-z0-9-]*", options_help))
        self.assertGreaterEqual(len(switches), 30, "switches found in the help and the README")
        self.assertGreaterEqual(len(options), 30, "options found in --help")
        text = page_text()
        missing = [name for name in sorted(switches) if not re.search(re.escape(name) + r"(?![A-Z])", text)]
        missing += [name for name in sorted(options) if not re.search(re.escape(name) + r"(?![a-z0-9-])", text)]
        self.assertEqual(missing, [], "not in the manual page")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--readme", required=True)
    ARGS, rest = parser.parse_known_args()
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
