#!/usr/bin/env python3
"""Writes the crypto vectors that the unit tests read: HKDF-SHA-512, the four session keys and one
SRP-6a exchange (client and server side), computed here with nothing but hashlib, hmac and pow, so
that the C++ code is checked against an implementation that shares none of its code.

Run from anywhere: python3 tests/vectors/gen_vectors.py. The tests do not run this script; they
read the .txt files it writes next to itself.
"""

import hashlib
import hmac
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# The 3072-bit group of RFC 5054 (Appendix A), generator 5.
N_HEX = (
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74"
    "020BBEA63B139B22514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F1437"
    "4FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3DC2007CB8A163BF05"
    "98DA48361C55D39A69163FA8FD24CF5F83655D23DCA3AD961C62F356208552BB"
    "9ED529077096966D670C354E4ABC9804F1746C08CA18217C32905E462E36CE3B"
    "E39E772C180E86039B2783A2EC07A28FB5C55DF06F4C52C9DE2BCBF695581718"
    "3995497CEA956AE515D2261898FA051015728E5A8AAAC42DAD33170D04507A33"
    "A85521ABDF1CBA64ECFB850458DBEF0A8AEA71575D060C7DB3970F85A6E1E4C7"
    "ABF5AE8CDB0933D71E8C94E04A25619DCEE3D2261AD2EE6BF12FFA06D98A0864"
    "D87602733EC86A64521F2B18177B200CBBE117577A615D6C770988C0BAD946E2"
    "08E24FA074E5AB3143DB5BFCE0FD108E4B82D120A93AD2CAFFFFFFFFFFFFFFFF"
)
N = int(N_HEX, 16)
G = 5
PAD = 384


def H(*parts):
    digest = hashlib.sha512()
    for part in parts:
        digest.update(part)
    return digest.digest()


def pad(value):
    return value.to_bytes(PAD, "big")


def as_int(data):
    return int.from_bytes(data, "big")


def hkdf_sha512(ikm, salt, info, length):
    prk = hmac.new(salt, ikm, hashlib.sha512).digest()
    out, block, counter = b"", b"", 1
    while len(out) < length:
        block = hmac.new(prk, block + info + bytes([counter]), hashlib.sha512).digest()
        out += block
        counter += 1
    return out[:length]


def seeded(label, size):
    """Deterministic bytes for a fixed input, so the vectors never change between runs."""
    return hashlib.sha512(label.encode()).digest()[:size]


def write(name, comment, entries):
    with open(os.path.join(HERE, name), "w") as out:
        for line in comment.strip().splitlines():
            out.write("# " + line + "\n")
        for key, value in entries:
            out.write(f"{key} = {value.hex()}\n")


def session_keys():
    k = bytes(range(64))
    rows = [
        ("control_write_key", b"Steer-Pepper", b"Control-Write-Encryption-Key"),
        ("control_read_key", b"Steer-Pepper", b"Control-Read-Encryption-Key"),
        ("events_key", b"Relay-Spice", b"Events-Write-Encryption-Key"),
        ("pair_setup_encrypt_key", b"Link-Forge-Cipher-Grain", b"Pair-Setup-Encrypt-Info"),
    ]
    entries = [("session_key", k)]
    entries += [(name, hkdf_sha512(k, salt, info, 32)) for name, salt, info in rows]
    # A plain HKDF case with an output longer than one hash block.
    ikm, salt, info = seeded("hkdf ikm", 22), seeded("hkdf salt", 13), b"kestrune hkdf info"
    entries += [("hkdf_ikm", ikm), ("hkdf_salt", salt), ("hkdf_info", info),
                ("hkdf_okm", hkdf_sha512(ikm, salt, info, 100))]
    write("session_keys.txt", "HKDF-SHA-512 and the session keys derived from K.\n"
          "Written by gen_vectors.py.", entries)


def srp_exchange():
    identity, password = b"Pair-Setup", b"5271"
    a = as_int(seeded("srp private a", 32))
    b = as_int(seeded("srp private b", 32))
    salt = seeded("srp salt", 16)

    x = as_int(H(salt, H(identity, b":", password)))
    k = as_int(H(pad(N), pad(G)))
    v = pow(G, x, N)
    A = pow(G, a, N)
    B = (k * v + pow(G, b, N)) % N
    u = as_int(H(pad(A), pad(B)))
    assert u != 0 and B % N != 0

    # Client side.
    S_client = pow((B - k * pow(G, x, N)) % N, (a + u * x) % (N - 1), N)
    # Server side, independently.
    S_server = pow(A * pow(v, u, N) % N, b, N)
    assert S_client == S_server
    K = H(pad(S_client))

    X = bytes(p ^ q for p, q in zip(H(pad(N)), H(bytes([G]))))
    M1 = H(X, H(identity), salt, pad(A), pad(B), K)
    M2 = H(pad(A), M1, K)

    entries = [
        ("identity", identity), ("password", password),
        ("private_a", a.to_bytes(32, "big")), ("private_b", b.to_bytes(32, "big")),
        ("salt", salt), ("verifier", pad(v)), ("public_a", pad(A)), ("public_b", pad(B)),
        ("k", H(pad(N), pad(G))), ("u", H(pad(A), pad(B))), ("session_key", K),
        ("client_proof", M1), ("server_proof", M2),
    ]
    write("srp_exchange.txt", "One SRP-6a exchange (RFC 5054 3072-bit group, SHA-512) with fixed\n"
          "private values. Written by gen_vectors.py.", entries)


if __name__ == "__main__":
    session_keys()
    srp_exchange()
