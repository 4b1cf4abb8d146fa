"""tools/publish: cabinets that gcab can read back, and a catalog in the list format."""

import importlib.machinery
import importlib.util
import os
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
loader = importlib.machinery.SourceFileLoader("publish", os.path.join(ROOT, "tools", "publish"))
spec = importlib.util.spec_from_loader("publish", loader)
publish = importlib.util.module_from_spec(spec)
loader.exec_module(publish)


class PublishTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = self.work.name
        with open(os.path.join(self.dir, "alpha.dll"), "wb") as f:
            f.write(b"MZ library bytes")
        with open(os.path.join(self.dir, "notes.txt"), "wb") as f:
            f.write(b"plain data\n")

    def tearDown(self):
        self.work.cleanup()

    def write_list(self, text):
        path = os.path.join(self.dir, "components.list")
        with open(path, "w") as f:
            f.write(text)
        return path

    def run_tool(self, list_path, out, *extra):
        return subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "publish"), "--list", list_path,
                               "--out", out, *extra], capture_output=True, text=True)

    def write_image(self, name, machine):
        """A minimal PE header: enough for the machine-type check."""
        header = bytearray(0x80)
        header[:2] = b"MZ"
        header[0x3C:0x40] = (0x40).to_bytes(4, "little")
        header[0x40:0x44] = b"PE\0\0"
        header[0x44:0x46] = machine.to_bytes(2, "little")
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(bytes(header))

    def test_warns_about_libraries_of_another_architecture(self):
        self.write_image("wide.dll", 0x8664)
        self.write_image("narrow.dll", 0x014C)
        listing = self.write_list("wide,wide.dll,1.0.0.0,library\nnarrow,narrow.dll,1.0.0.0,library\n"
                                  "notes,notes.txt,1.0.0.0,file\n")
        cases = (((), "wide.dll is built for x86_64, but --arch is x86"),
                 (("--arch", "x86_64"), "narrow.dll is built for x86, but --arch is x86_64"))
        for extra, expected in cases:
            with self.subTest(extra=extra):
                result = self.run_tool(listing, os.path.join(self.dir, "served"), *extra)
                self.assertEqual(0, result.returncode, result.stderr)
                warnings = [line for line in result.stderr.splitlines() if "warning:" in line]
                self.assertEqual(1, len(warnings), result.stderr)
                self.assertIn(expected, warnings[0])
                # What is printed is the catalog's own text.
                with open(os.path.join(self.dir, "served", "cvprobecl.txt")) as f:
                    self.assertEqual(f.read(), result.stdout)
        result = self.run_tool(self.write_list("alpha,alpha.dll,1.0.0.0,library\n"), os.path.join(self.dir, "s2"))
        self.assertIn("alpha.dll is not a Windows library", result.stderr)

    def test_catalog_and_cabinets(self):
        out = os.path.join(self.dir, "served")
        result = self.run_tool(self.write_list("alpha, alpha.dll, 1.2.3.4, library\n\n# note\nnotes,notes.txt,0.0.0.7,file\n"), out)
        self.assertEqual(0, result.returncode, result.stderr)
        with open(os.path.join(out, "cvprobecl.txt"), "rb") as f:
            self.assertEqual(b"alpha,alpha.cab,alpha.dll,1.2.3.4,1,0\nnotes,notes.cab,notes.txt,0.0.0.7,2,0\n", f.read())
        extracted = os.path.join(self.dir, "extracted")
        os.makedirs(extracted)
        subprocess.run(["gcab", "-x", "-C", extracted, os.path.join(out, "alpha.cab")], check=True)
        self.assertEqual(["alpha.dll"], os.listdir(extracted))
        with open(os.path.join(extracted, "alpha.dll"), "rb") as f:
            self.assertEqual(b"MZ library bytes", f.read())

    def test_rejects_what_the_control_would_refuse(self):
        for line in ("a,../alpha.dll,1.0.0.0,file", "a,alpha.dll,1.0.0,file", "a,alpha.dll,1.0.0.0,exe",
                     "a,b,alpha.dll,1.0.0.0,file", "a,C:alpha.dll,1.0.0.0,file", "a,missing.dll,1.0.0.0,file"):
            with self.subTest(line=line):
                out = os.path.join(self.dir, "served-bad")
                result = self.run_tool(self.write_list(line + "\n"), out)
                self.assertNotEqual(0, result.returncode)
                self.assertFalse(os.path.exists(os.path.join(out, "cvprobecl.txt")))


if __name__ == "__main__":
    unittest.main()
