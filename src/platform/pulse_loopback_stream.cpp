#include "platform/pulse_loopback_stream.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/loopback_channels.hpp"

namespace kestrune::platform {

namespace {

// About what a shared-mode output device hands out per period: small enough for a live jitter
// buffer of a few packets, large enough not to wake the thread needlessly.
constexpr pa_usec_t kFragmentUsec = 10'000;
// Fragments taken per wake-up; the rest waits for the next one.
constexpr int kMaxFragmentsPerWake = 64;

template <class Sample>
constexpr pa_sample_format_t native_format() {
  if constexpr (std::is_same_v<Sample, std::int16_t>) {
    return PA_SAMPLE_S16NE;
  } else if constexpr (std::is_same_v<Sample, float>) {
    return PA_SAMPLE_FLOAT32NE;
  } else {
    return PA_SAMPLE_INVALID;  // the server has no unsigned 16-bit samples
  }
}

}  // namespace

PulseLoopbackStream::PulseLoopbackStream(std::shared_ptr<PulseConnection> connection,
                                         InputDataCallback data, StreamErrorCallback error)
    : connection_(std::move(connection)), data_(std::move(data)), error_(std::move(error)) {}

support::Result<std::unique_ptr<AudioInputStream>> PulseLoopbackStream::open(
    std::shared_ptr<PulseConnection> connection, const PulseSink& sink, const StreamConfig& config,
    InputDataCallback data, StreamErrorCallback error, StopFlag stop) {
  const pa_sample_format_t format = std::visit(
      []<class Sample>(SampleCallback<Sample>&) { return native_format<Sample>(); }, data);
  if (format == PA_SAMPLE_INVALID) {
    return support::fail("the sound server cannot deliver U16 samples");
  }
  // An empty source name would mean the default source, a microphone: never that.
  if (sink.monitor_source.empty()) return support::fail("the default sink has no monitor source");
  std::unique_ptr<PulseLoopbackStream> stream(
      new PulseLoopbackStream(std::move(connection), std::move(data), std::move(error)));
  if (auto connected = stream->connect(sink, config, format, stop); !connected) {
    return support::fail(std::move(connected).error());
  }
  return std::unique_ptr<AudioInputStream>(std::move(stream));
}

support::Status PulseLoopbackStream::connect(const PulseSink& sink, const StreamConfig& config,
                                             pa_sample_format_t format, StopFlag stop) {
  // The sink's channels as they are: the front pair picked by position (or the one channel of a
  // mono sink), copied without remixing, so the level is the sink's and nothing else is folded in.
  const LoopbackChannels channels = loopback_channels(sink.channel_map);
  pa_sample_spec spec{format, config.sample_rate, channels.map.channels};
  if (config.channels != channels.map.channels || !pa_sample_spec_valid(&spec)) {
    return support::fail("the sound server cannot record " + std::to_string(config.channels) +
                         " channels at " + std::to_string(config.sample_rate) + " Hz");
  }
  frame_bytes_ = pa_frame_size(&spec);

  PulseConnection::Lock lock(*connection_);
  stream_ =
      pa_stream_new(connection_->context(), "kestrune loopback capture", &spec, &channels.map);
  if (stream_ == nullptr) {
    return support::fail("create the loopback record stream: " + connection_->last_error());
  }
  pa_stream_set_state_callback(stream_, on_state, this);
  pa_stream_set_read_callback(stream_, on_read, this);
  pa_stream_set_overflow_callback(stream_, on_overflow, this);

  pa_buffer_attr attr;
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
  const auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | channels.flags);
  if (pa_stream_connect_record(stream_, sink.monitor_source.c_str(), &attr, flags) < 0) {
    return support::fail("connect the loopback record stream: " + connection_->last_error());
  }
  const PulseWait settled = connection_->wait_locked(
      [&] {
        const pa_stream_state_t state = pa_stream_get_state(stream_);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
      },
      kPulseRequestTimeout, stop);
  if (settled != PulseWait::done) {
    return support::fail(std::string("connect the loopback record stream: ") +
                         pulse_wait_failure(settled));
  }
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
    return support::fail("connect the loopback record stream: " + connection_->last_error());
  }
  // Without the FIX flags the server records in the sample format, rate and channels asked for;
  // the callbacks rely on it.
  const pa_sample_spec* granted = pa_stream_get_sample_spec(stream_);
  const pa_channel_map* granted_map = pa_stream_get_channel_map(stream_);
  if (granted == nullptr || !pa_sample_spec_equal(granted, &spec) || granted_map == nullptr ||
      !pa_channel_map_equal(granted_map, &channels.map)) {
    return support::fail("the sound server did not record in the sample spec asked for");
  }
  running_ = true;
  return {};
}

PulseLoopbackStream::~PulseLoopbackStream() {
  {
    PulseConnection::Lock lock(*connection_);
    if (stream_ != nullptr) {
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
      if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
      stream_ = nullptr;
    }
    // Under the lock, so no callback can be running while they go.
    data_ = InputDataCallback();
    error_ = nullptr;
  }
  connection_.reset();  // the last owner ends the main loop's thread
}

support::Status PulseLoopbackStream::play(StopFlag stop) {
  PulseConnection::Lock lock(*connection_);
  if (ended_) return support::fail("start the loopback record stream: the stream has ended");
  struct Answer {
    PulseConnection* connection;
    int success = 0;
  } answer{connection_.get(), 0};
  pa_operation* uncork = pa_stream_cork(
      stream_, 0,
      [](pa_stream*, int success, void* userdata) {
        auto* reply = static_cast<Answer*>(userdata);
        reply->success = success;
        reply->connection->signal();
      },
      &answer);
  if (const PulseWait started = connection_->finish_operation(uncork, stop);
      started != PulseWait::done) {
    return support::fail(std::string("start the loopback record stream: ") +
                         pulse_wait_failure(started));
  }
  if (answer.success == 0) {
    return support::fail("start the loopback record stream: " + connection_->last_error());
  }
  return {};
}

void PulseLoopbackStream::on_state(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseLoopbackStream*>(userdata);
  self->connection_->signal();
  if (!self->running_) return;  // connect() reports failures of its own
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_FAILED:
      self->end(
          support::Error("loopback record stream failed: " + self->connection_->last_error()));
      break;
    case PA_STREAM_TERMINATED:
      self->end(support::Error("loopback record stream ended by the sound server"));
      break;
    default:
      break;
  }
}

void PulseLoopbackStream::on_read(pa_stream*, std::size_t, void* userdata) {
  static_cast<PulseLoopbackStream*>(userdata)->read_available();
}

void PulseLoopbackStream::on_overflow(pa_stream*, void* userdata) {
  static_cast<PulseLoopbackStream*>(userdata)->report(
      support::Error("loopback record buffer overflowed: audio was lost"));
}

void PulseLoopbackStream::read_available() {
  for (int fragment = 0; fragment < kMaxFragmentsPerWake && !ended_; ++fragment) {
    const std::size_t readable = pa_stream_readable_size(stream_);
    if (readable == 0 || readable == static_cast<std::size_t>(-1)) return;
    const void* data = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream_, &data, &size) < 0) {
      report(support::Error("read the loopback record stream: " + connection_->last_error()));
      return;
    }
    if (size == 0) return;
    if (data == nullptr) {
      // A hole in the recording: start again at a frame boundary so the channels stay in place.
      partial_frame_.clear();
    } else {
      deliver(static_cast<const std::byte*>(data), size);
    }
    pa_stream_drop(stream_);
  }
}

void PulseLoopbackStream::deliver(const std::byte* bytes, std::size_t size) {
  std::visit(
      [&]<class Sample>(SampleCallback<Sample>& callback) { deliver_as(callback, bytes, size); },
      data_);
}

template <class Sample>
void PulseLoopbackStream::deliver_as(SampleCallback<Sample>& callback, const std::byte* bytes,
                                     std::size_t size) {
  if (!callback || frame_bytes_ == 0) return;
  const std::size_t total = partial_frame_.size() + size;
  const std::size_t whole = total - total % frame_bytes_;
  if (whole == 0) {
    partial_frame_.insert(partial_frame_.end(), bytes, bytes + size);
    return;
  }
  auto& staging = std::get<std::vector<Sample>>(staging_);
  staging.resize(whole / sizeof(Sample));
  auto* out = reinterpret_cast<unsigned char*>(staging.data());
  if (!partial_frame_.empty()) std::memcpy(out, partial_frame_.data(), partial_frame_.size());
  const std::size_t taken = whole - partial_frame_.size();
  std::memcpy(out + partial_frame_.size(), bytes, taken);
  partial_frame_.assign(bytes + taken, bytes + size);
  callback(std::span<const Sample>(staging));
}

void PulseLoopbackStream::report(const support::Error& error) {
  if (error_) error_(error);
}

void PulseLoopbackStream::end(const support::Error& error) {
  if (ended_) return;
  ended_ = true;
  report(error);
  // As when an audio library's capture thread ends: the callbacks go, and with them whatever
  // they own (the capture queue's sender).
  data_ = InputDataCallback();
  error_ = nullptr;
}

}  // namespace kestrune::platform
