#!/usr/bin/python3
"""Checks the README and docs/*.md: every relative link names a file of the checkout and, with
a #fragment into a Markdown file, one of its headings (as GitHub makes their anchors); every
command or file of the checkout named in backticks or a code block exists.

    check_doc_links.py REPOSITORY_ROOT

Prints one line per broken reference and exits 1 when there is any."""

import glob
import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^\s*```.*?^\s*```", re.MULTILINE | re.DOTALL)
CODE_SPAN = re.compile(r"`[^`\n]+`")
# A path into one of the checkout's own folders, as commands and files are named in the text.
OWN_FOLDERS = ("scripts", "tools", "server", "tests", "cmake", "packaging", "base", "transfer", "update",
               "certificates", "shell")
OWN_PATH = re.compile(r"(?<![\w./-])((?:%s)/[A-Za-z0-9_.@/-]*[A-Za-z0-9_@/])" % "|".join(OWN_FOLDERS))


def documents(root):
    return [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))


def anchors(path):
    """The anchors GitHub gives the headings of a Markdown file."""
    seen, result = {}, set()
    with open(path, encoding="utf-8") as source:
        text = FENCE.sub("", source.read())
    for line in text.splitlines():
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        result.add(slug if count == 0 else f"{slug}-{count}")
    return result


def broken_links(root, path, text):
    prose = CODE_SPAN.sub("", FENCE.sub("", text))
    for target in LINK.findall(prose):
        if re.match(r"^[a-z]+:", target):
            continue
        file_part, _, fragment = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
        if os.path.relpath(linked, root).startswith(".."):
            yield f"{target}: outside the checkout"
        elif not os.path.exists(linked):
            yield f"{target}: no such file"
        elif fragment and linked.endswith(".md") and fragment not in anchors(linked):
            yield f"{target}: no heading with the anchor #{fragment} in {os.path.relpath(linked, root)}"


def missing_paths(root, text):
    code = "\n".join(FENCE.findall(text) + CODE_SPAN.findall(text) +
                     [line for line in text.splitlines() if line.startswith("    ")])
    for named in sorted(set(OWN_PATH.findall(code))):
        if not os.path.exists(os.path.join(root, named)):
            yield f"{named}: no such file in the checkout"


def main(argv):
    root = os.path.realpath(argv[1])
    problems = []
    for path in documents(root):
        with open(path, encoding="utf-8") as source:
            text = source.read()
        name = os.path.relpath(path, root)
        problems += [f"{name}: {problem}" for problem in broken_links(root, path, text)]
        problems += [f"{name}: {problem}" for problem in missing_paths(root, text)]
    for problem in problems:
        print(problem)
    print(f"docs: {len(documents(root))} files checked, {len(problems)} broken reference(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
