"""The component server's answer to the control's session handshake.

The control posts "SessionID=" followed by a fresh challenge in hexadecimal; the server
echoes that text and signs the raw challenge bytes (RSA PKCS#1 v1.5, SHA-1) with its private
key. Both the deployable WSGI service and the reference test server answer through this
module, so the reply has exactly one implementation.
"""

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

CHALLENGE_BYTES = 1024


def load_private_key(path):
    """The RSA private key in the PEM file at path (unencrypted); anything else is refused."""
    with open(path, "rb") as source:
        key = serialization.load_pem_private_key(source.read(), password=None)
    if not isinstance(key, rsa.RSAPrivateKey):
        raise ValueError(f"{path} does not hold an RSA private key")
    return key


def signature_hex(private_key, message, digest=None):
    """Uppercase hexadecimal PKCS#1 v1.5 signature over message (SHA-1 unless told)."""
    signature = private_key.sign(message, padding.PKCS1v15(), digest or hashes.SHA1())
    return signature.hex().upper()


def format_reply(echo, signature):
    return f"-{echo}/{signature}=".encode("ascii")


def handshake_reply(private_key, session):
    """The reply to a session value: "-" session "/" SIGNATURE "=", signed over its bytes."""
    return format_reply(session, signature_hex(private_key, bytes.fromhex(session)))
