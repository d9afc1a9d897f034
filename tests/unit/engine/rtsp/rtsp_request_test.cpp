#include "engine/rtsp/rtsp_request.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrune::engine {
namespace {

std::string as_text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(RequestBytes, CarryCSeqThenContentLengthOnlyWithABodyThenTheHeadersInOrder) {
  const std::vector<RtspHeader> headers = {{"User-Agent", "AirPlay/745.83"},
                                           {"Content-Type", "application/octet-stream"}};
  const std::vector<std::uint8_t> body = {0x00, 0x01, 0x02};
  EXPECT_EQ(as_text(serialize_rtsp_request("POST", "/pair-setup", 2, headers, body)),
            std::string("POST /pair-setup RTSP/1.0\r\nCSeq: 2\r\nContent-Length: 3\r\n"
                        "User-Agent: AirPlay/745.83\r\nContent-Type: application/octet-stream\r\n"
                        "\r\n") +
                std::string("\x00\x01\x02", 3));
  EXPECT_EQ(as_text(serialize_rtsp_request("OPTIONS", "*", 4294967295u, {}, {})),
            "OPTIONS * RTSP/1.0\r\nCSeq: 4294967295\r\n\r\n");
}

}  // namespace
}  // namespace kestrune::engine
