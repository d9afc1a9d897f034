#!/usr/bin/env python3
"""Writes stable_ids.txt: for each identity, the stable device id computed with hashlib alone.

The id is "dev_" and the lower-case hex SHA-256 of the tag, one zero byte and the identity.
Run from this folder: python3 stable_ids.py > stable_ids.txt
"""
import hashlib

TAG = b"tallowmere.discovery.device.v1"
IDENTITIES = ["aabbccddeeff", "001122334455", "f0e1d2c3b4a5", "000000000000"]

for identity in IDENTITIES:
    digest = hashlib.sha256(TAG + b"\x00" + identity.encode("ascii")).hexdigest()
    print(identity, "dev_" + digest)
