#include "engine/session/start_sequence.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>

#include "engine/core/session_report_merge.hpp"
#include "engine/core/start_point.hpp"
#include "engine/rtsp/session_keys.hpp"
#include "engine/session/events_connection.hpp"
#include "engine/session/pair_setup.hpp"
#include "engine/session/session_identity.hpp"
#include "engine/session/session_teardown.hpp"
#include "engine/session/setup_bodies.hpp"
#include "engine/session/startup_owner.hpp"
#include "platform/os_random.hpp"
#include "platform/stderr_log.hpp"
#include "support/thread.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

using platform::write_stderr_line;
using support::Error;

constexpr const char* kPlistContentType = "application/x-apple-binary-plist";
constexpr const char* kUnavailable = "<unavailable>";
constexpr const char* kAbsent = "<absent>";

using Failed = std::unexpected<StartupFailure>;
using Step = std::expected<void, StartupFailure>;

Failed failed(StartupErrorKind kind, Error error) { return Failed({kind, std::move(error)}); }

std::string decimal_or_absent(const std::optional<std::uint16_t>& value) {
  return value ? std::to_string(*value) : kAbsent;
}

std::uint32_t random_stream_connection_id() {
  std::array<std::uint8_t, 4> bytes{};
  if (auto filled = platform::fill_os_random(bytes); !filled) {
    support::end_thread(filled.error().context("make stream connection id").describe());
  }
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool is_success_status(std::uint16_t status) { return status >= 200 && status <= 299; }

// The steps between the TCP connect and the session record, each on the live owner. A failed
// step returns its kind; the owner's drop then cleans up.
class StartSequence {
 public:
  StartSequence(const SessionTarget& target, SessionShared& shared, std::string device_id)
      : target_(target), shared_(shared), device_id_(std::move(device_id)) {}
  StartSequence(const StartSequence&) = delete;
  StartSequence& operator=(const StartSequence&) = delete;
  ~StartSequence() { support::wipe(audio_key_); }

  CancelSource stop() const { return CancelSource(&shared_.stop_requested); }
  bool stop_requested() const { return shared_.stop_requested.load(std::memory_order_acquire); }

  // A failed connect or exchange: its own kind, unless the stop request is set by now.
  Failed exchange_failed(StartupErrorKind kind, Error error) const {
    return failed(stop_requested() ? StartupErrorKind::cancelled : kind, std::move(error));
  }
  Step stop_check() const {
    if (stop_requested()) return failed(StartupErrorKind::cancelled, Error("startup cancelled"));
    return {};
  }

  support::Result<RtspResponse> exchange(StartupOwner& owner, std::string_view method,
                                         std::string_view uri,
                                         const std::vector<RtspHeader>& headers,
                                         std::span<const std::uint8_t> body = {}) {
    return rtsp_exchange(*owner.connection, method, uri, headers, body, stop());
  }

  Step read_info(StartupOwner& owner);
  Step pair_and_encrypt(StartupOwner& owner);
  Step start_timing(StartupOwner& owner);
  Step setup_phase1(StartupOwner& owner);
  void connect_events(StartupOwner& owner);
  Step bind_control_socket(StartupOwner& owner);
  Step setup_phase2(StartupOwner& owner);
  RtspSession build_record(StartupOwner& owner);

 private:
  const SessionTarget& target_;
  SessionShared& shared_;
  std::string device_id_;
  AeadKey audio_key_{};
  std::string url_;
  Setup1Response setup1_;
  Setup2Response setup2_;
  std::uint16_t local_control_port_ = 0;
};

Step StartSequence::read_info(StartupOwner& owner) {
  auto info = exchange(owner, "GET", "/info", {{"Content-Type", kPlistContentType}});
  if (!info) return exchange_failed(StartupErrorKind::connect_or_info, std::move(info).error());
  if (auto ok = ensure_rtsp_ok(*info, "GET /info"); !ok) {
    return failed(StartupErrorKind::connect_or_info, std::move(ok).error());
  }
  if (auto checked = stop_check(); !checked) return checked;
  write_stderr_line("stage=info status=200 body_bytes=" + std::to_string(info->body.size()));
  return {};
}

Step StartSequence::pair_and_encrypt(StartupOwner& owner) {
  auto key = pair_setup_transient(*owner.connection, stop());
  if (!key) {
    const auto kind = key.error().kind == PairSetupFailureKind::cancelled
                          ? StartupErrorKind::cancelled
                          : StartupErrorKind::pairing;
    return failed(kind, std::move(key).error().error);
  }
  auto keys = derive_session_keys(key->bytes);
  if (!keys) return failed(StartupErrorKind::pairing, std::move(keys).error());
  owner.connection->enable_control_cipher(keys->control_write_key, keys->control_read_key);
  audio_key_ = keys->events_key;

  auto options = exchange(owner, "OPTIONS", "*", {});
  if (!options) {
    return exchange_failed(StartupErrorKind::pairing,
                           std::move(options).error().context("encrypted OPTIONS transport"));
  }
  if (options->status == 200) {
    write_stderr_line("stage=encrypted_options status=200");
  } else {
    write_stderr_line("warning[encrypted_options]: RTSP " + std::to_string(options->status));
  }
  reached_start_point(shared_, StartPoint::options_answered);
  return {};
}

Step StartSequence::start_timing(StartupOwner& owner) {
  if (auto checked = stop_check(); !checked) return checked;
  auto responder = start_timing_responder();
  if (!responder) return failed(StartupErrorKind::timing, std::move(responder).error());
  owner.timing_responder.emplace(std::move(*responder));
  reached_start_point(shared_, StartPoint::timing_started);
  return stop_check();
}

Step StartSequence::setup_phase1(StartupOwner& owner) {
  const std::string uuid = random_rtsp_session_uuid();
  url_ = session_url(target_.address, uuid);
  write_stderr_line("session uuid=" + uuid);

  const std::uint16_t timing_port = owner.timing_responder->local_port;
  auto body = build_setup_phase1_body(device_id_, uuid, timing_port);
  if (!body) return failed(StartupErrorKind::setup_phase1, std::move(body).error());
  write_stderr_line("stage=setup1_send local_timing_port=" + std::to_string(timing_port) +
                    " body_bytes=" + std::to_string(body->size()) +
                    " fields=deviceID:string,sessionUUID:string,timingPort:integer,"
                    "timingProtocol:NTP");

  auto response = exchange(owner, "SETUP", url_, {{"Content-Type", kPlistContentType}}, *body);
  if (!response) {
    write_stderr_line("diagnostic[setup1]: timing_requests_received=" +
                      std::to_string(owner.timing_responder->requests->load()) +
                      " hint=verify_Windows_Firewall_inbound_rule_for_sender");
    return exchange_failed(StartupErrorKind::setup_phase1,
                           std::move(response).error().context("SETUP phase 1 transport"));
  }
  if (auto ok = ensure_rtsp_ok(*response, "SETUP phase 1"); !ok) {
    return failed(StartupErrorKind::setup_phase1, std::move(ok).error());
  }
  const auto shape = describe_plist_dictionary(response->body);
  write_stderr_line("stage=setup1_response body_bytes=" + std::to_string(response->body.size()) +
                    " shape=" + (shape ? *shape : std::string(kUnavailable)));
  auto parsed = parse_setup1_response(response->body);
  if (!parsed) return failed(StartupErrorKind::setup_phase1, std::move(parsed).error());
  setup1_ = *parsed;
  if (auto checked = stop_check(); !checked) return checked;

  if (auto session = find_header(*response, "Session")) {
    owner.connection->set_session_id(*session);
  } else {
    write_stderr_line("warning[setup1]: missing Session header, using compatibility value 1");
    owner.connection->set_session_id("1");
  }
  write_stderr_line("stage=setup1 local_timing_port=" + std::to_string(timing_port) +
                    " event_port=" + std::to_string(setup1_.event_port) +
                    " remote_timing_port=" + decimal_or_absent(setup1_.remote_timing_port) +
                    " response_types=eventPort:integer,timingPort:optional_integer");
  return {};
}

void StartSequence::connect_events(StartupOwner& owner) {
  auto events = connect_events_with_deadline(
      receiver_socket_address(target_.address, setup1_.event_port), shared_);
  if (!events) {
    write_stderr_line("warning[events]: connection failed");
    return;
  }
  owner.events_connection.emplace(std::move(*events));
  write_stderr_line("stage=events connected=true port=" + std::to_string(setup1_.event_port));
}

Step StartSequence::bind_control_socket(StartupOwner& owner) {
  auto socket = platform::UdpSocket::bind_any_ipv4();
  if (!socket) {
    return failed(StartupErrorKind::control_bind,
                  std::move(socket).error().context("bind local control UDP socket"));
  }
  owner.control_socket.emplace(std::move(*socket));
  auto port = owner.control_socket->local_port();
  if (!port) return failed(StartupErrorKind::control_bind, std::move(port).error());
  local_control_port_ = *port;
  reached_start_point(shared_, StartPoint::control_socket_bound);
  return {};
}

Step StartSequence::setup_phase2(StartupOwner& owner) {
  auto body =
      build_setup_phase2_body(local_control_port_, audio_key_, random_stream_connection_id());
  if (!body) return failed(StartupErrorKind::setup_phase2, std::move(body).error());
  auto response =
      exchange(owner, "SETUP", url_, {{"Content-Type", kPlistContentType}}, body->bytes());
  if (!response) {
    return exchange_failed(StartupErrorKind::setup_phase2, std::move(response).error());
  }
  if (auto ok = ensure_rtsp_ok(*response, "SETUP phase 2"); !ok) {
    return failed(StartupErrorKind::setup_phase2, std::move(ok).error());
  }
  const auto shape = describe_setup2_stream_fields(response->body);
  write_stderr_line("stage=setup2_response body_bytes=" + std::to_string(response->body.size()) +
                    " type96_shape=" + (shape ? *shape : std::string(kUnavailable)));
  auto parsed = parse_setup2_response(response->body);
  if (!parsed) return failed(StartupErrorKind::setup_phase2, std::move(parsed).error());
  setup2_ = *parsed;
  reached_start_point(shared_, StartPoint::setup2_answered);
  if (auto checked = stop_check(); !checked) return checked;
  write_stderr_line("stage=setup2 local_control_port=" + std::to_string(local_control_port_) +
                    " data_port=" + std::to_string(setup2_.data_port) +
                    " control_port=" + std::to_string(setup2_.control_port) + " stream_id=" +
                    (setup2_.stream_id ? setup2_.stream_id->to_string() : std::string(kAbsent)) +
                    " response_types=type:integer,dataPort:integer,controlPort:integer,"
                    "streamID:optional_integer request_shk_type=data");
  return {};
}

RtspSession StartSequence::build_record(StartupOwner& owner) {
  RtspSession record(std::make_shared<support::Mutex<RtspConnection>>(std::move(*owner.connection)),
                     std::move(*owner.control_socket), std::move(*owner.timing_responder));
  owner.connection.reset();
  owner.control_socket.reset();
  owner.timing_responder.reset();
  record.events_connection = std::move(owner.events_connection);
  owner.events_connection.reset();
  owner.live = 0;

  record.url = url_;
  record.audio_key = audio_key_;
  record.remote_timing_port = setup1_.remote_timing_port;
  record.event_port = setup1_.event_port;
  record.local_timing_port = record.timing_responder.local_port;
  record.local_control_port = local_control_port_;
  record.data_port = setup2_.data_port;
  record.remote_control_port = setup2_.control_port;
  record.receiver_address = target_.address;
  record.state = TransportState::active;
  return record;
}

// FLUSH and TEARDOWN (or the quick close) on a record whose RECORD did not succeed, with the
// evidence recorded.
void abandon_record(RtspSession&& record, SessionShared& shared, bool quick) {
  const auto deadline = shutdown_deadline(shared);
  TeardownEvidence teardown =
      quick ? abort_session_transport(record) : flush_and_teardown(record, deadline);
  teardown = close_session_record(std::move(record), teardown);
  record_shutdown_evidence(shared, teardown.forced_stages, teardown.evidence);
}

}  // namespace

std::expected<RtspSession, StartupFailure> start_airplay_session(const SessionTarget& target,
                                                                 SessionShared& shared) {
  // Nothing is held until the connection exists, so these failures need no clean-up and leave the
  // shutdown deadline unarmed.
  if (shared.stop_requested.load(std::memory_order_acquire)) {
    return failed(StartupErrorKind::cancelled, Error("startup cancelled"));
  }
  const std::string device_id = random_device_id();
  StartSequence sequence(target, shared, device_id);
  write_stderr_line("stage=tcp_connect target=<redacted>");
  auto connected = rtsp_connect_with_deadline(receiver_socket_address(target.address, target.port),
                                              device_id, sequence.stop());
  if (!connected) {
    return sequence.exchange_failed(StartupErrorKind::connect_or_info,
                                    std::move(connected).error());
  }

  // From here on a failure is cleaned up by the owner's drop, then the guard's.
  ShutdownGuard guard(shared);
  StartupOwner owner(shared, std::move(*connected));
  Step done = sequence.read_info(owner);
  if (done) done = sequence.pair_and_encrypt(owner);
  if (done) done = sequence.start_timing(owner);
  if (done) done = sequence.setup_phase1(owner);
  if (done) {
    sequence.connect_events(owner);  // only ever warns
    done = sequence.stop_check();
  }
  if (done) done = sequence.bind_control_socket(owner);
  if (done) done = sequence.stop_check();
  if (done) done = sequence.setup_phase2(owner);
  if (!done) return std::unexpected(std::move(done).error());

  RtspSession record = sequence.build_record(owner);
  support::Result<RtspResponse> response = [&] {
    const platform::DeferredStderr deferred;  // the exchange's line goes out after the guard ends
    auto connection = record.connection->lock();
    if (connection.poisoned()) support::end_thread("RTSP lock poisoned");
    connection->set_request_timeout(kRecordRequestTimeout);
    return rtsp_exchange(
        *connection, "RECORD", record.url,
        {{"X-Apple-ProtocolVersion", "1"}, {"Range", "npt=0-"}, {"RTP-Info", "seq=0;rtptime=0"}},
        {}, sequence.stop());
  }();
  if (!response) {
    abandon_record(std::move(record), shared, true);
    return sequence.exchange_failed(StartupErrorKind::record_transport,
                                    std::move(response).error().context("RECORD transport"));
  }
  if (!is_success_status(response->status)) {
    abandon_record(std::move(record), shared, false);
    return failed(
        StartupErrorKind::record_rejected,
        Error("RECORD returned RTSP " + std::to_string(response->status) + " " + response->reason));
  }
  reached_start_point(shared, StartPoint::record_answered);
  if (sequence.stop_requested()) {
    abandon_record(std::move(record), shared, false);
    return failed(StartupErrorKind::cancelled, Error("startup cancelled"));
  }
  {
    auto connection = record.connection->lock();
    if (connection.poisoned()) support::end_thread("RTSP lock poisoned");
    connection->set_request_timeout(kRtspRequestTimeout);
  }
  write_stderr_line("stage=record status=200");
  guard.disarmed = true;
  return record;
}

}  // namespace kestrune::engine
