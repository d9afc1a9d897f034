#include "engine/orchestration/managed_session.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "engine/capture/loopback_capture.hpp"
#include "engine/core/session_report_merge.hpp"
#include "engine/core/start_point.hpp"
#include "engine/orchestration/file_stream.hpp"
#include "engine/orchestration/live_stream.hpp"
#include "engine/orchestration/metrics_publication.hpp"
#include "engine/orchestration/rtp_control.hpp"
#include "engine/orchestration/rtp_sender.hpp"
#include "engine/orchestration/session_result.hpp"
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
#include "platform/stderr_log.hpp"
#include "support/stoppable_worker.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

// A stop found before the session plays ends its start as cancelled at shutdown.
std::unexpected<SessionError> cancelled() {
  return std::unexpected(SessionError{SessionErrorKind::cancelled, SessionStage::shutdown, false});
}

std::unexpected<SessionError> error_at(SessionErrorKind kind, SessionStage stage) {
  return std::unexpected(SessionError::of(kind, stage));
}

void write_capture_line(const CaptureHandle& capture) {
  platform::write_stderr_line("stage=capture device_present=" +
                              std::string(capture.device_name.empty() ? "false" : "true") +
                              " sample_rate=" + std::to_string(capture.sample_rate) +
                              " channels=" + std::to_string(capture.channels) +
                              " sample_format=" + capture.sample_format);
}

void write_capture_summary_line(const CaptureSummary& summary) {
  platform::write_stderr_line("stage=capture_summary callback_gap_max_us=" +
                              std::to_string(summary.max_callback_gap_us));
}

// What the stream runs on, made once after the initial volume: the history shared by the
// packetiser and "rt-control", the packetiser, the counters, rt-control's stop flag, its failure
// slot and the two destinations at the receiver.
struct StreamState {
  explicit StreamState(const RtspSession& session)
      : history(new_packet_history()),
        sender_state(history, session.audio_key),
        stats(std::make_shared<StreamStats>()),
        control_stop(support::make_stop_flag()),
        failure(new_worker_failure_slot()),
        data_destination(stream_destination(session.receiver_address, session.data_port)),
        control_destination(
            stream_destination(session.receiver_address, session.remote_control_port)) {}

  std::shared_ptr<PacketHistory> history;
  RtpSenderState sender_state;
  std::shared_ptr<StreamStats> stats;
  support::StopFlag control_stop;
  std::shared_ptr<WorkerFailureSlot> failure;
  platform::SocketAddress data_destination;
  platform::SocketAddress control_destination;
};

// One session's run, step by step. The members are declared so that leaving drops the capture
// first, then the workers (stopped within the deadline), then the slot (which tears the session
// down if it still holds it).
class ManagedSession {
 public:
  ManagedSession(const SessionConfig& config, std::shared_ptr<SessionShared> shared,
                 platform::AudioHost& audio)
      : config_(config), shared_(std::move(shared)), audio_(audio) {}

  // From nothing to a playing session: the receiver started, the initial requests sent, every
  // worker and the capture running.
  [[nodiscard]] SessionStatus start() {
    if (stop_requested()) return cancelled();
    const std::optional<platform::IpAddress> address = choose_session_address(config_.addresses);
    if (!address) return error_at(SessionErrorKind::config_error, SessionStage::validate_config);
    auto started = start_airplay_session(SessionTarget{*address, config_.port}, *shared_);
    // Here the start failure's error text, with its context chain, stops: only its kind goes on,
    // to become the code and stage the host is told. The text is written nowhere, neither to the
    // host nor to standard error; the later steps below drop theirs the same way.
    if (!started) return std::unexpected(startup_session_error(started.error().kind));
    slot_.emplace(std::move(*started), shared_);
    reached(StartPoint::transport_held);
    if (stop_requested()) {
      shutdown_session_owner(*slot_);
      return cancelled();
    }
    if (SessionStatus sent = send_initial_requests(); !sent) return sent;
    stream_.emplace(session());
    if (SessionStatus running = start_workers(); !running) return running;
    if (SessionStatus capturing = start_capture(); !capturing) return capturing;
    if (stop_requested()) return cancelled();
    return mark_startup_complete(*shared_);
  }

  // The source's stream loop, with the metrics published from 1 s after playing began.
  [[nodiscard]] StreamOutcome stream() {
    MetricsPublication metrics{Clock::now() + kMetricsPublicationInterval};
    StreamContext context{
        *workers_->packets,
        stream_->sender_state,
        *stream_->stats,
        *shared_,
        [this](float volume) { return send_volume_update(session(), volume); },
        applied_generation_,
        workers_->feedback->failed,
        workers_->feedback->counters,
        *stream_->failure,
        TimingCounters{session().timing_responder.requests, session().timing_responder.replies},
        metrics};
    if (!capture_) {
      return stream_wav_file(*config_.audioSource.file_path, config_.maxDuration, context);
    }
    return stream_capture(std::move(capture_->queue), capture_->sample_rate, config_, context,
                          capture_, capture_summary_);
  }

  // The teardown within the shutdown deadline, what it achieved into the report, and the
  // session's result (a bare SessionError: success is a result like any failure).
  SessionError finish(const StreamOutcome& outcome) {
    const Instant deadline = shutdown_deadline(*shared_);
    const std::optional<CaptureSummary> capture_counters = final_capture_counters();
    capture_.reset();

    const WorkerStopReport stopped = stop_session_workers(*workers_, deadline);
    const bool past_deadline = Clock::now() >= deadline;
    const SessionTeardown teardown = finish_session(*slot_, deadline, past_deadline);
    const std::uint32_t forced_total =
        saturating_add(stopped.late_workers, teardown.teardown.forced_stages);
    record_shutdown_evidence(*shared_, teardown.teardown.forced_stages, teardown.teardown.evidence);
    if (capture_counters) {
      write_capture_summary_line(*capture_counters);
      merge_capture_metrics(*shared_, capture_counters->totals);
    }
    merge_shutdown_metrics(*shared_, stopped.feedback, teardown.timing, forced_total);
    publish_final_stream_stats(*stream_->stats, *shared_);

    const bool overran = Clock::now() > deadline;
    if (!overran && outcome) record_end_reason(*shared_, *outcome);
    return played_session_result(overran, outcome, stopped.feedback_failed, stopped.sender_result);
  }

 private:
  bool stop_requested() const { return shared_->stop_requested.load(std::memory_order_acquire); }
  void reached(StartPoint point) { reached_start_point(*shared_, point); }
  RtspSession& session() { return *slot_->session; }

  // The initial FLUSH, then the initial volume, whose failure only warns. A FLUSH that fails
  // once a stop was requested (the stop cancels its exchange) ends the start as cancelled, as
  // every start step does.
  [[nodiscard]] SessionStatus send_initial_requests() {
    if (!send_initial_flush(session(), shared_->stop_requested)) {
      if (stop_requested()) return cancelled();
      return error_at(SessionErrorKind::control_poisoned, SessionStage::control);
    }
    reached(StartPoint::initial_flush_answered);
    if (stop_requested()) return cancelled();
    // The generation is read before the volume (see apply_volume_change).
    applied_generation_ = shared_->volume_generation.load(std::memory_order_acquire);
    const float volume = shared_->volume.load(std::memory_order_relaxed);
    if (!send_initial_volume(session(), volume, shared_->stop_requested)) {
      if (stop_requested()) return cancelled();
      post_session_warning(*shared_, WarningCode::optional_request_rejected,
                           SessionStage::set_volume, true);
    }
    return {};
  }

  // "rt-sender", "rt-control" and "rtsp-feedback", in this order, with a stop check after each.
  [[nodiscard]] SessionStatus start_workers() {
    auto [packets, packet_queue] =
        support::channel<OutboundPacket>(kPacketChannelCapacity, kPacketChannelWakeRoom);
    auto sender_socket = session().control_socket.duplicate();
    if (!sender_socket) return error_at(SessionErrorKind::network_error, SessionStage::control);
    auto sender =
        start_rtp_sender(std::move(packet_queue), stream_->control_destination,
                         stream_->data_destination, std::move(*sender_socket), stream_->stats);
    if (!sender) return std::unexpected(sender.error());
    workers_.emplace(std::move(packets), shared_, stream_->control_stop);
    workers_->sender.emplace(std::move(*sender));
    reached(StartPoint::sender_started);
    if (stop_requested()) return cancelled();

    auto control_socket = session().control_socket.duplicate();
    if (!control_socket) return error_at(SessionErrorKind::network_error, SessionStage::control);
    auto control = start_rtp_control(std::move(*control_socket), stream_->control_destination,
                                     stream_->control_stop, stream_->stats, stream_->history,
                                     shared_, stream_->failure);
    if (!control) return std::unexpected(control.error());
    workers_->control.attach(std::move(*control));
    reached(StartPoint::control_started);
    if (stop_requested()) return cancelled();

    auto feedback = spawn_feedback_worker(session().connection, session().url, shared_);
    if (!feedback) return error_at(SessionErrorKind::internal_error, SessionStage::feedback);
    workers_->feedback.emplace(std::move(*feedback));
    reached(StartPoint::feedback_started);
    if (stop_requested()) return cancelled();
    return {};
  }

  // Loopback capture, for the default output only. Its start watches the stop flag, so a sound
  // server that does not answer holds a stop for a moment only; a start that fails once a stop
  // was requested is the stop's, as for every start step.
  [[nodiscard]] SessionStatus start_capture() {
    if (!config_.audioSource.is_default_output()) return {};
    auto capturing = start_loopback_capture(audio_, &shared_->stop_requested);
    if (!capturing) {
      if (stop_requested()) return cancelled();
      return error_at(SessionErrorKind::capture_failed, SessionStage::capture);
    }
    capture_.emplace(std::move(*capturing));
    write_capture_line(*capture_);
    reached(StartPoint::capture_started);
    return {};
  }

  // The capture's counters to report once streaming is over: those the live loop took when it
  // stopped the capture, else those of a capture still held; none for a file.
  std::optional<CaptureSummary> final_capture_counters() const {
    if (capture_summary_.present) return capture_summary_;
    if (capture_ && capture_->stats) return summarize_capture(*capture_->stats);
    return std::nullopt;
  }

  const SessionConfig& config_;
  std::shared_ptr<SessionShared> shared_;
  platform::AudioHost& audio_;
  std::uint64_t applied_generation_ = 0;
  std::optional<SessionSlot> slot_;
  std::optional<StreamState> stream_;
  std::optional<SessionWorkers> workers_;
  std::optional<CaptureHandle> capture_;
  CaptureSummary capture_summary_;
};

}  // namespace

SessionError run_managed_session(const SessionConfig& config,
                                 const std::shared_ptr<SessionShared>& shared,
                                 platform::AudioHost& audio) {
  ManagedSession session(config, shared, audio);
  if (const SessionStatus started = session.start(); !started) return started.error();
  const StreamOutcome outcome = session.stream();
  return session.finish(outcome);
}

}  // namespace kestrune::engine
