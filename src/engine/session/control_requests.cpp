#include "engine/session/control_requests.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/stderr_log.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

namespace {

constexpr double kSilentDb = -144.0;

// One exchange on the session URL under the connection's lock, waited for. Its stderr line goes
// out after the lock is let go.
support::Result<RtspResponse> exchange_locked(RtspSession& session, std::string_view method,
                                              const std::vector<RtspHeader>& headers,
                                              std::span<const std::uint8_t> body,
                                              CancelSource cancel) {
  const platform::DeferredStderr deferred;  // ends after the guard below
  auto connection = session.connection->lock();
  if (connection.poisoned()) support::end_thread("RTSP lock poisoned");
  return rtsp_exchange(*connection, method, session.url, headers, body, cancel);
}

support::Status send_volume(RtspSession& session, float volume, CancelSource cancel) {
  const std::string body = volume_parameter_body(volume);
  auto response = exchange_locked(
      session, "SET_PARAMETER", {{"Content-Type", "text/parameters"}},
      std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()), cancel);
  if (!response) return support::fail(std::move(response).error());
  return ensure_rtsp_ok(*response, "SET_PARAMETER volume");
}

}  // namespace

std::string volume_parameter_body(float volume) {
  const double clamped = std::clamp(static_cast<double>(volume), 0.0, 1.0);
  double level = 20.0 * std::log10(clamped);
  if (clamped <= 0.0 || std::isnan(clamped)) level = kSilentDb;
  if (clamped >= 1.0) level = 0.0;
  char text[32];
  std::snprintf(text, sizeof text, "volume: %.2f\r\n", level);
  return text;
}

support::Status send_initial_flush(RtspSession& session, const std::atomic<bool>& stop_requested) {
  auto response = exchange_locked(session, "FLUSH", {{"RTP-Info", "seq=0;rtptime=0"}}, {},
                                  CancelSource(&stop_requested));
  if (!response) return support::fail(std::move(response).error());
  return ensure_rtsp_ok(*response, "FLUSH");
}

support::Status send_initial_volume(RtspSession& session, float volume,
                                    const std::atomic<bool>& stop_requested) {
  return send_volume(session, volume, CancelSource(&stop_requested));
}

support::Status send_volume_update(RtspSession& session, float volume) {
  return send_volume(session, volume, CancelSource::none());
}

}  // namespace kestrune::engine
