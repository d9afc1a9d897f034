#include "shell/core_event_pump.hpp"

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/engine.hpp"
#include "shell/envelopes.hpp"
#include "shell/session_error_object.hpp"
#include "shell/session_report_json.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;

json payload_for(const engine::SessionId& id) {
  json payload = json::object();
  payload["sessionId"] = engine::session_id_text(id);
  return payload;
}

bool push_one(OutputQueue& queue, json line) {
  std::vector<json> batch;
  batch.push_back(std::move(line));
  return queue.push_batch(std::move(batch), false);
}

bool translate_state(const engine::SessionStateEvent& event, OutputQueue& queue,
                     SessionSnapshot& snapshot) {
  json payload = payload_for(event.session_id);
  set_snapshot_session_id(snapshot, payload["sessionId"].get<std::string>());
  payload["state"] = std::string(engine::wire_name(event.state));
  payload["reason"] = std::string(engine::wire_name(event.reason));
  return push_one(queue, build_event("sessionState", std::move(payload)));
}

bool translate_warning(const engine::SessionWarningEvent& event, OutputQueue& queue) {
  json payload = payload_for(event.session_id);
  payload["code"] = std::string(engine::wire_name(event.code));
  payload["stage"] = std::string(engine::wire_name(event.stage));
  payload["retryable"] = event.retryable;
  payload["occurrences"] = event.occurrences;
  return push_one(queue, build_event("warning", std::move(payload)));
}

bool translate_overflow(const engine::SessionOverflowNotice& notice, OutputQueue& queue) {
  json payload = payload_for(notice.session_id);
  payload["code"] = "event_mailbox_overflow";
  payload["stage"] = "internal";
  payload["retryable"] = false;
  payload["occurrences"] = notice.occurrences_overflowed;
  payload["warningKeyAdmissionFailures"] = notice.key_admission_failures;
  return push_one(queue, build_event("warning", std::move(payload)));
}

bool translate_metrics(const engine::SessionMetricsEvent& event, OutputQueue& queue) {
  json payload = payload_for(event.session_id);
  payload["metrics"] = metrics_to_json(event.report);
  return queue.replace_latest(build_event("metrics", std::move(payload)));
}

bool translate_terminal(const engine::SessionTerminalRecord& record, OutputQueue& queue,
                        SessionSnapshot& snapshot) {
  json terminal = payload_for(record.session_id);
  set_snapshot_session_id(snapshot, terminal["sessionId"].get<std::string>());
  std::vector<json> batch;
  if (record.completed()) {
    terminal["outcome"] = "completed";
    terminal["reason"] = std::string(engine::wire_name(record.reason));
  } else {
    json error = payload_for(record.session_id);
    error["error"] = session_error_to_json(record.error);
    terminal["outcome"] = "failed";
    terminal["error"] = error["error"];
    batch.push_back(build_event("error", std::move(error)));
  }
  terminal["metrics"] = metrics_to_json(record.report);
  terminal["shutdownEvidence"] = shutdown_evidence_to_json(record.report);
  batch.push_back(build_event("terminal", std::move(terminal)));
  // An unwritten "metrics" would otherwise follow the terminal that supersedes it.
  return queue.push_batch(std::move(batch), true);
}

}  // namespace

bool translate_core_event(const engine::SessionEvent& event, OutputQueue& queue,
                          SessionSnapshot& snapshot) {
  if (const auto* state = std::get_if<engine::SessionStateEvent>(&event)) {
    return translate_state(*state, queue, snapshot);
  }
  if (const auto* warning = std::get_if<engine::SessionWarningEvent>(&event)) {
    return translate_warning(*warning, queue);
  }
  if (const auto* notice = std::get_if<engine::SessionOverflowNotice>(&event)) {
    return translate_overflow(*notice, queue);
  }
  if (const auto* metrics = std::get_if<engine::SessionMetricsEvent>(&event)) {
    return translate_metrics(*metrics, queue);
  }
  if (const auto* terminal = std::get_if<engine::SessionTerminalRecord>(&event)) {
    return translate_terminal(*terminal, queue, snapshot);
  }
  return true;  // no event: nothing to queue
}

void run_core_event_pump(CoreEventPumpInputs inputs) {
  // A start channel closed without a signal: the start gave up, and nothing is taken.
  if (!inputs.start.recv()) return;
  inputs.start.close();
  for (;;) {
    engine::SessionEvent event = engine::wait_session_event(inputs.events, kCoreEventWait);
    if (engine::is_no_event(event)) {
      if (inputs.queue->closed()) return;
      continue;
    }
    if (!translate_core_event(event, *inputs.queue, *inputs.snapshot)) return;
    if (std::holds_alternative<engine::SessionTerminalRecord>(event)) {
      (void)inputs.acknowledgement.send(TerminalAcknowledged{});  // unbounded: never waits
      return;
    }
  }
}

}  // namespace kestrune::shell
