#pragma once
// The session engine as the process shell sees it: what a session is started with, its start
// (with the production runner, or with a runner of the caller's), the owner's handle with the
// session's state, report and failure, the events it sends, and the crypto warm-up paid once at
// process start. This header and what it includes are all that libraries outside engine/ can
// include of the engine; the rest of engine/ is private to the engine's own libraries.

#include "engine/core/session_config.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_events.hpp"
#include "engine/core/session_handle.hpp"
#include "engine/core/session_id.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/core/session_start.hpp"
#include "engine/core/session_state.hpp"
#include "engine/orchestration/default_session_runner.hpp"
#include "engine/session/crypto_warmup.hpp"
