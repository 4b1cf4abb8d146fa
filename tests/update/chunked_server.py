#!/usr/bin/python3
"""Serves files with chunked transfer coding on 127.0.0.1, for the catalog tests.

  chunked_server.py start DIR   serves DIR/files in the background; writes DIR/port, DIR/pid
  chunked_server.py stop DIR    ends the server started for DIR

GET /NAME sends the file in chunks of 100 bytes; GET /cut/NAME sends half of it in chunks
and closes the connection without the last chunk (Wine's WinINet reports that as a normal
end of the body, so no test relies on it being caught)."""
import http.server
import os
import signal
import subprocess
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        cut = self.path.startswith("/cut/")
        name = self.path[len("/cut/"):] if cut else self.path[1:]
        path = os.path.join(self.server.files, os.path.basename(name))
        if not os.path.isfile(path):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = open(path, "rb").read()
        if cut:
            body = body[:len(body) // 2]
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for start in range(0, len(body), 100):
            piece = body[start:start + 100]
            self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
        if cut:
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(b"0\r\n\r\n")


def serve(state):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.files = os.path.join(state, "files")
    with open(os.path.join(state, "port.tmp"), "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(os.path.join(state, "port.tmp"), os.path.join(state, "port"))
    server.serve_forever()


def main():
    command, state = sys.argv[1], os.path.abspath(sys.argv[2])
    if command == "serve":
        serve(state)
    elif command == "start":
        os.makedirs(os.path.join(state, "files"), exist_ok=True)
        for leftover in ("port", "pid"):
            if os.path.exists(os.path.join(state, leftover)):
                os.remove(os.path.join(state, leftover))
        child = subprocess.Popen([sys.executable, __file__, "serve", state], start_new_session=True,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(os.path.join(state, "pid"), "w") as f:
            f.write(str(child.pid))
        for _ in range(100):
            if os.path.exists(os.path.join(state, "port")):
                return
            if child.poll() is not None:
                break
            time.sleep(0.1)
        raise SystemExit("chunked server did not start")
    elif command == "stop":
        try:
            os.kill(int(open(os.path.join(state, "pid")).read()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
    else:
        raise SystemExit(__doc__)


main()
