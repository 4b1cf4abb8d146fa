"""Session handshake of the Corvane component server as a WSGI application.

Run it behind nginx with gunicorn:

    CORVANE_HANDSHAKE_KEY=/etc/corvane-handshake/server-private.pem \
        gunicorn --bind 127.0.0.1:8081 --pythonpath /opt/corvane-handshake handshake_app:application

It answers only the request the control sends: a POST whose form body is "SessionID="
followed by the challenge as 2048 uppercase hexadecimal digits. Anything else gets a short
4xx text and no signature, so the service signs nothing but fresh challenges of the
control's own shape.
"""

import os
import re

from handshake_reply import CHALLENGE_BYTES, handshake_reply, load_private_key

KEY_VARIABLE = "CORVANE_HANDSHAKE_KEY"
# The control's body is 2058 bytes; a little room, and nothing big is ever read.
BODY_LIMIT = 4096
FORM_TYPE = "application/x-www-form-urlencoded"
SESSION_BODY = re.compile(rb"SessionID=([0-9A-F]{%d})" % (2 * CHALLENGE_BYTES))


def _text(start_response, status, message, extra=()):
    body = (message + "\n").encode("ascii")
    headers = [("Content-Type", "text/plain"), ("Content-Length", str(len(body))),
               ("Cache-Control", "no-store"), *extra]
    start_response(status, headers)
    return [body]


def make_application(private_key):
    def application(environ, start_response):
        if environ.get("REQUEST_METHOD") != "POST":
            return _text(start_response, "405 Method Not Allowed", "only POST answers the handshake",
                         [("Allow", "POST")])
        media_type = environ.get("CONTENT_TYPE", "").split(";", 1)[0].strip().lower()
        if media_type != FORM_TYPE:
            return _text(start_response, "415 Unsupported Media Type", "the body must be " + FORM_TYPE)
        try:
            length = int(environ.get("CONTENT_LENGTH") or "")
        except ValueError:
            return _text(start_response, "411 Length Required", "Content-Length is required")
        if length < 0:
            return _text(start_response, "400 Bad Request", "Content-Length is not valid")
        if length > BODY_LIMIT:
            return _text(start_response, "413 Payload Too Large", f"the body is over {BODY_LIMIT} bytes")
        body = environ["wsgi.input"].read(length)
        match = SESSION_BODY.fullmatch(body)
        if match is None or len(body) != length:
            return _text(start_response, "400 Bad Request",
                         f"the body must be SessionID= and {2 * CHALLENGE_BYTES} uppercase hexadecimal digits")
        reply = handshake_reply(private_key, match.group(1).decode("ascii"))
        start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", str(len(reply))),
                                  ("Cache-Control", "no-store")])
        return [reply]

    return application


def _application_from_environment():
    path = os.environ.get(KEY_VARIABLE)
    if not path:
        raise RuntimeError(f"{KEY_VARIABLE} must name the PEM file of the server's private key")
    return make_application(load_private_key(path))


# Read once, when the worker imports the module: a missing or unreadable key stops the
# service at start instead of failing each request.
application = _application_from_environment()
