#!/usr/bin/env python3
"""Fails on an include that points up the layers of the code.

    include_layers.py ROOT          checks the repository at ROOT
    include_layers.py --self-test   checks the checker on a planted tree

One CMake target puts the repository root on every include path, so the compiler accepts
any `#include "folder/file.h"`; this check is what keeps the layers. A file may include
its own folder and any folder of a lower layer:

    base -> trust -> transfer -> update, certificates -> shell -> tools

`update` and `certificates` stand side by side and do not include each other. Product code
never includes tests, and no include climbs with "..".
"""
import os
import re
import sys
import tempfile
from typing import Dict, List, Optional

LAYERS: Dict[str, int] = {
    "base": 0, "trust": 1, "transfer": 2, "update": 3, "certificates": 3, "shell": 4, "tools": 5,
}
# Folders of the repository that product code may never include from.
NEVER_INCLUDED = ("tests", "server", "scripts", "cmake", "packaging")
SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp", ".rc", ".idl")
INCLUDE = re.compile(r'^\s*#\s*(?:include|import)\s+"([^"]+)"', re.M)


def include_problem(folder: str, included: str) -> Optional[str]:
    """Why a file of `folder` may not include `included`; None when it may."""
    if included.startswith("../") or "/../" in included:
        return "climbs with '..' instead of naming a root-relative path"
    head = included.split("/", 1)[0] if "/" in included else None
    if head is None:
        return None  # the file's own folder, or a generated header beside it
    if head in NEVER_INCLUDED:
        return f"product code includes {head}/"
    if head not in LAYERS:
        return None  # a system or third-party header given with a path
    if head == folder:
        return None
    if LAYERS[head] >= LAYERS[folder]:
        return f"{folder}/ may not include {head}/ ({folder} sits at or below {head})"
    return None


def problems_in(root: str) -> List[str]:
    found = []
    for folder in LAYERS:
        for directory, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8", errors="replace") as stream:
                    text = stream.read()
                for match in INCLUDE.finditer(text):
                    problem = include_problem(folder, match.group(1))
                    if problem:
                        line = text.count("\n", 0, match.start()) + 1
                        found.append(f"{os.path.relpath(path, root)}:{line}: \"{match.group(1)}\": {problem}")
    return found


def self_test() -> int:
    # (file, include, expected to be refused)
    plants = [
        ("base/a.h", "base/b.h", False),
        ("trust/a.cpp", "base/origin.h", False),
        ("transfer/a.cpp", "trust/signed_manifest.h", False),
        ("update/a.cpp", "transfer/downloader.h", False),
        ("shell/a.cpp", "certificates/x.h", False),
        ("tools/host/a.cpp", "shell/installer.h", False),
        ("shell/a.cpp", "installer_h.h", False),
        ("base/a.h", "trust/install_ledger.h", True),
        ("trust/a.cpp", "transfer/http_request.h", True),
        ("transfer/a.cpp", "update/path_rules.h", True),
        ("update/a.cpp", "certificates/x.h", True),
        ("certificates/a.cpp", "update/x.h", True),
        ("update/a.cpp", "shell/text.h", True),
        ("shell/a.cpp", "tools/x.h", True),
        ("transfer/a.cpp", "tests/support/files.h", True),
        ("update/a.cpp", "../base/ascii.h", True),
    ]
    failures = 0
    for source, included, refused in plants:
        with tempfile.TemporaryDirectory() as root:
            path = os.path.join(root, source)
            os.makedirs(os.path.dirname(path))
            with open(path, "w") as stream:
                stream.write(f'#pragma once\n#include <vector>\n  #  include "{included}"\n')
            found = problems_in(root)
            if bool(found) != refused:
                print(f"self-test: {source} including {included}: expected {'a refusal' if refused else 'none'}, "
                      f"got {found or 'none'}")
                failures += 1
    print(f"include layers self-test: {len(plants)} planted includes, {failures} misjudged")
    return 1 if failures else 0


def main(argv: List[str]) -> int:
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    found = problems_in(argv[1])
    for problem in found:
        print(problem)
    print(f"include layers: {len(found)} include(s) against base -> trust -> transfer -> update, certificates "
          f"-> shell -> tools")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
