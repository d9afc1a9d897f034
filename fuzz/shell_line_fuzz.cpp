// One host input line through everything that reads it: the envelope check, every payload
// decoder, the start-payload conversion and dispatch. Each line must get exactly one response,
// whatever events a session it starts may add, and every parsed line must read back the same
// after the writer's serialization.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <expected>
#include <memory>
#include <string_view>
#include <utility>

#include "discovery/discovery_owner.hpp"
#include "engine/core/session_start.hpp"
#include "shell/active_session.hpp"
#include "shell/command_envelope.hpp"
#include "shell/dispatch.hpp"
#include "shell/json_line.hpp"
#include "shell/output_queue.hpp"
#include "shell/payloads.hpp"
#include "shell/queue_discovery_output.hpp"
#include "shell/session_config_from_payload.hpp"

namespace {

using namespace kestrune;

void decode_with_every_payload_type(const nlohmann::json& value) {
  (void)shell::decode_empty_payload(value);
  (void)shell::decode_scan_payload(value);
  (void)shell::decode_set_volume_payload(value);
  (void)shell::decode_device_payload(value);
  (void)shell::decode_audio_source_payload(value);
  (void)shell::decode_buffer_profile_payload(value);
  (void)shell::decode_diagnose_payload(value);
  (void)shell::decode_export_diagnostics_payload(value);
  if (const auto start = shell::decode_start_session_payload(value)) {
    (void)shell::session_config_from_payload(*start);
  }
}

// A session that gives up as an unreachable receiver would, without touching the network: the
// addresses in a fuzzed line may be anyone's.
class OfflineRunner final : public engine::SessionRunner {
 public:
  engine::SessionError run(const engine::SessionConfig&,
                           std::shared_ptr<engine::SessionShared>) override {
    return engine::SessionError::of(engine::SessionErrorKind::network_error,
                                    engine::SessionStage::pairing);
  }
};

std::expected<engine::StartedSession, engine::SessionError> start_offline(
    engine::SessionConfig config) {
  return engine::start_session_with_runner(std::move(config), std::make_unique<OfflineRunner>());
}

void check_serialization_reads_back(const nlohmann::json& value) {
  const auto back = shell::parse_json_line(shell::serialize_json_line(value));
  if (!back || *back != value) std::abort();
}

discovery::DiscoveryOwner& idle_discovery_owner() {
  static auto queue = std::make_shared<shell::OutputQueue>();
  static auto owner =
      discovery::spawn_discovery_owner(std::make_shared<shell::QueueDiscoveryOutput>(queue));
  if (!owner) std::abort();
  return *owner;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  (void)shell::parse_address_literal(line);
  (void)shell::parse_features_hex(line);
  if (const auto value = shell::parse_json_line(line)) {
    check_serialization_reads_back(*value);
    decode_with_every_payload_type(*value);
    if (value->is_object() && value->contains("payload")) {
      decode_with_every_payload_type((*value)["payload"]);
    }
  }

  // A scan would wait for discovery, which browses the network once it exists.
  const auto validated = shell::validate_command_line(line);
  if (const auto* envelope = std::get_if<shell::CommandEnvelope>(&validated)) {
    if (envelope->command == "scan") return 0;
  }

  auto queue = std::make_shared<shell::OutputQueue>();
  shell::ActiveSessionSlot session;
  shell::ShellContext context{queue, idle_discovery_owner(), session, &start_offline};
  (void)shell::handle_command_line(line, context);
  // A start that was accepted runs a session that ends at once; its events are not counted.
  if (session) (void)shell::stop_active_session(session);
  queue->finish();
  int responses = 0;
  for (int popped = 0; popped < 16; ++popped) {
    const auto value = queue->pop();
    if (!value) break;
    if (value->value("type", "") == "response") ++responses;
  }
  if (responses != 1) std::abort();
  return 0;
}
