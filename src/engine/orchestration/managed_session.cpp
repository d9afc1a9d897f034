#include "engine/orchestration/managed_session.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "engine/capture/loopback_capture.hpp"
#include "engine/core/session_report_merge.hpp"
#include "engine/orchestration/file_stream.hpp"
#include "engine/orchestration/live_stream.hpp"
#include "engine/orchestration/metrics_publication.hpp"
#include "engine/orchestration/rtp_control.hpp"
#include "engine/orchestration/rtp_sender.hpp"
#include "engine/orchestration/session_slot.hpp"
#include "engine/orchestration/session_workers.hpp"
#include "engine/orchestration/stream_context.hpp"
#include "engine/orchestration/stream_destination.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "engine/orchestration/worker_failure_slot.hpp"
#include "engine/rtp/packet_history.hpp"
#include "engine/rtp/rtp_sender_state.hpp"
#include "engine/session/control_requests.hpp"
#include "engine/session/feedback_worker.hpp"
#include "engine/session/start_sequence.hpp"
#include "engine/session/startup_error.hpp"
#include "support/stderr_log.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

// The packet channel holds this many packets; the stream loops wait while it is full.
constexpr std::size_t kPacketChannelCapacity = 8;

constexpr SessionError kCancelled{SessionErrorKind::cancelled, SessionStage::shutdown, false};

bool stop_requested(const SessionShared& shared) {
  return shared.stop_requested.load(std::memory_order_acquire);
}

void write_capture_line(const CaptureHandle& capture) {
  support::write_stderr_line(
      "stage=capture device_present=" + std::string(capture.device_name.empty() ? "false" : "true") +
      " sample_rate=" + std::to_string(capture.sample_rate) +
      " channels=" + std::to_string(capture.channels) + " sample_format=" + capture.sample_format);
}

void write_capture_summary_line(const CaptureSummary& summary) {
  support::write_stderr_line("stage=capture_summary callback_gap_max_us=" +
                             std::to_string(summary.max_callback_gap_us));
}

// The capture's counters to report once streaming is over: those the live loop took when it
// stopped the capture, else those of a capture still held; none for a file.
std::optional<CaptureSummary> final_capture_counters(const CaptureSummary& taken,
                                                     const std::optional<CaptureHandle>& held) {
  if (taken.present) return taken;
  if (held && held->stats) return summarize_capture(*held->stats);
  return std::nullopt;
}

}  // namespace

SessionError run_managed_session(const SessionConfig& config,
                                 const std::shared_ptr<SessionShared>& shared_state,
                                 platform::AudioHost& audio) {
  SessionShared& shared = *shared_state;
  if (stop_requested(shared)) return kCancelled;

  const std::optional<IpAddress> address = choose_session_address(config.addresses);
  if (!address) return SessionError::of(SessionErrorKind::config_error,
                                        SessionStage::validate_config);

  auto started = start_airplay_session(SessionTarget{*address, config.port}, shared);
  if (!started) return startup_session_error(started.error().kind);

  // Declared first, so that every way out drops the capture, then the workers, then the slot
  // (which tears the session down if it still holds it).
  SessionSlot slot(std::move(*started), shared_state);
  if (stop_requested(shared)) {
    shutdown_session_owner(slot);
    return kCancelled;
  }
  RtspSession& session = *slot.session;

  if (!send_initial_flush(session, shared.stop_requested)) {
    return SessionError::of(SessionErrorKind::control_poisoned, SessionStage::control);
  }
  if (stop_requested(shared)) return kCancelled;

  // The generation is read before the volume (see apply_volume_change).
  std::uint64_t applied_generation = shared.volume_generation.load(std::memory_order_acquire);
  const float volume = shared.volume.load(std::memory_order_relaxed);
  if (!send_initial_volume(session, volume, shared.stop_requested)) {
    if (stop_requested(shared)) return kCancelled;
    post_session_warning(shared, WarningCode::optional_request_rejected, SessionStage::set_volume,
                         true);
  }

  // The stream's state, once.
  std::shared_ptr<PacketHistory> history = new_packet_history();
  RtpSenderState sender_state(history, session.audio_key);
  auto stats = std::make_shared<StreamStats>();
  auto control_stop = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<WorkerFailureSlot> failure = new_worker_failure_slot();
  const platform::SocketAddress data_destination =
      stream_destination(session.receiver_address, session.data_port);
  const platform::SocketAddress control_destination =
      stream_destination(session.receiver_address, session.remote_control_port);
  auto [packet_sender, packet_receiver] = support::channel<OutboundPacket>(kPacketChannelCapacity);

  auto sender_socket = session.control_socket.duplicate();
  if (!sender_socket) return SessionError::of(SessionErrorKind::network_error, SessionStage::control);
  auto sender = start_rtp_sender(std::move(packet_receiver), control_destination,
                                 data_destination, std::move(*sender_socket), stats);
  if (!sender) return sender.error();
  std::optional<SessionWorkers> workers;
  workers.emplace(std::move(packet_sender), shared_state, control_stop);
  workers->sender.emplace(std::move(*sender));
  if (stop_requested(shared)) return kCancelled;

  auto control_socket = session.control_socket.duplicate();
  if (!control_socket) {
    return SessionError::of(SessionErrorKind::network_error, SessionStage::control);
  }
  auto control = start_rtp_control(std::move(*control_socket), control_destination, control_stop,
                                   stats, history, shared_state, failure);
  if (!control) return control.error();
  workers->control.emplace(std::move(*control));
  if (stop_requested(shared)) return kCancelled;

  auto feedback = spawn_feedback_worker(session.connection, session.url, shared_state);
  if (!feedback) return SessionError::of(SessionErrorKind::internal_error, SessionStage::feedback);
  workers->feedback.emplace(std::move(*feedback));
  if (stop_requested(shared)) return kCancelled;

  std::optional<CaptureHandle> capture;
  if (config.audioSource.is_default_output()) {
    auto capturing = start_loopback_capture(audio);
    if (!capturing) return SessionError::of(SessionErrorKind::capture_failed, SessionStage::capture);
    capture.emplace(std::move(*capturing));
    write_capture_line(*capture);
  }
  if (stop_requested(shared)) return kCancelled;

  if (const SessionError playing = mark_startup_complete(shared); playing.is_error()) {
    return playing;
  }
  MetricsPublication metrics{Clock::now() + kMetricsPublicationInterval};

  CaptureSummary capture_summary;
  StreamContext context{*workers->packets,
                        sender_state,
                        *stats,
                        shared,
                        [&session](float level) { return send_volume_update(session, level); },
                        applied_generation,
                        workers->feedback->failed,
                        workers->feedback->counters,
                        *failure,
                        TimingCounters{session.timing_responder.requests,
                                       session.timing_responder.replies},
                        metrics};
  const StreamOutcome outcome =
      capture ? stream_capture(std::move(capture->queue), capture->sample_rate, config, context,
                               capture, capture_summary)
              : stream_wav_file(*config.audioSource.file_path, config.maxDuration, context);

  // The teardown, bounded by the shutdown deadline from here on.
  const Instant deadline = shutdown_deadline(shared);
  const std::optional<CaptureSummary> capture_counters =
      final_capture_counters(capture_summary, capture);
  capture.reset();

  const WorkerStopReport stopped = stop_session_workers(*workers, deadline);
  const bool past_deadline = Clock::now() >= deadline;
  const SessionTeardown teardown = finish_session(slot, deadline, past_deadline);
  const std::uint32_t forced_total =
      saturating_add(stopped.late_workers, teardown.teardown.forced_stages);
  record_shutdown_evidence(shared, teardown.teardown.forced_stages, teardown.teardown.evidence);
  if (capture_counters) {
    write_capture_summary_line(*capture_counters);
    merge_capture_metrics(shared, capture_counters->totals);
  }
  merge_shutdown_metrics(shared, stopped.feedback, teardown.timing, forced_total);
  publish_final_stream_stats(*stats, shared);

  if (Clock::now() > deadline) {
    return SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown);
  }
  if (!outcome) return outcome.error();
  record_end_reason(shared, *outcome);
  if (stopped.feedback_failed) {
    return SessionError::of(SessionErrorKind::control_poisoned, SessionStage::feedback);
  }
  return stopped.sender_result;
}

}  // namespace kestrune::engine
