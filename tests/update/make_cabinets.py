#!/usr/bin/python3
"""Makes the test cabinets with gcab: make_cabinets.py OUTPUT_DIR.

OUTPUT_DIR/src holds the files that went in, for the tests to compare against. Names that
gcab refuses to store (.., drives, rooted names, streams) are made by storing a name of the
same length and patching its bytes in the uncompressed cabinet."""
import os
import shutil
import subprocess
import sys

LONG_NAME = "a-rather-long-component-file-name-0123456789.txt"


def content(name):
    # Distinct and compressible, a few kilobytes each.
    line = f"contents of {name}\n".encode()
    return line * (4000 // len(line) + 1)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def gcab(cab, names, src, compress):
    args = ["gcab", "-c"] + (["-z"] if compress else []) + [cab] + names
    subprocess.run(args, cwd=src, check=True)


def main():
    out = os.path.abspath(sys.argv[1])
    src = os.path.join(out, "src")
    shutil.rmtree(out, ignore_errors=True)
    plain = ["A.DLL", "B.DLL", "readme.txt", os.path.join("sub", "b.dll"), LONG_NAME]
    for name in plain:
        write(os.path.join(src, name), content(name))
    gcab(os.path.join(out, "several.cab"), plain, src, compress=False)
    gcab(os.path.join(out, "several-z.cab"), plain, src, compress=True)
    gcab(os.path.join(out, "only-a.cab"), ["A.DLL"], src, compress=True)

    # Stored name -> the name it is patched to.
    hostile = {
        "xx/evil1.dll": "..\\evil1.dll",
        "yy/zz/evil2.dll": "..\\..\\evil2.dll",
        "Cqevil3.dll": "C:evil3.dll",
        "qevil4.dll": "\\evil4.dll",
        "evil5.dllqs": "evil5.dll:s",
    }
    patched_src = os.path.join(out, "hostile-src")
    stored = []
    for name in hostile:
        if len(name) != len(hostile[name]):
            raise SystemExit(f"{name} and {hostile[name]} differ in length")
        write(os.path.join(patched_src, name), content(hostile[name]))
        stored.append(name)
    write(os.path.join(patched_src, "good.dll"), content("good.dll"))
    cab = os.path.join(out, "hostile.cab")
    gcab(cab, stored + ["good.dll"], patched_src, compress=False)
    data = bytearray(open(cab, "rb").read())
    for name, wanted in hostile.items():
        old = name.replace("/", "\\").encode() + b"\0"
        at = data.find(old)
        if at < 0 or data.find(old, at + 1) >= 0:
            raise SystemExit(f"stored name {name} not found once in {cab}")
        data[at:at + len(old)] = wanted.encode() + b"\0"
    write(cab, bytes(data))

    write(os.path.join(out, "not-a-cabinet.cab"), b"MSCF is not enough: this is plain text\n" * 20)


main()
