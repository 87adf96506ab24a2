#!/usr/bin/python3
"""Checks that no folder of the source tree includes a header of a folder above it.

Usage: /usr/bin/python3 layers_test.py SOURCE_FOLDER

Every `#include "folder/..."` of a .h or .cpp file is checked against the folders its own
folder may use. Prints each include that reaches up and exits with status 1 when there is one.
"""

import os
import re
import sys

# Each folder and the folders it may include, itself always allowed. Lower layers never
# reach up: platform knows no app code, the settings store no image code, the capture core
# no main program; the address rule, which the settings and the mail code share, lies below
# both.
ALLOWED = {
    "platform": set(),
    "core": {"platform"},
    "app/address": {"platform"},
    "app/settings": {"platform", "app/address"},
    "app/oauth": {"platform", "app/address", "app/settings"},
    "app/mail": {"platform", "app/address", "app/settings", "app/oauth"},
    "app/image": {"platform", "app/settings", "core"},
    "app/responder": {"platform", "app/address", "app/settings", "app/oauth", "app/mail", "app/image",
                      "core"},
    "dialogs": {"platform", "app/address", "app/settings", "app/oauth", "app/mail", "app/image", "core"},
    "uninst": {"platform"},
    "app/shell": {"platform", "app/address", "app/settings", "app/oauth", "app/mail", "app/image",
                  "app/responder", "core", "dialogs"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    """The checked folder a source path (relative to the tree) belongs to, or None."""
    for folder in sorted(ALLOWED, key=len, reverse=True):
        if path == folder or path.startswith(folder + "/"):
            return folder
    return None


def main():
    root = sys.argv[1]
    problems = []
    checked = 0
    for folder in ALLOWED:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, root)
                owner = folder_of(relative)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                checked += 1
                for included in INCLUDE.findall(text):
                    target = folder_of(included)
                    if target and target != owner and target not in ALLOWED[owner]:
                        problems.append("%s includes %s" % (relative, included))
    for problem in problems:
        print(problem)
    print("%d files checked, %d includes reach up" % (checked, len(problems)))
    return 1 if problems or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
