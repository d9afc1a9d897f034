#pragma once
// The crypto library's one-time costs, paid at process start rather than inside the first
// session's pairing: loading its configuration, seeding its random generator, fetching the
// SHA-512, HKDF and ChaCha20-Poly1305 implementations, building the SRP group, and bringing the
// code of a modular exponentiation into memory. None of it depends on a session or keeps a secret;
// a failure here is ignored (the session that needs the piece reports it).

namespace kestrune::engine {

// Idempotent; safe from any thread.
void warm_up_session_crypto();

}  // namespace kestrune::engine
