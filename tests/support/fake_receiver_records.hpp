#pragma once
// What a receiver of the HomePod family answers to a browse query, for tests: its
// "_airplay._tcp.local" and "_raop._tcp.local" instances (PTR, TXT, SRV) and its host's A record,
// written with DnsMessageBuilder. A goodbye is the same records with TTL 0. Header-only and
// standard-library-only, like the builder.

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/dns_message_builder.hpp"

namespace kestrune::testing {

struct FakeReceiverRecords {
  std::string instance = "Kitchen";
  std::string device_id = "AA:BB:CC:DD:EE:FF";  // stable id: tests/vectors/discovery
  std::string model = "AudioAccessory5,1";
  std::string features = "0x445F8A00";
  std::string host = "kitchen-pod.local";
  std::array<std::uint8_t, 4> address = {198, 18, 0, 1};
  std::uint16_t port = 7000;
  std::uint32_t ttl = 120;  // of every record

  // The answer as a response message (QR and AA set), every record in the answer section.
  std::vector<std::uint8_t> answer() const { return message(ttl); }
  std::vector<std::uint8_t> goodbye() const { return message(0); }

 private:
  std::vector<std::uint8_t> message(std::uint32_t record_ttl) const {
    DnsMessageBuilder b;
    const std::string airplay = instance + "._airplay._tcp.local";
    b.ptr("_airplay._tcp.local", airplay, record_ttl);
    b.txt(airplay, {"deviceid=" + device_id, "model=" + model, "features=" + features}, record_ttl);
    b.srv(airplay, port, host, record_ttl);
    std::string raop_label;
    for (const char c : device_id) {
      if (c != ':') raop_label += c;
    }
    const std::string raop = raop_label + "@" + instance + "._raop._tcp.local";
    b.ptr("_raop._tcp.local", raop, record_ttl);
    b.txt(raop, {"am=" + model, "tp=UDP"}, record_ttl);
    b.srv(raop, port, host, record_ttl);
    b.a(host, platform::IpAddress::v4(address), record_ttl);
    std::vector<std::uint8_t> bytes = b.bytes();
    bytes[2] = 0x84;  // a response, authoritative
    return bytes;
  }
};

// The default records of another receiver: its id, its instance name and a host named after it.
inline FakeReceiverRecords fake_receiver(std::string device_id, std::string instance) {
  FakeReceiverRecords r;
  r.device_id = std::move(device_id);
  r.instance = instance;
  r.host = instance + "-pod.local";
  return r;
}

// The device object the host sees for the default records, keys in byte order; the id is the
// one tests/vectors/discovery/stable_ids.txt gives for aabbccddeeff.
inline constexpr const char* kFakeReceiverDeviceJson =
    R"({"addresses":["198.18.0.1"],"displayName":"Kitchen","featuresHex":"0x445f8a00",)"
    R"("id":"dev_50c6a2218a475049be08ce1610dc1343f7a62451bd82f7fffe1c9b3b2cb969f3",)"
    R"("model":"AudioAccessory5,1","port":7000,"roomName":"Kitchen"})";
inline constexpr const char* kFakeReceiverId =
    "dev_50c6a2218a475049be08ce1610dc1343f7a62451bd82f7fffe1c9b3b2cb969f3";

}  // namespace kestrune::testing
