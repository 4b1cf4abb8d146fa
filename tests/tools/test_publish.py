"""tools/publish: cabinets that gcab can read back, and a catalog in the list format; signed
manifests, checked with the public half through cryptography; tools/make-signing-key; the
reference server's signing routes."""

import hashlib
import http.client
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from cryptography.hazmat.primitives import serialization

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
loader = importlib.machinery.SourceFileLoader("publish", os.path.join(ROOT, "tools", "publish"))
spec = importlib.util.spec_from_loader("publish", loader)
publish = importlib.util.module_from_spec(spec)
loader.exec_module(publish)


PYTHON = "/usr/bin/python3"
PUBLISH = os.path.join(ROOT, "tools", "publish")
MAKE_SIGNING_KEY = os.path.join(ROOT, "tools", "make-signing-key")
COMPONENT_SERVER = os.path.join(ROOT, "tools", "component-server")
RSA_KEY = os.path.join(ROOT, "tests", "keys", "test-server-private.pem")


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



def run(*command):
    return subprocess.run([PYTHON, *command], capture_output=True)


def content(path):
    with open(path, "rb") as source:
        data = source.read()
    return b"%d %s" % (len(data), hashlib.sha256(data).hexdigest().encode())


def snapshot(folder):
    files = {}
    for directory, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(directory, name), "rb") as source:
                files[os.path.relpath(os.path.join(directory, name), folder)] = source.read()
    return files


def raw_public_key(public_pem_path):
    with open(public_pem_path, "rb") as source:
        key = serialization.load_pem_public_key(source.read())
    return key.public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)


class SigningCase(unittest.TestCase):
    """One signing key for the class, made by tools/make-signing-key; a fresh served folder per test."""

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.TemporaryDirectory()
        cls.private = os.path.join(cls.keys.name, "signing.pem")
        cls.public = os.path.join(cls.keys.name, "signing.public.pem")
        made = run(MAKE_SIGNING_KEY, cls.private, cls.public)
        assert made.returncode == 0, made.stderr
        cls.printed_fingerprint = made.stdout.decode().strip()

    @classmethod
    def tearDownClass(cls):
        cls.keys.cleanup()

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.out = os.path.join(self.work.name, "served")
        os.makedirs(self.out)

    def tearDown(self):
        self.work.cleanup()

    def write(self, name, data, folder=None):
        path = os.path.join(folder or self.out, name)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def sign(self, *extra, key=None):
        return run(PUBLISH, "--out", self.out, "--sign-key", key or self.private, *extra)

    def manifest_lines(self, out=None):
        """The manifest's lines once its signature verifies with the public key."""
        out = out or self.out
        with open(os.path.join(out, "cvprobecl.manifest"), "rb") as source:
            manifest = source.read()
        with open(os.path.join(out, "cvprobecl.manifest.sig"), "rb") as source:
            signature = source.read()
        self.assertRegex(signature, rb"^[0-9a-f]{128}\n$")
        with open(self.public, "rb") as source:
            serialization.load_pem_public_key(source.read()).verify(bytes.fromhex(signature.decode()), manifest)
        self.assertTrue(manifest.endswith(b"\n"))
        self.assertNotIn(b"\r", manifest)
        return manifest[:-1].split(b"\n")

    def serial(self):
        return int(self.manifest_lines()[1].split(b" ")[1])


class SignedManifestTest(SigningCase):
    def test_signed_publish_vouches_for_every_file(self):
        files = os.path.join(self.work.name, "files")
        os.makedirs(files)
        self.write("alpha.dll", b"MZ library bytes", files)
        self.write("notes.txt", b"plain data\n", files)
        listing = self.write("components.list", b"alpha,alpha.dll,1.0.0.0,library\nnotes,notes.txt,1.0.0.0,file\n",
                             files)
        certificate = self.write("publisher.cer", b"0\x82certificate bytes", files)
        before = int(time.time())
        result = run(PUBLISH, "--list", listing, "--out", self.out, "--sign-key", self.private,
                     "--certificate", certificate)
        self.assertEqual(0, result.returncode, result.stderr)
        lines = self.manifest_lines()
        self.assertEqual(b"corvane-manifest 1", lines[0])
        self.assertGreaterEqual(self.serial(), before)
        expires = time.mktime(time.strptime(lines[2].decode(), "expires %Y-%m-%dT%H:%M:%SZ")) - time.timezone
        self.assertAlmostEqual(before + 30 * 86400, expires, delta=60)
        path = lambda name: os.path.join(self.out, name)  # noqa: E731
        self.assertEqual([b"catalog " + content(path("cvprobecl.txt")),
                          b"package " + content(path("alpha.cab")) + b" alpha.cab",
                          b"package " + content(path("notes.cab")) + b" notes.cab",
                          b"certificate " + content(certificate) + b" publisher.cer"], lines[3:])
        self.assertEqual(content(certificate), content(path("publisher.cer")))
        self.assertIn(self.printed_fingerprint, result.stdout.decode())
        # Signing again, at once, still moves the serial up.
        first = self.serial()
        self.assertEqual(0, self.sign("--certificate", path("publisher.cer")).returncode)
        self.assertGreater(self.serial(), first)

    def test_sign_only_takes_the_packages_as_the_control_reads_the_catalog(self):
        catalog = (b"one, \talpha.cab\t ,a.dll,1.0.0.0,1,0\n"
                   b"two,beta.cab,b.dll,1.0.0.0,2,0\r\n"
                   b"# a note, not a record\n"
                   b"three,gamma.cab,c.dll,1.0.0,1,0\n"
                   b"again,alpha.cab,a2.dll,2.0.0.0,1,0\n"
                   b"latin,caf\xe9.cab,e.dll,1.0.0.0,2,0")
        self.write("cvprobecl.txt", catalog)
        for name in (b"alpha.cab", b"beta.cab", b"caf\xe9.cab"):
            self.write(os.fsdecode(name), b"cabinet " + name)
        result = self.sign()
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual([b"catalog " + content(os.path.join(self.out, "cvprobecl.txt"))] +
                         [b"package " + content(os.path.join(self.out, os.fsdecode(name))) + b" " + name
                          for name in (b"alpha.cab", b"beta.cab", b"caf\xe9.cab")], self.manifest_lines()[3:])

    def test_package_names_are_those_the_control_reads(self):
        cases = [
            (b"a,b.cab,c,1.2.3.4,1,0", [b"b.cab"]),
            (b"a, \t\vb.cab\f ,c,1.2.3.4,1,0\n", [b"b.cab"]),
            (b"a,b.cab,c,1.2.3.4,1,\n", []),  # a comma at the very end adds no field
            (b"a,b.cab,c,1.2.3.4,1,,\n", [b"b.cab"]),
            (b"a,b.cab,c,1.2.3,1,0\n", []),
            (b"a,b.cab,c,1.2.3.,1,0\n", []),
            (b"a,b.cab,c,1.2.3.4.,1,0\n", [b"b.cab"]),
            (b"a,b.cab\rc,d,1.2.3.4,1,0\n", []),  # a CR ends what the control reads of a line
            (b"a,b.cab,c,1.2.3.4,1,0\r\nx,b.cab,y,2.0.0.0,1,0\nz,a.cab,y,2.0.0.0,1,0\n", [b"b.cab", b"a.cab"]),
            (b"a,\xe9.cab,c,1.2.3.4,1,0\n\n", [b"\xe9.cab"]),
            (b"", []),
        ]
        for catalog, names in cases:
            with self.subTest(catalog=catalog):
                self.assertEqual(names, publish.catalog_package_names(catalog))

    def test_refusals_write_nothing(self):
        signed_catalog = b"a,alpha.cab,a.dll,1.0.0.0,1,0\n"
        self.write("cvprobecl.txt", signed_catalog)
        self.write("alpha.cab", b"cabinet")
        self.assertEqual(0, self.sign("--serial", "100").returncode)
        elsewhere = os.path.join(self.work.name, "elsewhere")
        os.makedirs(elsewhere)
        self.write("dup.cer", b"other", elsewhere)
        self.write("pub,lic.cer", b"cert", elsewhere)
        too_long = os.path.join(self.work.name, "long.list")
        with open(too_long, "w") as out:
            out.write("x" * 252 + ",a.dll,1.0.0.0,file\n")
        self.write("a.dll", b"data", self.work.name)
        cases = [
            ("missing package", b"a,absent.cab,a.dll,1.0.0.0,1,0\n", [], "not in"),
            ("package outside", b"a,../served/alpha.cab,a.dll,1.0.0.0,1,0\n", [], "not a file name under"),
            ("control byte", b"a,al\x01pha.cab,a.dll,1.0.0.0,1,0\n", [], "control character"),
            ("long name", b"a," + b"x" * 252 + b".cab,a.dll,1.0.0.0,1,0\n", [], "1 to 255 bytes"),
            ("lower serial", None, ["--serial", "99"], "lower than 100"),
            ("RSA key", None, ["--sign-key", RSA_KEY], "not an unencrypted Ed25519"),
            ("bad expiry", None, ["--expires", "2030-02-30T00:00:00Z"], "not a time that exists"),
            ("certificate name", None, ["--certificate", os.path.join(elsewhere, "pub,lic.cer")], "plain file name"),
            ("missing certificate", None, ["--certificate", os.path.join(elsewhere, "none.cer")], "no such file"),
            ("same certificate name", None,
             ["--certificate", self.write("dup.cer", b"one"), "--certificate", os.path.join(elsewhere, "dup.cer")],
             "already listed"),
            ("name too long in a list", None, ["--list", too_long], "1 to 255 bytes"),
            ("certificate over the catalog", None, ["--certificate", self.write("cvprobecl.txt", b"x", elsewhere)],
             "a file that publish writes"),
            ("certificate over a package", None, ["--certificate", self.write("alpha.cab", b"x", elsewhere)],
             "package of that name"),
        ]
        for label, catalog, extra, message in cases:
            with self.subTest(label):
                self.write("cvprobecl.txt", catalog or signed_catalog)
                before = snapshot(self.work.name)
                result = self.sign(*extra)
                self.assertNotEqual(0, result.returncode)
                self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                self.assertIn(message, result.stderr.decode())
                self.assertEqual(before, snapshot(self.work.name))
                self.assertEqual(100, self.serial())

    def test_serial_and_expiry(self):
        self.write("cvprobecl.txt", b"")
        # Far above the current time, which is the default serial of a first manifest.
        above = 5000000000000
        self.assertEqual(0, self.sign("--serial", str(above)).returncode)
        highest = str((1 << 64) - 1)
        # (options, serial then, start of the expires line then or None, expected on stderr)
        cases = [
            (["--serial", str(above)], above, None, ""),
            (["--expires", "2031-05-06T07:08:09Z"], above + 1, b"expires 2031-05-06T07:08:09Z", ""),
            ([], above + 2, None, ""),
            (["--valid-days", "-1", "--serial", highest], (1 << 64) - 1,
             time.strftime("expires %Y-%m-%d", time.gmtime(time.time() - 86400)).encode(), "is past"),
        ]
        for options, serial, expires, warning in cases:
            with self.subTest(options=options):
                result = self.sign(*options)
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertEqual(serial, self.serial())
                if expires:
                    self.assertTrue(self.manifest_lines()[2].startswith(expires), self.manifest_lines()[2])
                self.assertIn(warning, result.stderr.decode())
        # Nothing is left above the highest serial.
        self.assertIn("outside", self.sign().stderr.decode())


class MakeSigningKeyTest(SigningCase):
    def test_fingerprint_is_the_digest_of_the_raw_public_key(self):
        self.assertEqual(hashlib.sha256(raw_public_key(self.public)).hexdigest(), self.printed_fingerprint)
        self.assertEqual(0o600, os.stat(self.private).st_mode & 0o777)
        remade = os.path.join(self.out, "remade.pem")
        result = run(MAKE_SIGNING_KEY, "--from", self.private, remade)
        self.assertEqual(0, result.returncode, result.stderr)
        with open(self.public, "rb") as one, open(remade, "rb") as other:
            self.assertEqual(one.read(), other.read())
        self.assertEqual(self.printed_fingerprint, result.stdout.decode().strip())

    def test_refuses_to_overwrite_or_to_take_another_kind_of_key(self):
        with open(self.private, "rb") as source:
            private = source.read()
        for command in ([self.private, os.path.join(self.out, "p.pem")],
                        ["--from", RSA_KEY, os.path.join(self.out, "p.pem")]):
            with self.subTest(command=command):
                result = run(MAKE_SIGNING_KEY, *command)
                self.assertEqual(1, result.returncode)
                self.assertEqual([], os.listdir(self.out))
        with open(self.private, "rb") as source:
            self.assertEqual(private, source.read())


class ServerSigningRoutesTest(SigningCase):
    def start_server(self, *extra):
        port_file = os.path.join(self.work.name, "port")
        server = subprocess.Popen([PYTHON, COMPONENT_SERVER, "--root", self.out, "--key", RSA_KEY, "--port", "0",
                                   "--port-file", port_file, "--exit-after", "60", *extra],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file) and server.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(port_file) as source:
            port = int(source.read())
        os.remove(port_file)
        return port

    def request(self, port, method, path, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        try:
            headers = {"Content-Type": "application/x-www-form-urlencoded"} if body is not None else {}
            connection.request(method, path, body=body, headers=headers)
            answer = connection.getresponse()
            return answer.status, answer.read()
        finally:
            connection.close()

    def test_sign_and_signing_key_routes(self):
        keys = os.path.join(self.work.name, "keys")
        os.makedirs(keys)
        shutil.copyfile(self.private, os.path.join(keys, "test.pem"))
        shutil.copyfile(RSA_KEY, os.path.join(keys, "rsa.pem"))
        folder = os.path.join(self.out, "sub")
        os.makedirs(folder)
        self.write("cvprobecl.txt", b"a,alpha.cab,a.dll,1.0.0.0,1,0\n", folder)
        self.write("alpha.cab", b"cabinet", folder)
        self.write("publisher.cer", b"certificate", folder)
        port = self.start_server("--signing-keys", keys)
        self.assertEqual((200, raw_public_key(self.public).hex().encode()),
                         self.request(port, "GET", "/_signing-key/test"))
        for name in ("rsa", "none", "Test", "..%2Ftest"):
            self.assertEqual(404, self.request(port, "GET", "/_signing-key/" + name)[0], name)
        status, body = self.request(port, "POST", "/_sign/sub/",
                                    "key=test&serial=7&expires=2031-01-01T00%3A00%3A00Z&certificate=publisher.cer")
        self.assertEqual(200, status, body)
        self.assertIn(b"serial 7", body)
        lines = self.manifest_lines(folder)
        self.assertEqual([b"serial 7", b"expires 2031-01-01T00:00:00Z"], lines[1:3])
        self.assertEqual(b"certificate " + content(os.path.join(folder, "publisher.cer")) + b" publisher.cer",
                         lines[-1])
        refused = [("/_sign/sub/", "key=test&serial=6", b"lower than 7"),
                   ("/_sign/../", "key=test", b"not a folder under the served root"),
                   ("/_sign/%2e%2e/", "key=test", b"not a folder under the served root"),
                   ("/_sign/sub/", "key=rsa", b"not an unencrypted Ed25519"),
                   ("/_sign/sub/", "key=rsa&text=x", b"not an unencrypted Ed25519"),
                   ("/_sign/sub/", "key=..%2Ftest", b"key must name"),
                   ("/_sign/sub/", "key=test&certificate=..%2Fcvprobecl.txt", b"not the name of a file"),
                   ("/_sign/sub/", "key=test&serial=--valid-days%3D-1", b"a serial is a whole number"),
                   ("/_sign/sub/", "key=test&comment=x", b"unknown field")]
        for path, body, message in refused:
            with self.subTest(path=path, body=body):
                status, answer = self.request(port, "POST", path, body)
                self.assertEqual(400, status, answer)
                self.assertIn(message, answer)
        self.assertEqual(7, int(self.manifest_lines(folder)[1].split(b" ")[1]))
        # The tests that count requests in the log do not see these.
        self.assertEqual(b"", self.request(port, "GET", "/_log")[1])

    def test_without_signing_keys_the_routes_are_not_there(self):
        port = self.start_server()
        self.assertEqual(404, self.request(port, "GET", "/_signing-key/test")[0])


if __name__ == "__main__":
    unittest.main()
