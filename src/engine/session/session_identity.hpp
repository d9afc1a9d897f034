#pragma once
// The names a session gives itself towards the receiver: a random device identifier (a locally
// administered unicast MAC-style address, new for every session), the RTSP session UUID in upper
// case (unrelated to the lower-case session id the host sees), and the session URL built from
// the receiver's address and that UUID.

#include <cstdint>
#include <span>
#include <string>

#include "platform/ip_address.hpp"
#include "platform/socket_address.hpp"

namespace kestrune::engine {

// Each byte as two upper-case hexadecimal digits, joined with `separator` (none when 0).
std::string hex_upper_bytes(std::span<const std::uint8_t> bytes, char separator = ':');

// "5A:0F:33:C1:09:7E": six bytes from the OS random source, the first with bit 1 set and bit 0
// cleared. A random source that cannot deliver ends the calling thread.
std::string random_device_id();

// A version-4 UUID, hyphenated, upper case (36 characters). A random source that cannot deliver
// ends the calling thread.
std::string random_rtsp_session_uuid();

// "rtsp://192.0.2.7/<uuid>" or "rtsp://[2001:db8::5]/<uuid>".
std::string session_url(const platform::IpAddress& receiver, const std::string& uuid);

// The receiver's address with `port` (IPv6 with flow information 0 and scope 0).
platform::SocketAddress receiver_socket_address(const platform::IpAddress& receiver,
                                                std::uint16_t port);

}  // namespace kestrune::engine
