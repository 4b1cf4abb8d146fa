#!/usr/bin/python3
"""Signs a session value the way a component server does, for the native tests.

usage: sign_session.py PRIVATE.pem [wrong-key|sha256|sign-hex-text]  < session hex
Prints the uppercase hexadecimal signature.
"""
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

key_path = sys.argv[1]
fault = sys.argv[2] if len(sys.argv) > 2 else ""
session = sys.stdin.read().strip()
with open(key_path, "rb") as source:
    key = serialization.load_pem_private_key(source.read(), password=None)
if fault == "wrong-key":
    key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
message = session.encode("ascii") if fault == "sign-hex-text" else bytes.fromhex(session)
digest = hashes.SHA256() if fault == "sha256" else hashes.SHA1()
if fault not in ("", "wrong-key", "sign-hex-text", "sha256"):
    sys.exit("unknown fault " + fault)
print(key.sign(message, padding.PKCS1v15(), digest).hex().upper())
