#pragma once
// The session engine as the process shell sees it: what a session is started with, its start
// (with the production runner, declared here, or with a runner of the caller's), the owner's handle
// with the session's state, report and failure, the events it sends, and the crypto warm-up paid
// once at process start. This header and what it includes are all that libraries outside engine/
// can include of the engine; the rest of engine/ is private to the engine's own libraries.

#include "engine/core/session_config.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_events.hpp"
#include "engine/core/session_handle.hpp"
#include "engine/core/session_id.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/core/session_start.hpp"
#include "engine/core/session_state.hpp"

namespace kestrune::engine {

// start_session_with_runner with the runner every session of the process gets: the managed
// session with loopback capture from the sound server (its errors are listed there).
[[nodiscard]] SessionExpected<StartedSession> start_session(SessionConfig config);

// The crypto library's one-time costs, paid at process start rather than inside the first
// session's pairing: loading its configuration, seeding its random generator, fetching the
// SHA-512, HKDF and ChaCha20-Poly1305 implementations, building the SRP group, and bringing the
// code of a modular exponentiation into memory. None of it depends on a session or keeps a secret;
// a failure here is ignored (the session that needs the piece reports it). Idempotent; safe from
// any thread.
void warm_up_session_crypto();

}  // namespace kestrune::engine
