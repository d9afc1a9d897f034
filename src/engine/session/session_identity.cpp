#include "engine/session/session_identity.hpp"

#include <array>

#include "engine/core/session_id.hpp"
#include "platform/os_random.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

std::string hex_upper_bytes(std::span<const std::uint8_t> bytes, char separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && separator != 0) text.push_back(separator);
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::string random_device_id() {
  std::array<std::uint8_t, 6> bytes{};
  if (auto filled = platform::fill_os_random(bytes); !filled) {
    support::end_thread(filled.error().context("make device id").describe());
  }
  bytes[0] = static_cast<std::uint8_t>((bytes[0] & 0xFC) | 0x02);
  return hex_upper_bytes(bytes);
}

std::string random_rtsp_session_uuid() {
  auto id = make_session_id();
  if (!id) support::end_thread(id.error().context("make RTSP session UUID").describe());
  std::string text = session_id_text(*id);
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

platform::SocketAddress receiver_socket_address(const platform::IpAddress& receiver,
                                                std::uint16_t port) {
  return platform::SocketAddress::of(receiver, port);
}

std::string session_url(const platform::IpAddress& receiver, const std::string& uuid) {
  const std::string ip = receiver.to_string();
  const std::string host = receiver.is_v6() ? "[" + ip + "]" : ip;
  return "rtsp://" + host + "/" + uuid;
}

}  // namespace kestrune::engine
