#!/usr/bin/python3
"""Signs bytes with Ed25519 through OpenSSL, for the native manifest tests.

usage: sign_manifest.py SEED_HEX  < bytes
The key is the one whose 32-byte seed is SEED_HEX. Prints "PUBLIC_HEX SIGNATURE_HEX".
"""
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

key = ed25519.Ed25519PrivateKey.from_private_bytes(bytes.fromhex(sys.argv[1]))
public = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
print(public.hex(), key.sign(sys.stdin.buffer.read()).hex())
