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

    def run_tool(self, list_path, out):
        return subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "publish"), "--list", list_path,
                               "--out", out], capture_output=True, text=True)

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
