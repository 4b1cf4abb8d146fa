"""tools/delay-proxy between a real TLS client and server on 127.0.0.1: bytes unchanged both
ways, every exchange held back by the delay, and its log's round trips and TLS version."""

import datetime
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROXY = os.path.join(ROOT, "tools", "delay-proxy")
DELAY_MS = 40
PAYLOAD = os.urandom(300 * 1024)  # several reads each way


def self_signed(directory):
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=1)).sign(key, hashes.SHA256()))
    paths = os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")
    with open(paths[0], "wb") as out:
        out.write(certificate.public_bytes(serialization.Encoding.PEM))
    with open(paths[1], "wb") as out:
        out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()))
    return paths


class EchoServer:
    """Answers each connection's one message, a length and that many bytes, with the bytes."""

    def __init__(self, certificate, key):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certificate, key)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(raw,), daemon=True).start()

    def answer(self, raw):
        try:
            with self.context.wrap_socket(raw, server_side=True) as secure:
                length = int.from_bytes(receive(secure, 4), "big")
                secure.sendall(receive(secure, length))
                receive(secure, 1)  # until the client closes
        except (OSError, ValueError):
            pass

    def close(self):
        self.listener.close()


def receive(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


class DelayProxyTest(unittest.TestCase):
    def setUp(self):
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        self.server = EchoServer(*self_signed(directory))
        self.addCleanup(self.server.close)
        port_file, self.log = os.path.join(directory, "port"), os.path.join(directory, "log")
        proxy = subprocess.Popen([sys.executable, PROXY, "--target", str(self.server.port), "--delay-ms",
                                  str(DELAY_MS), "--port-file", port_file, "--log", self.log, "--exit-after", "60"],
                                 stdin=subprocess.DEVNULL)
        self.addCleanup(proxy.wait, 10)
        self.addCleanup(proxy.send_signal, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file) and proxy.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(port_file) as source:
            self.port = int(source.read())

    def exchange(self, version):
        """Echoes PAYLOAD over a TLS connection through the proxy; the seconds it took from the
        connect and the proxy's log line for the connection."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
        context.maximum_version = version
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as raw:
            with context.wrap_socket(raw, server_hostname="localhost") as secure:
                secure.sendall(len(PAYLOAD).to_bytes(4, "big") + PAYLOAD)
                echoed = receive(secure, len(PAYLOAD))
            elapsed = time.monotonic() - started
        self.assertEqual(PAYLOAD, echoed)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if os.path.exists(self.log):
                with open(self.log) as source:
                    lines = source.readlines()
                if lines:
                    return elapsed, json.loads(lines[-1])
            time.sleep(0.02)
        self.fail("the proxy logged no connection")

    def test_bytes_pass_unchanged_each_round_trip_delayed_and_logged(self):
        # (version, TLS round trips before the client may send): 1.3 sends with its Finished.
        cases = [(ssl.TLSVersion.TLSv1_3, "1.3", 1), (ssl.TLSVersion.TLSv1_2, "1.2", 2)]
        for version, name, handshake_round_trips in cases:
            with self.subTest(name):
                open(self.log, "a").close()
                os.truncate(self.log, 0)
                elapsed, logged = self.exchange(version)
                round_trips = handshake_round_trips + 1  # the echo
                self.assertEqual(name, logged["tls"])
                self.assertEqual(round_trips, logged["round_trips"])
                self.assertGreater(logged["up"], len(PAYLOAD))
                self.assertGreater(logged["down"], len(PAYLOAD))
                # Each round trip waited twice the delay; nothing faster can have passed.
                self.assertGreaterEqual(elapsed, round_trips * 2 * DELAY_MS / 1000)
                self.assertGreaterEqual(logged["waited"], round_trips * 2 * DELAY_MS / 1000)
                self.assertLessEqual(logged["waited"], elapsed)


class ServerHelloVersion(unittest.TestCase):
    def test_versions_and_incomplete_records(self):
        loader_globals = {"__name__": "delay_proxy"}
        with open(PROXY) as source:
            exec(compile(source.read(), PROXY, "exec"), loader_globals)
        tls_version = loader_globals["tls_version"]

        def hello(legacy, extensions=b""):
            body = legacy + bytes(32) + b"\x00" + b"\x13\x01" + b"\x00" + len(extensions).to_bytes(2, "big") + extensions
            handshake = b"\x02" + len(body).to_bytes(3, "big") + body
            return b"\x16\x03\x03" + len(handshake).to_bytes(2, "big") + handshake

        supported_13 = b"\x00\x2b\x00\x02\x03\x04"
        key_share = b"\x00\x33\x00\x04\x00\x1d\x00\x00"
        cases = [
            ("TLS 1.3 after another extension", hello(b"\x03\x03", key_share + supported_13), "1.3"),
            ("TLS 1.2 without supported_versions", hello(b"\x03\x03"), "1.2"),
            ("TLS 1.0", hello(b"\x03\x01"), "1.0"),
            ("cut inside the extensions", hello(b"\x03\x03", key_share + supported_13)[:-3], None),
            ("cut before the extensions", hello(b"\x03\x03")[:45], None),
            ("not a handshake record", b"\x17\x03\x03\x00\x30" + bytes(48), None),
            ("plain http", b"HTTP/1.1 400 Bad Request\r\n\r\n" + bytes(40), None),
        ]
        for name, head, expected in cases:
            with self.subTest(name):
                self.assertEqual(expected, tls_version(head))


if __name__ == "__main__":
    unittest.main()
