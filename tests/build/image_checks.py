#!/usr/bin/env python3
"""Checks every Windows image (DLL and EXE) that a build tree makes, as built.

    image_checks.py IMAGE_LIST...

Each IMAGE_LIST is the `image-list.txt` that CMake writes at the top of a Windows build
tree (cmake/Windows.cmake): the tree's mingw triplet, then one line per image target.
Every image is read with `objdump -p` of the binutils of its own triplet, and every row
of CHECKS that applies to it is run. Prints one line per failure and a summary; exits 1
when anything failed, 2 when a list or an image cannot be read.

To add a check, add a row to CHECKS: a name, which images it applies to, and a function
that returns the image's problems (an empty list when it passes).
"""
import dataclasses
import functools
import re
import subprocess
import sys
from typing import Callable, List

COM_ENTRY_POINTS = ("DllRegisterServer", "DllUnregisterServer", "DllGetClassObject", "DllCanUnloadNow")
PRODUCT_DLL = "VARuDevavuzez"


@dataclasses.dataclass(frozen=True)
class Image:
    triplet: str      # i686-w64-mingw32 or x86_64-w64-mingw32
    kind: str         # SHARED_LIBRARY or EXECUTABLE, as CMake names target types
    target: str       # the CMake target
    source_dir: str   # the folder that defines it, relative to the project root
    path: str

    @property
    def is_dll(self) -> bool:
        return self.kind == "SHARED_LIBRARY"

    @functools.cached_property
    def dump(self) -> str:
        """`objdump -p` of the image, by the binutils of its own architecture."""
        result = subprocess.run([f"{self.triplet}-objdump", "-p", self.path],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise ImageUnreadable(f"{self.path}: {self.triplet}-objdump -p failed: {result.stderr.strip()}")
        return result.stdout

    @functools.cached_property
    def exports(self) -> List[str]:
        """The names of the export name table, as GetProcAddress sees them."""
        table = re.search(r"^\[Ordinal/Name Pointer\] Table.*?\n(.*?)(?:\n\s*\n|\Z)", self.dump, re.M | re.S)
        if not table:
            return []
        return [line.split()[-1] for line in table.group(1).splitlines() if line.strip().startswith("[")]


class ImageUnreadable(Exception):
    pass


def plain_name(export: str) -> str:
    """The name without stdcall decoration (`_Name@8` or `Name@8`)."""
    return re.sub(r"^_?(.*?)(@\d+)?$", r"\1", export)


def com_entry_points_undecorated(image: Image) -> List[str]:
    # A host finds the entry points with GetProcAddress by their plain names; a 32-bit
    # `DllRegisterServer@0` is not found, and the component is never registered.
    return [f"exports {name!r}, which GetProcAddress(\"{plain_name(name)}\") does not find"
            for name in image.exports
            if plain_name(name) in COM_ENTRY_POINTS and name != plain_name(name)]


def product_exports_exactly_com_entry_points(image: Image) -> List[str]:
    if sorted(image.exports) == sorted(COM_ENTRY_POINTS):
        return []
    return [f"exports {sorted(image.exports)}, expected exactly {sorted(COM_ENTRY_POINTS)}"]


@dataclasses.dataclass(frozen=True)
class Check:
    name: str
    applies_to: Callable[[Image], bool]
    problems: Callable[[Image], List[str]]


CHECKS = [
    Check("COM entry points exported by their plain names",
          lambda image: image.is_dll, com_entry_points_undecorated),
    Check("the control exports exactly the four COM entry points",
          lambda image: image.target == PRODUCT_DLL, product_exports_exactly_com_entry_points),
]


def read_image_list(path: str) -> List[Image]:
    """The list's first line is `triplet TRIPLET`; then `KIND<TAB>TARGET<TAB>SOURCE_DIR<TAB>PATH`."""
    with open(path, encoding="utf-8") as stream:
        lines = stream.read().splitlines()
    if not lines or not lines[0].startswith("triplet "):
        raise ImageUnreadable(f"{path}: not an image list (no triplet line)")
    triplet = lines[0].split()[1]
    return [Image(triplet, *line.split("\t")) for line in lines[1:] if line]


def run_checks(images: List[Image]) -> List[str]:
    failures = []
    for image in images:
        for check in CHECKS:
            if check.applies_to(image):
                failures += [f"FAIL {image.path} ({image.triplet}): {check.name}: {problem}"
                             for problem in check.problems(image)]
    return failures


def main(lists: List[str]) -> int:
    if not lists:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    try:
        images = [image for path in lists for image in read_image_list(path)]
        failures = run_checks(images)
    except (OSError, ImageUnreadable) as error:
        print(f"image checks: {error}", file=sys.stderr)
        return 2
    for failure in failures:
        print(failure)
    per_triplet = ", ".join(f"{sum(image.triplet == t for image in images)} {t.split('-')[0]}"
                            for t in sorted({image.triplet for image in images}))
    print(f"image checks: {len(images)} images ({per_triplet}), {len(CHECKS)} checks, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
