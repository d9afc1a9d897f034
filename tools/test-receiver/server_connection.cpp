#include "test-receiver/server_connection.hpp"

#include <algorithm>
#include <array>
#include <thread>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "engine/rtsp/rtsp_response.hpp"

namespace kestrune::test_receiver {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr auto kSlice = std::chrono::milliseconds(50);

}  // namespace

std::vector<std::uint8_t> serialize_scripted_response(const ScriptedResponse& response,
                                                      std::optional<std::uint32_t> request_cseq) {
  if (response.raw) return {response.raw->begin(), response.raw->end()};
  std::string head = "RTSP/1.0 " + std::to_string(response.status);
  if (!response.reason.empty()) head += " " + response.reason;
  head += "\r\n";
  const std::int64_t own = request_cseq.value_or(0);
  switch (response.cseq.mode) {
    case CSeqLine::Mode::echo:
      head += "CSeq: " + std::to_string(own) + "\r\n";
      break;
    case CSeqLine::Mode::offset:
      head += "CSeq: " + std::to_string(own + response.cseq.offset) + "\r\n";
      break;
    case CSeqLine::Mode::text:
      head += "CSeq: " + response.cseq.text + "\r\n";
      break;
    case CSeqLine::Mode::omit:
      break;
  }
  for (const auto& header : response.headers) head += header.name + ": " + header.value + "\r\n";
  if (!response.body.empty()) {
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  head += "\r\n";
  std::vector<std::uint8_t> bytes(head.begin(), head.end());
  bytes.insert(bytes.end(), response.body.begin(), response.body.end());
  return bytes;
}

ServerConnection::ServerConnection(platform::TcpStream stream, const std::atomic<bool>& stop,
                                   std::chrono::milliseconds idle_limit)
    : stream_(std::move(stream)), stop_(stop), idle_limit_(idle_limit) {
  (void)stream_.set_read_timeout(kSlice);
  (void)stream_.set_write_timeout(std::chrono::seconds(2));
}

void ServerConnection::enable_encryption(const engine::SessionKeys& keys) {
  cipher_.emplace(keys.control_read_key, keys.control_write_key);
  buffer_.clear();
}

void ServerConnection::close() {
  if (stream_.is_open()) (void)stream_.shutdown_both();
  stream_.close();
}

support::Result<std::optional<std::vector<std::uint8_t>>> ServerConnection::read_exact(
    std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::size_t filled = 0;
  auto idle_since = Clock::now();
  while (filled < count) {  // ends on data, close, stop or the idle limit
    if (stop_.load() || Clock::now() - idle_since > idle_limit_) {
      return std::optional<std::vector<std::uint8_t>>();
    }
    auto read = stream_.read_some(std::span(bytes).subspan(filled));
    if (!read) {
      if (support::is_timeout_error(read.error())) continue;
      return std::optional<std::vector<std::uint8_t>>();  // reset by the peer
    }
    if (*read == 0) return std::optional<std::vector<std::uint8_t>>();
    filled += *read;
    idle_since = Clock::now();
  }
  return std::optional(std::move(bytes));
}

support::Result<bool> ServerConnection::read_more_plain() {
  std::array<std::uint8_t, 4096> chunk{};
  const auto idle_since = Clock::now();
  for (;;) {  // ends on data, close, stop or the idle limit
    if (stop_.load() || Clock::now() - idle_since > idle_limit_) return false;
    auto read = stream_.read_some(chunk);
    if (!read) {
      if (support::is_timeout_error(read.error())) continue;
      return false;
    }
    if (*read == 0) return false;
    buffer_.insert(buffer_.end(), chunk.begin(),
                   chunk.begin() + static_cast<std::ptrdiff_t>(*read));
    return true;
  }
}

support::Result<std::optional<ReceivedRequest>> ServerConnection::next_request() {
  for (;;) {  // each turn adds bytes to the buffer, which the cap bounds, or returns
    auto length = engine::rtsp_message_length(buffer_);
    if (!length) return support::fail(std::move(length).error());
    if (*length && **length <= buffer_.size()) {
      const auto end = buffer_.begin() + static_cast<std::ptrdiff_t>(**length);
      auto request =
          parse_rtsp_request(std::span(buffer_.data(), static_cast<std::size_t>(**length)));
      buffer_.erase(buffer_.begin(), end);
      if (!request) return support::fail(std::move(request).error());
      request->encrypted = cipher_.has_value();
      return std::optional(std::move(*request));
    }
    if ((*length && **length > kMaxRequestBytes) || buffer_.size() > kMaxRequestBytes) {
      return support::fail("request exceeds the receiver's limit");
    }
    if (!cipher_) {
      auto more = read_more_plain();
      if (!more) return support::fail(std::move(more).error());
      if (!*more) return std::optional<ReceivedRequest>();
      continue;
    }
    auto length_bytes = read_exact(2);
    if (!length_bytes) return support::fail(std::move(length_bytes).error());
    if (!*length_bytes) return std::optional<ReceivedRequest>();
    const auto n = static_cast<std::uint16_t>((**length_bytes)[0] | ((**length_bytes)[1] << 8));
    if (n > engine::kControlBlockMax) return support::fail("request frame exceeds 1024 bytes");
    auto sealed = read_exact(std::size_t{n} + engine::kAeadTagSize);
    if (!sealed) return support::fail(std::move(sealed).error());
    if (!*sealed) return std::optional<ReceivedRequest>();
    auto plaintext = engine::decrypt_control_frame(*cipher_, n, **sealed);
    if (!plaintext) return support::fail(std::move(plaintext).error());
    buffer_.insert(buffer_.end(), plaintext->begin(), plaintext->end());
  }
}

std::vector<std::uint8_t> ServerConnection::seal(const std::vector<std::uint8_t>& bytes,
                                                 const ScriptedReply& reply) {
  std::vector<std::uint8_t> frames;
  if (reply.frame_length_override) {
    const std::uint16_t n = *reply.frame_length_override;
    frames = {static_cast<std::uint8_t>(n & 0xff), static_cast<std::uint8_t>(n >> 8)};
    frames.resize(2 + std::size_t{n} + engine::kAeadTagSize);
    return frames;
  }
  const std::size_t block = std::clamp<std::size_t>(reply.frame_block, 1, engine::kControlBlockMax);
  std::size_t offset = 0;
  // One frame per listed size, then blocks until the bytes are used up; every turn of the second
  // loop uses at least one byte.
  const auto seal_frame = [&](std::size_t size) {
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(size & 0xff),
                                    static_cast<std::uint8_t>(size >> 8)};
    const std::size_t frame_at = frames.size();
    frames.insert(frames.end(), length, length + 2);
    frames.resize(frame_at + 2 + size);
    engine::AeadTag tag{};
    (void)engine::chacha20_poly1305_seal(
        cipher_->write_key, engine::control_nonce(cipher_->write_counter), length,
        std::span(bytes).subspan(offset, size), std::span(frames).subspan(frame_at + 2, size), tag);
    if (reply.tamper && frame_at == 0) tag[0] ^= 0x01;
    frames.insert(frames.end(), tag.begin(), tag.end());
    ++cipher_->write_counter;
    offset += size;
  };
  for (const std::size_t listed : reply.frame_sizes) {
    seal_frame(std::min({listed, engine::kControlBlockMax, bytes.size() - offset}));
  }
  while (offset < bytes.size()) seal_frame(std::min(block, bytes.size() - offset));
  return frames;
}

bool ServerConnection::pause(std::chrono::milliseconds duration) {
  const auto until = Clock::now() + duration;
  while (Clock::now() < until) {  // bounded by `duration`
    if (stop_.load()) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 10ms));
  }
  return !stop_.load();
}

support::Status ServerConnection::send(const ScriptedReply& reply, const ReceivedRequest& request) {
  if (reply.delay > 0ms && !pause(reply.delay)) return {};
  std::vector<std::uint8_t> bytes;
  for (const auto& response : reply.responses) {
    const auto one = serialize_scripted_response(response, request.cseq());
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  if (cipher_ && (!bytes.empty() || reply.frame_length_override || !reply.frame_sizes.empty())) {
    bytes = seal(bytes, reply);
  }
  std::span<const std::uint8_t> remaining(bytes);
  for (const std::size_t piece : reply.write_pieces) {
    if (remaining.empty()) break;
    const std::size_t size = std::min(piece, remaining.size());
    if (auto written = stream_.write_all(remaining.first(size)); !written) return written;
    remaining = remaining.subspan(size);
    if (!remaining.empty() && !pause(reply.piece_pause)) return {};
  }
  return stream_.write_all(remaining);
}

}  // namespace kestrune::test_receiver
