"""The deployable handshake service: the WSGI application called directly, its answers next to
the reference server's, its start-up without a key, the site renderer's refusals, the systemd
unit, and the site's handshake limit through an nginx and gunicorn of the test's own."""

import http.client
import importlib.machinery
import importlib.util
import io
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
SERVER_DIR = os.path.join(PROJECT, "server")
TEST_KEY = os.path.join(PROJECT, "tests", "keys", "test-server-private.pem")
TEST_PUBLIC_HEX = os.path.join(PROJECT, "tests", "keys", "test-server-public.hex")
sys.path.insert(0, SERVER_DIR)
os.environ["CORVANE_HANDSHAKE_KEY"] = TEST_KEY
import handshake_app  # noqa: E402

from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import padding  # noqa: E402

FORM = "application/x-www-form-urlencoded"

_loader = importlib.machinery.SourceFileLoader("https_stack", os.path.join(PROJECT, "tools", "https-stack"))
https_stack = importlib.util.module_from_spec(importlib.util.spec_from_loader("https_stack", _loader))
_loader.exec_module(https_stack)


def fresh_session():
    return os.urandom(1024).hex().upper()


def call(body, method="POST", content_type=FORM, length=None):
    environ = {"REQUEST_METHOD": method, "CONTENT_TYPE": content_type, "wsgi.input": io.BytesIO(body)}
    if length != "absent":
        environ["CONTENT_LENGTH"] = str(len(body) if length is None else length)
    answer = {}

    def start_response(status, headers):
        answer["status"], answer["headers"] = status, dict(headers)

    answer["body"] = b"".join(handshake_app.application(environ, start_response))
    return answer


def public_key():
    with open(TEST_PUBLIC_HEX) as source:
        return serialization.load_der_public_key(bytes.fromhex(source.read().strip()))


def verify_reply(test, session, body):
    test.assertTrue(body.startswith(b"-" + session.encode() + b"/") and body.endswith(b"="), body[:80])
    signature = bytes.fromhex(body[len(session) + 2:-1].decode())
    public_key().verify(signature, bytes.fromhex(session), padding.PKCS1v15(), hashes.SHA1())


class HandshakeApplication(unittest.TestCase):
    def test_control_request_is_signed_with_the_key(self):
        session = fresh_session()
        answer = call(b"SessionID=" + session.encode())
        self.assertEqual("200 OK", answer["status"])
        self.assertEqual(str(len(answer["body"])), answer["headers"]["Content-Length"])
        self.assertEqual("no-store", answer["headers"]["Cache-Control"])
        verify_reply(self, session, answer["body"])

    def test_anything_but_the_control_request_gets_4xx_and_no_signature(self):
        session = fresh_session()
        cases = [
            ("GET", dict(body=b"", method="GET"), "405"),
            ("form of another type", dict(body=b"SessionID=" + session.encode(), content_type="text/plain"), "415"),
            ("no Content-Length", dict(body=b"SessionID=" + session.encode(), length="absent"), "411"),
            ("body over the limit", dict(body=b"SessionID=" + b"A" * 5000), "413"),
            ("lower-case digits", dict(body=b"SessionID=" + session.lower().encode()), "400"),
            ("one digit short", dict(body=b"SessionID=" + session[:-1].encode()), "400"),
            ("one digit more", dict(body=b"SessionID=" + session.encode() + b"A"), "400"),
            ("half a challenge", dict(body=b"SessionID=" + session[:1024].encode()), "400"),
            ("other field name", dict(body=b"Session=" + session.encode()), "400"),
            ("second field", dict(body=b"SessionID=" + session.encode() + b"&x=1"), "400"),
            ("not hexadecimal", dict(body=b"SessionID=" + b"G" * 2048), "400"),
            ("body shorter than announced", dict(body=b"SessionID=" + session.encode(), length=2100), "400"),
            ("empty", dict(body=b""), "400"),
        ]
        for name, request, status in cases:
            with self.subTest(name):
                answer = call(**request)
                self.assertTrue(answer["status"].startswith(status + " "), answer["status"])
                self.assertEqual("text/plain", answer["headers"]["Content-Type"])
                self.assertLess(len(answer["body"]), 200)
                self.assertNotIn(session[:64].encode(), answer["body"])

    def test_without_a_key_the_service_does_not_start(self):
        environment = {k: v for k, v in os.environ.items() if k != "CORVANE_HANDSHAKE_KEY"}
        result = subprocess.run([sys.executable, "-c", "import handshake_app"], cwd=SERVER_DIR, env=environment,
                                capture_output=True, text=True)
        self.assertNotEqual(0, result.returncode)
        self.assertIn("CORVANE_HANDSHAKE_KEY must name the PEM file", result.stderr)


class SameReplyAsReferenceServer(unittest.TestCase):
    def test_reference_server_answers_byte_for_byte_the_same(self):
        directory = tempfile.mkdtemp()
        port_file = os.path.join(directory, "port")
        server = subprocess.Popen([sys.executable, os.path.join(PROJECT, "tools", "component-server"),
                                   "--root", directory, "--key", TEST_KEY, "--port-file", port_file,
                                   "--exit-after", "60"], stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(port_file) and server.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            with open(port_file) as source:
                port = int(source.read())
            session = fresh_session()
            request = urllib.request.Request(f"http://127.0.0.1:{port}/auth", data=b"SessionID=" + session.encode(),
                                             headers={"Content-Type": FORM})
            reference = urllib.request.urlopen(request, timeout=10).read()
            self.assertEqual(reference, call(b"SessionID=" + session.encode())["body"])
        finally:
            server.terminate()
            server.wait()
            shutil.rmtree(directory)


class DeploymentFiles(unittest.TestCase):
    def render(self, **overrides):
        arguments = {"--server-name": "components.example.com", "--certificate": "/etc/ssl/certs/c.pem",
                     "--certificate-key": "/etc/ssl/private/c.key", "--root": "/srv/corvane",
                     "--handshake-path": "/client/session.cgi"}
        arguments.update(overrides)
        command = [sys.executable, os.path.join(SERVER_DIR, "render-nginx-site")]
        for name, value in arguments.items():
            for one in value if isinstance(value, list) else [value]:
                command += [name] if one is None else [name, one]
        return subprocess.run(command, capture_output=True, text=True)

    def upstream(self, text):
        block = text.split("upstream corvane_handshake {", 1)[1].split("}", 1)[0]
        return [line.strip() for line in block.splitlines() if line.strip() and not line.strip().startswith("#")]

    def test_site_renders_every_placeholder(self):
        result = self.render()
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertNotIn("@", result.stdout)
        self.assertIn("location = /client/session.cgi {", result.stdout)
        self.assertEqual(["server 127.0.0.1:8081;", "server 127.0.0.1:8082;"], self.upstream(result.stdout))
        self.assertIn("proxy_next_upstream error timeout non_idempotent;", result.stdout)

    def test_backends_and_the_rate_limit_switch(self):
        backends = ["127.0.0.1:9001", "127.0.0.1:9002", "10.0.0.7:8081"]
        limited = self.render(**{"--handshake-address": backends})
        unlimited = self.render(**{"--handshake-address": backends, "--no-rate-limit": None})
        self.assertEqual(0, limited.returncode, limited.stderr)
        self.assertEqual(0, unlimited.returncode, unlimited.stderr)
        self.assertEqual([f"server {backend};" for backend in backends], self.upstream(limited.stdout))
        active = [line.strip() for line in limited.stdout.splitlines() if line.strip().startswith("limit_req")]
        self.assertEqual(3, len(active))
        # Switched off, the limit's lines are comments and every other line is unchanged.
        changed = [(a, b) for a, b in zip(limited.stdout.splitlines(), unlimited.stdout.splitlines()) if a != b]
        self.assertEqual(active, [a.strip() for a, _ in changed])
        for _, line in changed:
            self.assertRegex(line.strip(), r"^# switched off by --no-rate-limit: limit_req")

    @unittest.skipUnless(shutil.which("nginx"), "nginx is not installed")
    def test_rendered_site_passes_nginx_check(self):
        directory = tempfile.mkdtemp()
        try:
            certificate, key = os.path.join(directory, "c.pem"), os.path.join(directory, "c.key")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                            "-days", "2", "-keyout", key, "-out", certificate], check=True, capture_output=True)
            site = os.path.join(directory, "site.conf")
            result = self.render(**{"--certificate": certificate, "--certificate-key": key, "--log-dir": directory,
                                    "--out": site})
            self.assertEqual(0, result.returncode, result.stderr)
            main = os.path.join(directory, "nginx.conf")
            with open(main, "w") as out:
                out.write(f"pid {directory}/nginx.pid;\nevents {{}}\nhttp {{\n"
                          + "".join(f"{kind}_temp_path {directory}/{kind};\n"
                                    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                          + f"include {site};\n}}\n")
            result = subprocess.run(["nginx", "-t", "-q", "-p", directory + "/", "-c", main,
                                     "-e", os.path.join(directory, "error.log")], capture_output=True, text=True)
            self.assertEqual(0, result.returncode, result.stderr)
        finally:
            shutil.rmtree(directory)

    def test_site_refuses_values_that_would_change_the_configuration(self):
        cases = [
            ("--server-name", "a; include /etc/passwd"),
            ("--root", "relative/tree"),
            ("--certificate", "/etc/ssl/x.pem}"),
            ("--handshake-path", "/client/$uri"),
            ("--handshake-address", "127.0.0.1:8081 backup"),
            ("--handshake-address", ["127.0.0.1:8081", "127.0.0.1:9; server 10.0.0.1:80"]),
            ("--handshake-address", ["127.0.0.1:8081", "127.0.0.1:8081"]),
            ("--log-dir", ""),
        ]
        for option, value in cases:
            with self.subTest(option=option, value=value):
                result = self.render(**{option: value})
                self.assertEqual(2, result.returncode)
                self.assertEqual("", result.stdout)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is not installed")
    def test_systemd_unit_verifies_as_an_instance_per_port(self):
        directory = tempfile.mkdtemp()
        try:
            instance = os.path.join(directory, "corvane-handshake@8082.service")
            shutil.copy(os.path.join(SERVER_DIR, "corvane-handshake@.service"), instance)
            result = subprocess.run(["systemd-analyze", "verify", instance], capture_output=True, text=True)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual("", result.stderr.strip())
        finally:
            shutil.rmtree(directory)
        with open(os.path.join(SERVER_DIR, "corvane-handshake@.service")) as source:
            self.assertRegex(source.read(), r"--bind 127\.0\.0\.1:%i --worker-class sync --workers \d+ ")


def site_rate_limit():
    """The handshake's (rate a second, burst) as the site template sets them."""
    with open(os.path.join(SERVER_DIR, "nginx-site.conf.in")) as source:
        template = source.read()
    rate = re.search(r"^limit_req_zone .* rate=(\d+)r/s;$", template, re.MULTILINE).group(1)
    burst = re.search(r"^\s*limit_req zone=corvane_handshake burst=(\d+) nodelay;$", template, re.MULTILINE).group(1)
    return int(rate), int(burst)


@unittest.skipUnless(shutil.which("nginx") and shutil.which("gunicorn"), "nginx or gunicorn is not installed")
class HandshakeRateLimit(unittest.TestCase):
    """The deployed site's limit, on an nginx of the test's own: one address is a whole office."""
    OFFICE = 50
    FLOOD = 1000

    def setUp(self):
        directory = tempfile.mkdtemp()
        os.chmod(directory, 0o755)  # nginx's workers run as nobody when this runs as root
        self.addCleanup(shutil.rmtree, directory)
        served = os.path.join(directory, "served")
        os.makedirs(served)
        process, entries = https_stack.run_until_ready(
            ["--root", served, "--key", TEST_KEY, "--dir", os.path.join(directory, "stack"), "--sites", "good",
             "--workers", "2", "--worker-connections", "256", "--exit-after", "300"],
            os.path.join(directory, "ready"), stdout=subprocess.DEVNULL)
        self.addCleanup(process.wait, 30)
        self.addCleanup(process.terminate)
        self.port = entries["site"]["good"]
        self.context = ssl.create_default_context(cafile=os.path.join(directory, "stack", "certificates", "ca.pem"))

    def connection(self):
        return http.client.HTTPSConnection("localhost", self.port, context=self.context, timeout=30)

    def test_an_office_burst_is_served_and_a_flood_is_cut_off(self):
        rate, burst = site_rate_limit()
        form = {"Content-Type": FORM}
        # Every machine of the office has its own connection, made before the burst, and all
        # their handshakes are sent before any answer is read: they reach nginx within
        # milliseconds, however slowly the signer answers.
        office = [self.connection() for _ in range(self.OFFICE)]
        for connection in office:
            self.addCleanup(connection.close)
            connection.connect()
        sessions = [fresh_session() for _ in office]
        started = time.monotonic()
        for connection, session in zip(office, sessions):
            connection.request("POST", "/client/session.cgi", body=b"SessionID=" + session.encode(), headers=form)
        for connection, session in zip(office, sessions):
            response = connection.getresponse()
            body = response.read()
            self.assertEqual(200, response.status, body[:80])
            verify_reply(self, session, body)

        # Then the same address floods; a malformed form is refused by the service without
        # signing, so only the limit decides between 400 and 429.
        flood = self.connection()
        self.addCleanup(flood.close)
        statuses = []
        while len(statuses) < self.FLOOD and statuses.count(429) < 50:
            flood.request("POST", "/client/session.cgi", body=b"SessionID=00", headers=form)
            response = flood.getresponse()
            response.read()
            statuses.append(response.status)
        elapsed = time.monotonic() - started
        self.assertEqual({400, 429}, set(statuses))
        # Everything that passed fits in the bucket: the burst and the request that opened it,
        # plus what the rate refilled meanwhile (and one for rounding at each end).
        passed = self.OFFICE + statuses.count(400)
        self.assertLessEqual(passed, burst + 1 + rate * elapsed + 2)


class StackTool(unittest.TestCase):
    """tools/https-stack's start of nginx, which cannot be given port 0."""

    @unittest.skipUnless(shutil.which("nginx"), "nginx is not installed")
    def test_nginx_moves_to_another_port_when_its_port_is_taken(self):
        import socket
        tool = https_stack
        directory = tempfile.mkdtemp()
        os.chmod(directory, 0o755)
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        offered = [taken.getsockname()[1], tool.free_port()]
        real_free_port, tool.free_port = tool.free_port, lambda: offered.pop(0)
        process = None
        try:
            certificate, key = tool.make_certificates(directory)["good"]
            process, port = tool.start_site(os.path.join(directory, "site"), certificate, key, directory, [9],
                                            "/session")
            self.assertEqual([], offered)
            self.assertNotEqual(taken.getsockname()[1], port)
            self.assertIsNone(process.poll())
        finally:
            tool.free_port = real_free_port
            taken.close()
            if process:
                tool.stop(process)
            shutil.rmtree(directory)


if __name__ == "__main__":
    unittest.main()
