"""The control's whole job over https through the deployable stack: nginx with the site
template, the WSGI handshake under gunicorn, throwaway certificates, and the registered
Installer driven by installer-host in a Wine prefix that trusts the throwaway CA only there.

Run by scripts/tls-test, which provides WINEPREFIX (a fresh prefix of this test's own),
WINE_LOADER, CORVANE_BUILD_DIR and CORVANE_TLS_WORK (a folder others can read).
"""

import hashlib
import http.client
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest
import warnings

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from test_handshake_service import fresh_session, https_stack, verify_reply  # noqa: E402

WINE = os.environ.get("WINE_LOADER", "/usr/lib/wine/wine64")
BUILD = os.path.realpath(os.environ.get("CORVANE_BUILD_DIR", os.path.join(PROJECT, "build", "x86_64")))
WORK = os.environ.get("CORVANE_TLS_WORK", "")
PREFIX = os.environ.get("WINEPREFIX", "")
AUTH_PATH = "/client/session.cgi"
TRUSTED_PUBLISHER = r"HKCU\Software\Microsoft\SystemCertificates\TrustedPublisher\Certificates"


def winpath(path):
    return "Z:" + path.replace("/", "\\")


class Stack:
    """tools/https-stack serving WORK/served; the module's own has every site and one backend."""

    def __init__(self, name="stack", sites="good,untrusted,wrong-host,expired", options=()):
        self.served = os.path.join(WORK, "served")
        os.makedirs(self.served, exist_ok=True)
        self.directory = os.path.join(WORK, name)
        self.process, self.values = https_stack.run_until_ready(
            ["--root", self.served, "--key", os.path.join(PROJECT, "tests", "keys", "test-server-private.pem"),
             "--dir", self.directory, "--sites", sites, "--exit-after", "600", *options],
            os.path.join(WORK, name + ".ready"))
        self.ports, self.backends = self.values["site"], self.values["handshake"]
        self.context = ssl.create_default_context(cafile=os.path.join(self.directory, "certificates", "ca.pem"))

    def pids(self):
        found = []
        for pid_file in [os.path.join(backend, "gunicorn.pid") for _, backend in self.backends] + [
                os.path.join(self.directory, f"nginx-{site}", "nginx.pid") for site in self.ports]:
            if os.path.exists(pid_file):
                with open(pid_file) as source:
                    found.append(int(source.read()))
        return found

    def stop(self):
        pids = self.pids() if self.process.poll() is None else []
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=30)
        return [pid for pid in pids if os.path.exists(f"/proc/{pid}")]

    def url(self, site, directory, scheme="https"):
        return f"{scheme}://localhost:{self.ports[site]}/client/{directory}/"

    def handshakes(self, backend=None):
        """The status of every POST the backends (or one, by its folder) answered, in order."""
        statuses = []
        for _, directory in self.backends:
            if backend in (None, directory):
                with open(os.path.join(directory, "access.log")) as source:
                    lines = [line for line in source if '"POST ' in line]
                statuses += [line.split('"')[2].split()[0] for line in lines]
        return statuses

    def nginx_log(self, site):
        path = os.path.join(self.directory, f"nginx-{site}", "logs", "corvane-access.log")
        if not os.path.exists(path):
            return []
        with open(path) as source:
            return [" ".join(line.split('"')[1].split()[:2]) + " " + line.split('"')[2].split()[0]
                    for line in source if "Python-urllib" not in line]

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPSConnection("localhost", self.ports["good"], context=self.context, timeout=10)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()


stack = None


def setUpModule():
    global stack
    if not (WORK and PREFIX):
        raise unittest.SkipTest("run through scripts/tls-test")
    stack = Stack()
    registered = subprocess.run([WINE, "regsvr32", "/s", winpath(os.path.join(BUILD, "VARuDevavuzez.dll"))],
                                stdin=subprocess.DEVNULL, capture_output=True)
    if registered.returncode or not trust_stack_ca(stack):
        stack.stop()
        raise RuntimeError("could not register the control or trust the throwaway CA in the prefix")


def tearDownModule():
    if stack:
        left = stack.stop()
        if left:
            raise RuntimeError(f"servers left running: {left}")


def host(*arguments, debug=None):
    environment = dict(os.environ, WINEDEBUG=debug or "-all")
    result = subprocess.run([WINE, winpath(os.path.join(BUILD, "installer-host.exe")), *arguments],
                            stdin=subprocess.DEVNULL, capture_output=True, env=environment, timeout=120)
    return result.returncode, result.stdout.decode("latin-1").replace("\r", ""), result.stderr.decode("latin-1")


def trust_stack_ca(stack_started):
    trusted = subprocess.run([WINE, "reg", "import", winpath(stack_started.values["trust-reg"])],
                             stdin=subprocess.DEVNULL, capture_output=True)
    return trusted.returncode == 0


def update(base_url, folder, names, debug=None):
    return host("update", "--base-url", base_url, "--auth-path", AUTH_PATH, "--install-path", f"C:\\{folder}\\",
                names, debug=debug)


def certificate(base_url, name, debug=None):
    return host("certificate", "--base-url", base_url, "--auth-path", AUTH_PATH, name, debug=debug)


def installed(folder):
    """Every file of an installation folder with its bytes."""
    root = os.path.join(PREFIX, "drive_c", folder)
    if not os.path.isdir(root):
        return {}
    found = {}
    for name in sorted(os.listdir(root)):
        with open(os.path.join(root, name), "rb") as source:
            found[name] = source.read()
    return found


def trusted_publishers():
    """Thumbprints of the certificates in the user's TrustedPublisher store."""
    result = subprocess.run([WINE, "reg", "query", TRUSTED_PUBLISHER], stdin=subprocess.DEVNULL, capture_output=True)
    prefix = TRUSTED_PUBLISHER.replace("HKCU", "HKEY_CURRENT_USER") + "\\"
    lines = result.stdout.decode("latin-1").replace("\r", "").splitlines()
    return sorted(line[len(prefix):] for line in lines if line.startswith(prefix))


def publish(directory, lines, files):
    """Publishes components with tools/publish under served/client/DIRECTORY."""
    source = os.path.join(WORK, "files", directory)
    os.makedirs(source, exist_ok=True)
    for name, content in files.items():
        with open(os.path.join(source, name), "wb") as out:
            out.write(content)
    listing = os.path.join(source, "components.list")
    with open(listing, "w") as out:
        out.write("".join(line + "\n" for line in lines))
    subprocess.run([sys.executable, os.path.join(PROJECT, "tools", "publish"), "--list", listing,
                    "--out", os.path.join(stack.served, "client", directory)], check=True, capture_output=True)


def publish_certificate(directory, name, common_name):
    target = os.path.join(stack.served, "client", directory, name)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    os.path.join(WORK, "files", name + ".key"), "-subj", f"/CN={common_name}", "-days", "30",
                    "-outform", "DER", "-out", target], check=True, capture_output=True)
    with open(target, "rb") as source:
        return hashlib.sha1(source.read()).hexdigest().upper()


def sample(name):
    with open(os.path.join(BUILD, "tools", "sample-components", name), "rb") as source:
        return source.read()


# The second edition is much shorter than the first: the update must leave exactly its bytes.
NOTES_1 = b"notes, edition 1\n" * 600
NOTES_2 = b"notes, edition 2\n"


class JobOverHttps(unittest.TestCase):
    def test_install_noop_update_and_certificate(self):
        publish("job", ["alpha,sample_alpha.dll,1.0.0.0,library", "notes,notes.txt,1.0.0.0,file"],
                {"sample_alpha.dll": sample("sample_alpha.dll"), "notes.txt": NOTES_1})
        thumbprint = publish_certificate("job", "publisher.cer", "Corvane TLS Test Publisher")
        base = stack.url("good", "job")
        handshakes_before = len(stack.handshakes())
        requests_before = len(stack.nginx_log("good"))

        code, output, _ = update(base, "job", "alpha,notes")
        self.assertEqual((0, "component alpha: 0 (installed sample_alpha.dll at 1.0.0.0)\n"
                             "component notes: 0 (installed notes.txt at 1.0.0.0)\nresult: 1\n"), (code, output))
        files = installed("job")
        self.assertEqual(sample("sample_alpha.dll"), files["sample_alpha.dll"])
        self.assertEqual(NOTES_1, files["notes.txt"])
        self.assertEqual(b"alpha,,sample_alpha.dll,1.0.0.0,1,0\nnotes,,notes.txt,1.0.0.0,2,0\n",
                         files["components.txt"])
        self.assertEqual(["200", "200"], stack.handshakes()[handshakes_before:])

        code, output, _ = update(base, "job", "alpha,notes")
        self.assertEqual((0, "component alpha: 100 (already installed at the catalog's version 1.0.0.0)\n"
                             "component notes: 100 (already installed at the catalog's version 1.0.0.0)\n"
                             "result: 0\n"), (code, output))
        self.assertEqual(b"alpha,,sample_alpha.dll,1.0.0.0,1,1\nnotes,,notes.txt,1.0.0.0,2,1\n",
                         installed("job")["components.txt"])
        self.assertEqual(handshakes_before + 2, len(stack.handshakes()))

        publish("job", ["alpha,sample_alpha.dll,1.0.0.0,library", "notes,notes.txt,1.1.0.0,file"],
                {"notes.txt": NOTES_2})
        code, output, _ = update(base, "job", "alpha,notes")
        self.assertEqual((0, "component alpha: 100 (already installed at the catalog's version 1.0.0.0)\n"
                             "component notes: 0 (installed notes.txt at 1.1.0.0)\nresult: 1\n"), (code, output))
        files = installed("job")
        self.assertEqual(NOTES_2, files["notes.txt"])
        self.assertEqual(sample("sample_alpha.dll"), files["sample_alpha.dll"])
        self.assertEqual(["components.txt", "notes.txt", "sample_alpha.dll"],
                         sorted(name for name in files if not name.endswith(".ran")))
        self.assertEqual(b"alpha,,sample_alpha.dll,1.0.0.0,1,1\nnotes,,notes.txt,1.1.0.0,2,0\n",
                         files["components.txt"])

        self.assertNotIn(thumbprint, trusted_publishers())
        code, output, _ = certificate(base, "publisher.cer")
        self.assertEqual((0, "certificate publisher.cer: 0 (added to the user's TrustedPublisher store)\n"
                             "result: done\n"), (code, output))
        self.assertIn(thumbprint, trusted_publishers())

        # Every handshake went to the service and was answered 200; the files came from nginx.
        # The update replaces the stale file in place: no deletion, so no extra handshake.
        self.assertEqual(["200"] * 4, stack.handshakes()[handshakes_before:])
        self.assertEqual(["GET /client/job/cvprobecl.txt 200", "POST /client/session.cgi 200",
                          "GET /client/job/alpha.cab 200", "POST /client/session.cgi 200",
                          "GET /client/job/notes.cab 200", "GET /client/job/cvprobecl.txt 200",
                          "GET /client/job/cvprobecl.txt 200", "POST /client/session.cgi 200",
                          "GET /client/job/notes.cab 200", "POST /client/session.cgi 200",
                          "GET /client/job/publisher.cer 200"],
                         stack.nginx_log("good")[requests_before:])


class RefusedConnections(unittest.TestCase):
    # (case, site, scheme, WinINet's reason as Wine logs it; None: the request reaches nginx)
    CASES = [
        ("certificate from an untrusted CA", "untrusted", "https", "failed 12045"),  # ERROR_INTERNET_INVALID_CA
        ("certificate for another host name", "wrong-host", "https", "failed 12038"),  # ..._SEC_CERT_CN_INVALID
        ("expired certificate", "expired", "https", "failed 12037"),  # ERROR_INTERNET_SEC_CERT_DATE_INVALID
        ("http to the TLS port", "good", "http", None),
    ]

    def test_nothing_downloaded_deleted_or_recorded(self):
        publish("refused", ["notes,notes.txt,1.0.0.0,file"], {"notes.txt": b"refused notes, edition 1\n"})
        code, output, _ = update(stack.url("good", "refused"), "refused", "notes")
        self.assertEqual((0, "component notes: 0 (installed notes.txt at 1.0.0.0)\nresult: 1\n"), (code, output))
        # A newer edition and a new component: any call that reached the files would change
        # the installation.
        publish("refused", ["notes,notes.txt,2.0.0.0,file", "extra,extra.txt,1.0.0.0,file"],
                {"notes.txt": b"refused notes, edition 2\n", "extra.txt": b"extra\n"})
        publish_certificate("refused", "refused.cer", "Corvane Refused Publisher")
        before = installed("refused")
        publishers = trusted_publishers()

        for case, site, scheme, reason in self.CASES:
            with self.subTest(case):
                handshakes = len(stack.handshakes())
                requests = len(stack.nginx_log(site))
                base = stack.url(site, "refused", scheme)
                debug = "warn+wininet" if reason else None
                code, output, log = update(base, "refused", "notes,extra", debug=debug)
                unreadable = "102 (the catalog could not be read, or not trusted)\n"
                self.assertEqual((1, f"component notes: {unreadable}component extra: {unreadable}result: 0\n"),
                                 (code, output))
                if reason:
                    self.assertIn(reason, log)
                code, output, log = certificate(base, "refused.cer", debug=debug)
                self.assertEqual(1, code)
                self.assertRegex(output, r"^certificate refused\.cer: 15 \(the download of refused\.cer failed in the "
                                         r"handshake request .*\(HandshakeFailed\)\)\nresult: done\n$")
                if reason:
                    self.assertIn(reason, log)
                self.assertEqual(before, installed("refused"))
                self.assertEqual(publishers, trusted_publishers())
                self.assertEqual(handshakes, len(stack.handshakes()))
                # nginx saw nothing of a refused TLS handshake; plain http reached it and got 400s.
                expected = [] if reason else ["GET /client/refused/cvprobecl.txt 400", "POST /client/session.cgi 400"]
                self.assertEqual(expected, stack.nginx_log(site)[requests:])

        # The same call through the trusted site applies the update, so each refusal above
        # was the connection's and not a broken publication.
        code, output, _ = update(stack.url("good", "refused"), "refused", "notes,extra")
        self.assertEqual((0, "component notes: 0 (installed notes.txt at 2.0.0.0)\n"
                             "component extra: 0 (installed extra.txt at 1.0.0.0)\nresult: 1\n"), (code, output))
        self.assertEqual(b"refused notes, edition 2\n", installed("refused")["notes.txt"])


class HandshakePathThroughNginx(unittest.TestCase):
    def test_only_the_control_request_is_signed_and_nothing_redirects(self):
        os.makedirs(os.path.join(stack.served, "client", "probe"), exist_ok=True)
        session = fresh_session()
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        status, body = stack.request("POST", AUTH_PATH, b"SessionID=" + session.encode(), form)
        self.assertEqual(200, status)
        verify_reply(self, session, body)
        cases = [
            ("GET of the handshake path", "GET", AUTH_PATH, None, {}, 405),
            ("lower-case challenge", "POST", AUTH_PATH, b"SessionID=" + session.lower().encode(), form, 400),
            ("body over nginx's limit", "POST", AUTH_PATH, b"SessionID=" + b"A" * 5000, form, 413),
            ("handshake path with a slash", "POST", AUTH_PATH + "/", b"SessionID=" + session.encode(), form, 403),
            ("POST to a published folder", "POST", "/client/probe", b"SessionID=" + session.encode(), form, 403),
            ("folder without its slash", "GET", "/client/probe", None, {}, 404),
            ("missing file", "GET", "/client/probe/none.cab", None, {}, 404),
        ]
        for name, method, path, request_body, headers, expected in cases:
            with self.subTest(name):
                status, body = stack.request(method, path, request_body, headers)
                self.assertEqual(expected, status)
                self.assertNotIn(session[:64].encode(), body)

    def test_tls_versions_before_1_2_are_refused_by_the_site(self):
        def connect(version):
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.load_verify_locations(os.path.join(stack.directory, "certificates", "ca.pem"))
            # The client's own floor is lowered so that the refusal, if any, is the site's.
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
            context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
            context.maximum_version = version
            with socket.create_connection(("127.0.0.1", stack.ports["good"]), timeout=10) as raw:
                with context.wrap_socket(raw, server_hostname="localhost") as secure:
                    return secure.version()

        self.assertEqual("TLSv1.2", connect(ssl.TLSVersion.TLSv1_2))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
                with self.subTest(version.name):
                    # nginx's own refusal: a protocol-version alert, not a failed cipher choice.
                    with self.assertRaisesRegex(ssl.SSLError, "PROTOCOL_VERSION"):
                        connect(version)


def waiting_requests(port):
    """Connections to 127.0.0.1:PORT that hold request bytes nobody has read yet."""
    waiting = 0
    with open("/proc/net/tcp") as table:
        for row in list(table)[1:]:
            fields = row.split()
            local_port = int(fields[1].split(":")[1], 16)
            unread = int(fields[4].split(":")[1], 16)
            if local_port == port and fields[3] == "01" and unread:  # 01: ESTABLISHED
                waiting += 1
    return waiting


def group_members(group):
    """Live processes of a process group."""
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as source:
                    # The fields follow the command name, which may hold spaces: read after ")".
                    state, _, member_group = source.read().rsplit(")", 1)[1].split()[:3]
                # A zombie (a killed child its parent has not reaped yet) holds no socket.
                if int(member_group) == group and state != "Z":
                    members.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return members


class BackendLostMidRun(unittest.TestCase):
    """Two backends behind the site; one is killed, workers and all, while a run of calls goes on."""
    CALLS = 8

    def test_every_call_installs_and_the_survivor_answers_after_the_kill(self):
        failover = Stack("failover", "good", ["--backends", "2"])
        self.addCleanup(failover.stop)
        self.assertTrue(trust_stack_ca(failover))
        publish("failover", ["alpha,sample_alpha.dll,1.0.0.0,library", "notes,notes.txt,1.0.0.0,file"],
                {"sample_alpha.dll": sample("sample_alpha.dll"), "notes.txt": b"failover notes\n"})
        (victim_port, victim), (_, survivor) = failover.backends
        with open(os.path.join(victim, "gunicorn.pid")) as source:
            victim_group = int(source.read())
        self.assertGreater(len(group_members(victim_group)), 1)  # the master and its worker
        base = failover.url("good", "failover")
        results = []

        def run_calls():
            for number in range(self.CALLS):
                results.append(update(base, f"failover-{number}", "alpha,notes"))

        calls = threading.Thread(target=run_calls)
        calls.start()
        try:
            wait_until(lambda: len(results) >= 2 or not calls.is_alive(), 120)
            # Stopped first, so that a handshake is certainly sent to the victim and still
            # unanswered when it dies: the case nginx retries only with non_idempotent.
            os.killpg(victim_group, signal.SIGSTOP)
            in_flight = wait_until(lambda: waiting_requests(victim_port), 30)
            answered_before = (len(failover.handshakes(victim)), len(failover.handshakes(survivor)))
        finally:
            os.killpg(victim_group, signal.SIGKILL)
            calls.join(timeout=300)
        self.assertTrue(in_flight, "no handshake reached the stopped backend")
        wait_until(lambda: not group_members(victim_group), 10)
        self.assertEqual([], group_members(victim_group))

        installed_both = ("component alpha: 0 (installed sample_alpha.dll at 1.0.0.0)\n"
                          "component notes: 0 (installed notes.txt at 1.0.0.0)\nresult: 1\n")
        self.assertEqual([(0, installed_both)] * self.CALLS, [result[:2] for result in results])
        for number in range(self.CALLS):
            files = installed(f"failover-{number}")
            self.assertEqual(sample("sample_alpha.dll"), files.get("sample_alpha.dll"), number)
            self.assertEqual(b"failover notes\n", files.get("notes.txt"), number)
        # Each call made two handshakes; every one after the kill, the one in flight
        # included, was answered by the survivor, and all of them with 200.
        self.assertGreater(answered_before[0], 0)
        self.assertEqual(answered_before[0], len(failover.handshakes(victim)))
        after_kill = len(failover.handshakes(survivor)) - answered_before[1]
        self.assertEqual(2 * self.CALLS - sum(answered_before), after_kill)
        self.assertEqual(["200"] * 2 * self.CALLS, failover.handshakes())
        with open(os.path.join(failover.directory, "nginx-good", "logs", "corvane-error.log")) as source:
            errors = source.read()
        self.assertRegex(errors, r"(reset by peer|prematurely closed).*upstream: "
                                 rf"\"http://127\.0\.0\.1:{victim_port}/client/session\.cgi\"")
        self.assertEqual([], failover.stop())  # the stack stops the survivor and nginx, nothing else is left


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.02)


if __name__ == "__main__":
    unittest.main()
