#include "engine/rtsp/rtsp_response.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestrune::engine {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(ResponseCompleteness, FindsTheEndOfTheFrontResponse) {
  struct Case {
    const char* name;
    std::string front;  // the response when complete, else the bytes so far
    std::string rest;   // what follows it in the buffer
    bool complete;
  };
  const std::string head = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
  const Case cases[] = {
      {"fewer than four bytes", "\r\n\r", "", false},
      {"head not finished", head, "", false},
      {"no Content-Length", head + "\r\n", "", true},
      {"only the head of two responses", head + "\r\n", head + "\r\n", true},
      {"body still coming", head + "Content-Length: 5\r\n\r\nabc", "", false},
      {"body there, more behind it", head + "Content-Length: 3\r\n\r\nabc", "RTSP", true},
      {"name in any case, value with +", head + "cONTENT-lENGTH: +3\r\n\r\nabc", "", true},
      {"value with white space around", head + "Content-Length:   3  \r\n\r\nabc", "", true},
      // A space before the name hides the line: complete at the terminator.
      {"space before the name", head + " Content-Length: 3\r\n\r\n", "abc", true},
      // The first Content-Length line decides.
      {"two lines, first decides", head + "Content-Length: 1\r\nContent-Length: 3\r\n\r\na", "bc",
       true},
      {"the status line is not a header", "Content-Length: 9\r\n\r\n", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string buffer = c.front + c.rest;
    auto complete = rtsp_response_complete(bytes_of(buffer));
    ASSERT_TRUE(complete) << complete.error().describe();
    if (c.complete) {
      EXPECT_EQ(*complete, c.front.size());
    } else {
      EXPECT_EQ(*complete, std::nullopt);
    }
  }
}

TEST(ResponseCompleteness, FailsOnHeadsItCannotRead) {
  struct Case {
    const char* name;
    std::string buffer;
    const char* message;
  };
  const Case cases[] = {
      {"not UTF-8", "RTSP/1.0 200 \xFF\r\n\r\n", "RTSP header is not UTF-8"},
      {"letter in the length", "RTSP/1.0 200 OK\r\nContent-Length: 3x\r\n\r\nabc",
       "invalid RTSP Content-Length: invalid digit found in string"},
      {"empty length", "RTSP/1.0 200 OK\r\nContent-Length:\r\n\r\n",
       "invalid RTSP Content-Length: cannot parse integer from empty string"},
      {"negative length", "RTSP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n",
       "invalid RTSP Content-Length: invalid digit found in string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto complete = rtsp_response_complete(bytes_of(c.buffer));
    ASSERT_FALSE(complete);
    EXPECT_EQ(complete.error().describe(), c.message);
  }
}

TEST(ResponseCompleteness, AnnouncedLengthSaturatesInsteadOfWrapping) {
  const std::string buffer = "RTSP/1.0 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\n";
  auto length = rtsp_message_length(bytes_of(buffer));
  ASSERT_TRUE(length);
  EXPECT_EQ(**length, std::numeric_limits<std::uint64_t>::max());
  auto complete = rtsp_response_complete(bytes_of(buffer));
  ASSERT_TRUE(complete);
  EXPECT_FALSE(complete->has_value());
}

TEST(ResponseParsing, ReadsStatusReasonHeadersAndBody) {
  struct Case {
    const char* name;
    std::string bytes;
    std::uint16_t status;
    const char* reason;
    const char* body;
  };
  const Case cases[] = {
      {"ordinary", "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n", 200, "OK", ""},
      {"no reason", "RTSP/1.0 200\r\nCSeq: 1\r\n\r\n", 200, "", ""},
      {"reason with double spaces kept", "RTSP/1.0 453 Not  Enough  Bandwidth\r\nCSeq: 1\r\n\r\n",
       453, "Not  Enough  Bandwidth", ""},
      {"status with plus", "RTSP/1.0 +204 No Content\r\nCSeq: 1\r\n\r\n", 204, "No Content", ""},
      {"body", "RTSP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody", 200, "OK", "body"},
      {"body with a length with plus", "RTSP/1.0 200 OK\r\ncontent-length: +2\r\n\r\nhi", 200, "OK",
       "hi"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto response = parse_rtsp_response(bytes_of(c.bytes));
    ASSERT_TRUE(response) << response.error().describe();
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->reason, c.reason);
    EXPECT_EQ(std::string(response->body.begin(), response->body.end()), c.body);
  }
}

TEST(ResponseParsing, HeaderNamesAreLowerCasedTrimmedAndTheLastOneWins) {
  const std::string bytes =
      "RTSP/1.0 200 OK\r\n CSeq :  7 \r\nSession: 1; timeout=60\r\nX-Value: a\r\nx-value: b\r\n"
      "Empty:\r\n\r\n";
  auto response = parse_rtsp_response(bytes_of(bytes));
  ASSERT_TRUE(response) << response.error().describe();
  EXPECT_EQ(response->headers.at("cseq"), "7");
  EXPECT_EQ(response->headers.at("session"), "1; timeout=60");
  EXPECT_EQ(response->headers.at("x-value"), "b");
  EXPECT_EQ(response->headers.at("empty"), "");
  EXPECT_EQ(find_header(*response, "SESSION"), "1; timeout=60");
  EXPECT_EQ(find_header(*response, "Missing"), std::nullopt);
}

TEST(ResponseParsing, RefusesWhatIsNotAnRtspResponse) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"version 1.1", "RTSP/1.1 200 OK\r\n\r\n", "unsupported RTSP status line: RTSP/1.1 200 OK"},
      {"HTTP", "HTTP/1.0 200 OK\r\n\r\n", "unsupported RTSP status line: HTTP/1.0 200 OK"},
      {"lower case version", "rtsp/1.0 200 OK\r\n\r\n",
       "unsupported RTSP status line: rtsp/1.0 200 OK"},
      {"version only", "RTSP/1.0\r\n\r\n", "RTSP status missing"},
      {"status not a number", "RTSP/1.0 OK\r\n\r\n", "invalid digit found in string"},
      {"status too large", "RTSP/1.0 65536 OK\r\n\r\n", "number too large to fit in target type"},
      {"two spaces after the version", "RTSP/1.0  200 OK\r\n\r\n",
       "cannot parse integer from empty string"},
      {"header without colon", "RTSP/1.0 200 OK\r\nCSeq 1\r\n\r\n", "invalid RTSP header: CSeq 1"},
      // The completeness test stops at the terminator; the parser then sees the body missing.
      {"hidden Content-Length", "RTSP/1.0 200 OK\r\n Content-Length: 3\r\n\r\n",
       "RTSP body length mismatch: expected 3, got 0"},
      {"two different lengths",
       "RTSP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 3\r\n\r\nx",
       "RTSP body length mismatch: expected 3, got 1"},
      {"bad length", "RTSP/1.0 200 OK\r\nContent-Length: x\r\n\r\n",
       "invalid digit found in string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto response = parse_rtsp_response(bytes_of(c.bytes));
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().describe(), c.message);
  }
}

TEST(ResponseStatus, OnlyExactly200IsOk) {
  RtspResponse response;
  response.reason = "No Content";
  for (const std::uint16_t status :
       {std::uint16_t{200}, std::uint16_t{204}, std::uint16_t{199}, std::uint16_t{404}}) {
    SCOPED_TRACE(status);
    response.status = status;
    auto ok = ensure_rtsp_ok(response, "SETUP phase 1");
    EXPECT_EQ(ok.has_value(), status == 200);
    if (!ok) {
      EXPECT_EQ(ok.error().describe(),
                "SETUP phase 1 returned RTSP " + std::to_string(status) + " No Content");
    }
  }
}

}  // namespace
}  // namespace kestrune::engine
