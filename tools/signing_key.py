"""The Ed25519 keys that sign a deployment's manifests: tools/make-signing-key makes them,
tools/publish signs with them and tools/component-server signs and shows them on request,
all reading a key file the same way."""

import hashlib

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519


class SigningKeyError(Exception):
    """Why a file cannot serve as a signing key, said in one line."""


def load_signing_key(path):
    try:
        with open(path, "rb") as source:
            key = serialization.load_pem_private_key(source.read(), password=None)
    except OSError as error:
        raise SigningKeyError(f"cannot read the signing key {path}: {error.strerror}") from None
    except (ValueError, TypeError):
        key = None
    if not isinstance(key, ed25519.Ed25519PrivateKey):
        raise SigningKeyError(f"{path} is not an unencrypted Ed25519 private key in PEM "
                              f"(make one with tools/make-signing-key)")
    return key


def raw_public_key(key):
    """The 32 bytes of the public half, as a control built with it holds them."""
    return key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def fingerprint(key):
    """Lowercase hexadecimal SHA-256 of the raw public key: the name under which a control
    keeps the highest serial it has accepted from that key."""
    return hashlib.sha256(raw_public_key(key)).hexdigest()
