"""The signed files of a package, checked with osslsigncode against the package's test CA:
each verifies, and each fails once altered after signing or checked against another CA.
The cabinet's INF and DLL are what a page's codebase needs, and the distribution page snippet in docs
names the same version.

Environment: PACKAGE_DIR (scripts/package --out of one package), PACKAGE_ARCH (its architecture),
PROJECT_VERSION."""
import os
import pathlib
import re
import subprocess
import tempfile
import unittest

PACKAGE = pathlib.Path(os.environ["PACKAGE_DIR"])
ARCH = os.environ["PACKAGE_ARCH"]
VERSION = os.environ["PROJECT_VERSION"]
# The processor names of an INF's file-win32-<cpu> keys.
INF_CPU = {"i686": "x86", "x86_64": "x64"}
FILES = ["VARuDevavuzez.dll", "installer-host.exe", "VARuDevavuzez.cab", f"VARuDevavuzez-{VERSION}-{ARCH}.msi"]
CLASS_ID = "{5A3C1E77-2B94-4D0F-9C61-0E8B47D2A913}"


def flip_middle_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))


def change_msi_property(path):
    # Rewritten by the MSI library itself: a byte flip could land in an unused sector.
    subprocess.run(["msibuild", str(path), "-q", "UPDATE `Property` SET `Value` = 'Altered' WHERE `Property` = 'Manufacturer'"],
                   check=True, capture_output=True)


def alteration_for(name):
    return change_msi_property if name.endswith(".msi") else flip_middle_byte


def make_other_ca(directory):
    ca = directory / "other-ca.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Another CA",
                    "-keyout", str(directory / "other-ca.key"), "-out", str(ca)], check=True, capture_output=True)
    return ca


def verify(path, ca):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                            capture_output=True, text=True)
    return result.returncode == 0, result.stdout + result.stderr


class SignedFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.work = pathlib.Path(cls.scratch.name)
        cls.test_ca = PACKAGE / "test-ca" / "ca.pem"
        cls.other_ca = make_other_ca(cls.work)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def copy(self, name, suffix):
        target = self.work / f"{suffix}-{name}"
        target.write_bytes((PACKAGE / ARCH / name).read_bytes())
        return target

    def test_signature_table(self):
        # (case, how the file is prepared, CA to check against, verifies?, what the output shows)
        cases = [
            ("as signed", lambda name: self.copy(name, "signed"), self.test_ca, True, r"Corvane \(test signature"),
            ("altered after signing", self.altered, self.test_ca, False, r"MISMATCH"),
            ("against another CA", lambda name: self.copy(name, "other"), self.other_ca, False,
             r"unable to get local issuer certificate"),
        ]
        for name in FILES:
            for case, prepare, ca, expected, shown in cases:
                with self.subTest(file=name, case=case):
                    ok, output = verify(prepare(name), ca)
                    self.assertEqual(expected, ok, output)
                    self.assertRegex(output, shown)
                    self.assertRegex(output, r"(?i)digest algorithm\s*:\s*sha256")

    def altered(self, name):
        target = self.copy(name, "altered")
        alteration_for(name)(target)
        self.assertNotEqual(target.read_bytes(), (PACKAGE / ARCH / name).read_bytes())
        return target

    def test_cabinet_holds_the_signed_dll_and_an_inf_that_registers_it(self):
        out = self.work / "cab"
        out.mkdir()
        subprocess.run(["gcab", "-x", "-C", str(out), str(PACKAGE / ARCH / "VARuDevavuzez.cab")], check=True)
        self.assertEqual(["VARuDevavuzez.dll", "VARuDevavuzez.inf"], sorted(p.name for p in out.iterdir()))
        self.assertEqual((PACKAGE / ARCH / "VARuDevavuzez.dll").read_bytes(), (out / "VARuDevavuzez.dll").read_bytes())
        inf = (out / "VARuDevavuzez.inf").read_bytes().decode("ascii")
        self.assertNotIn("\n", inf.replace("\r\n", ""), "CR LF line ends")
        sections = dict(re.findall(r"(?ms)^\[([^\]]+)\]\r\n(.*?)(?=^\[|\Z)", inf))
        self.assertIn("VARuDevavuzez.dll=VARuDevavuzez.dll", sections["Add.Code"])
        entries = dict(line.split("=", 1) for line in sections["VARuDevavuzez.dll"].split("\r\n") if "=" in line)
        self.assertEqual({"file-win32-" + INF_CPU[ARCH]: "thiscab", "clsid": CLASS_ID,
                          "FileVersion": VERSION.replace(".", ","),
                          "RegisterServer": "yes"}, entries)

    def test_msi_carries_the_project_version_and_the_upgrade_rule(self):
        msi = PACKAGE / ARCH / f"VARuDevavuzez-{VERSION}-{ARCH}.msi"
        properties = subprocess.run(["msiinfo", "export", str(msi), "Property"], check=True, capture_output=True,
                                    text=True).stdout
        self.assertIn(f"ProductVersion\t{VERSION}", properties)
        self.assertIn("Manufacturer\tCorvane", properties)
        upgrade = subprocess.run(["msiinfo", "export", str(msi), "Upgrade"], check=True, capture_output=True,
                                 text=True).stdout
        self.assertIn("WIX_UPGRADE_DETECTED", upgrade)

    def test_distribution_page_snippet_names_the_project_version(self):
        doc = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "distributing.md").read_text("utf-8")
        self.assertEqual([VERSION.replace(".", ",")], re.findall(r'codebase="VARuDevavuzez\.cab#version=([0-9,]+)"', doc))
        self.assertIn(f"VARuDevavuzez-{VERSION}-i686.msi", doc)


if __name__ == "__main__":
    unittest.main()
