#include "discovery/browse_pass.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discovery/browse_query.hpp"
#include "discovery/device_events.hpp"
#include "discovery/device_view.hpp"
#include "discovery/follow_up_queries.hpp"
#include "discovery/mdns_message.hpp"
#include "tests/support/dns_message_builder.hpp"
#include "tests/support/fake_receiver_records.hpp"
#include "tests/support/wait_until.hpp"
#include "tests/unit/discovery/discovery_test_support.hpp"
#include "tests/unit/discovery/fake_browse_network.hpp"
#include "tests/unit/discovery/recording_output.hpp"

namespace kestrune::discovery {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::Datagram;
using kestrune::testing::DnsMessageBuilder;
using kestrune::testing::fake_receiver;
using kestrune::testing::FakeBrowseNetwork;
using kestrune::testing::FakeReceiverRecords;
using kestrune::testing::host_ipv4;
using kestrune::testing::RecordingOutput;
using kestrune::testing::wait_until;

constexpr platform::IpAddress kLink = {198, 18, 0, 2};  // the default receiver's link
constexpr platform::IpAddress kOther = {10, 9, 0, 2};

// Stable ids as tests/vectors/discovery/stable_ids.txt gives them.
const std::string kId001122 =
    "dev_35d09c03531002cb337230db87541d8011e9f691af861c8a73be7e194bbec461";
const std::string kIdF0E1D2 =
    "dev_4da25808d242677770100f715937d8bab6f3165e973e42dccc737ebf93df8b32";
const std::string kIdAABBCC = kestrune::testing::kFakeReceiverId;
const std::string kId000000 =
    "dev_aaddaaaaf01b47fb7818653f5590544b3881494bb357e1324ea5cd7f01d30fb6";

Datagram padded(Datagram datagram, std::size_t size) {
  datagram.resize(size, 0);  // the decoder reads no further than the counts say
  return datagram;
}

Datagram empty_response() { return DnsMessageBuilder().bytes(); }

class BrowsePass : public ::testing::Test {
 protected:
  BrowsePass() { network.set_interfaces(std::vector{host_ipv4(kLink)}); }

  BrowsePassResult pass(std::chrono::nanoseconds length) {
    return browse_pass(length, origin, stop, output, cache, network);
  }
  // A pass that runs until it has taken every datagram and asked every follow-up it would (or
  // until it ends by itself), so that no verdict depends on how fast a busy machine runs it.
  BrowsePassResult pass_until_quiet() {
    stop.store(false);
    auto running = std::async(std::launch::async, [this] { return pass(60s); });
    const auto give_up = Clock::now() + 30s;
    while (running.wait_for(5ms) != std::future_status::ready && Clock::now() < give_up) {
      if (network.quiet()) break;
    }
    stop.store(true);
    BrowsePassResult result = running.get();
    stop.store(false);
    return result;
  }
  void answer_with(std::vector<Datagram> datagrams) {
    network.set_responder([datagrams](const platform::Ipv4InterfaceAddress&) { return datagrams; });
  }
  static std::vector<std::string> ids_of(const ScanResult& result) {
    std::vector<std::string> ids;
    for (const auto& device : result.devices) ids.push_back(device.id);
    return ids;
  }

  FakeBrowseNetwork network;
  RecordingOutput output;
  DiscoveryCache cache;
  std::atomic<bool> stop{false};
  Clock::time_point origin = Clock::now();
};

TEST(BrowseQuery, IsTheTwoPtrQuestionsWrittenWithoutCompression) {
  DnsMessageBuilder expected;
  expected.question("_airplay._tcp.local", 12, 1).question("_raop._tcp.local", 12, 1);
  EXPECT_EQ(build_browse_query(), expected.bytes());
  EXPECT_EQ(build_browse_query().size(), kBrowseQueryBytes);
}

TEST_F(BrowsePass, FindsTheReceiverAndAnnouncesItOnceAtTheEnd) {
  answer_with({FakeReceiverRecords().answer()});
  const BrowsePassResult found = pass_until_quiet();

  ASSERT_EQ(network.queries().size(), 1U);
  EXPECT_EQ(network.queries()[0].bytes, build_browse_query()) << "the query goes out unchanged";
  ASSERT_EQ(found.result.devices.size(), 1U);
  EXPECT_EQ(device_to_json(found.result.devices[0]),
            nlohmann::json::parse(kestrune::testing::kFakeReceiverDeviceJson));
  EXPECT_TRUE(found.result.warnings.empty());
  EXPECT_TRUE(found.result.complete);
  EXPECT_EQ(found.seen_ids, StableIdSet{kIdAABBCC});

  const auto events = output.events();
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].name, "deviceDiscovered");
  EXPECT_EQ(events[0].payload,
            (nlohmann::json{{"device", device_to_json(found.result.devices[0])}}));

  ASSERT_TRUE(cache.interfaces);
  ASSERT_EQ(cache.interfaces->size(), 1U);
  EXPECT_EQ(cache.interfaces->at(0).address, kLink);
  EXPECT_EQ(network.open_sockets(), 0U) << "the pass closes its sockets";
}

struct InterfaceCase {
  const char* name;
  std::optional<std::vector<platform::InterfaceAddress>> addresses;  // nothing: unreadable
  std::vector<platform::IpAddress> refused;
  std::size_t queries;
  std::uint32_t warning_occurrences;  // 0: no warning
};

void PrintTo(const InterfaceCase& c, std::ostream* os) { *os << c.name; }

std::vector<platform::InterfaceAddress> numbered_addresses(int count) {
  std::vector<platform::InterfaceAddress> addresses;
  for (int i = 0; i < count; ++i) {
    addresses.push_back(host_ipv4({10, static_cast<std::uint8_t>(i), 0, 2}));
  }
  return addresses;
}

platform::InterfaceAddress ipv6_entry() { return {"eth0", std::nullopt}; }

class BrowsePassInterfaces : public BrowsePass,
                             public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(BrowsePassInterfaces, CountWhatCouldNotBeUsed) {
  const InterfaceCase& c = GetParam();
  network.set_interfaces(c.addresses);
  for (const platform::IpAddress& address : c.refused) network.refuse_socket_on(address);
  const BrowsePassResult done = pass(0ms);

  EXPECT_EQ(network.queries().size(), c.queries);
  if (c.warning_occurrences == 0) {
    EXPECT_TRUE(done.result.warnings.empty());
  } else {
    ASSERT_EQ(done.result.warnings.size(), 1U);
    EXPECT_EQ(done.result.warnings[0],
              (DiscoveryWarning{"discovery_interface_failed", c.warning_occurrences}));
  }
  EXPECT_TRUE(done.result.complete);
  // The cache lists the interfaces sockets were opened on, and no list at all when none was.
  if (c.queries == 0) {
    EXPECT_FALSE(cache.interfaces);
  } else {
    ASSERT_TRUE(cache.interfaces);
    EXPECT_EQ(cache.interfaces->size(), c.queries);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrowsePassInterfaces,
    ::testing::Values(
        InterfaceCase{"unreadable_list", std::nullopt, {}, 0, 1},
        InterfaceCase{
            "nothing_usable",
            std::vector{host_ipv4({127, 0, 0, 1}, "lo"), host_ipv4({0, 0, 0, 0}), ipv6_entry()},
            {},
            0,
            1},
        InterfaceCase{"one_usable",
                      std::vector{host_ipv4({127, 0, 0, 1}, "lo"), ipv6_entry(), host_ipv4(kLink)},
                      {},
                      1,
                      0},
        InterfaceCase{"same_address_twice_gives_one_socket",
                      std::vector{host_ipv4(kLink, "eth0"), host_ipv4(kLink, "eth0:1")},
                      {},
                      1,
                      0},
        InterfaceCase{"seventy_addresses_use_sixty_four", numbered_addresses(70), {}, 64, 6},
        InterfaceCase{"refused_sockets_add_to_the_excess",
                      numbered_addresses(70),
                      {{10, 0, 0, 2}, {10, 63, 0, 2}, {10, 64, 0, 2}},
                      62,
                      8},
        InterfaceCase{"only_socket_refused", std::vector{host_ipv4(kLink)}, {kLink}, 0, 1}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(BrowsePass, TakesAtMost32DatagramsFromOneSocketPerSweep) {
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  network.set_responder([](const platform::Ipv4InterfaceAddress& interface) {
    return std::vector<Datagram>(interface.address == kLink ? 40 : 1, empty_response());
  });
  (void)pass_until_quiet();
  std::vector<platform::IpAddress> expected(32, kLink);
  expected.push_back(kOther);
  expected.insert(expected.end(), 8, kLink);
  EXPECT_EQ(network.receive_log(), expected);
}

TEST_F(BrowsePass, DatagramLongerThanTheBufferIsDiscardedAndTheNextSocketFollows) {
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  network.set_responder([](const platform::Ipv4InterfaceAddress& interface) {
    if (interface.address != kLink) return std::vector<Datagram>{empty_response()};
    return std::vector<Datagram>{padded(fake_receiver("00:11:22:33:44:55", "Hall").answer(), 9001),
                                 padded(fake_receiver("F0:E1:D2:C3:B4:A5", "Den").answer(), 9000)};
  });
  const BrowsePassResult done = pass_until_quiet();
  EXPECT_EQ(network.receive_log(), (std::vector<platform::IpAddress>{kLink, kOther, kLink}));
  EXPECT_EQ(ids_of(done.result), std::vector<std::string>{kIdF0E1D2})
      << "the 9000-byte answer is read, the 9001-byte one never";
}

TEST_F(BrowsePass, MalformedDatagramIsDroppedWholeAndTheSameSocketIsReadOn) {
  // A complete answer whose header promises one record more than it holds.
  Datagram malformed = fake_receiver("00:11:22:33:44:55", "Hall").answer();
  malformed[7] += 1;
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  network.set_responder([malformed](const platform::Ipv4InterfaceAddress& interface) {
    if (interface.address != kLink) return std::vector<Datagram>{empty_response()};
    return std::vector<Datagram>{malformed, fake_receiver("F0:E1:D2:C3:B4:A5", "Den").answer()};
  });
  const BrowsePassResult done = pass_until_quiet();
  EXPECT_EQ(network.receive_log(), (std::vector<platform::IpAddress>{kLink, kLink, kOther}));
  EXPECT_EQ(ids_of(done.result), std::vector<std::string>{kIdF0E1D2});
  for (const auto& [key, entry] : cache.records) {
    EXPECT_EQ((key.owner_name + key.data_text).find("hall"), std::string::npos)
        << "a record of the refused datagram was cached: " << key.owner_name;
  }
}

TEST_F(BrowsePass, AnnouncesAndListsDevicesInAscendingIdOrder) {
  answer_with({fake_receiver("AA:BB:CC:DD:EE:FF", "Kitchen").answer(),
               fake_receiver("00:00:00:00:00:00", "Study").answer(),
               fake_receiver("F0:E1:D2:C3:B4:A5", "Den").answer(),
               fake_receiver("00:11:22:33:44:55", "Hall").answer()});
  const BrowsePassResult done = pass_until_quiet();
  const std::vector<std::string> ascending = {kId001122, kIdF0E1D2, kIdAABBCC, kId000000};
  EXPECT_EQ(ids_of(done.result), ascending);
  std::vector<std::string> announced;
  for (const auto& line : output.summary()) announced.push_back(line.substr(line.find(' ') + 1));
  EXPECT_EQ(announced, ascending);
}

// The default receiver's records, each on its own, as a responder that answers one question
// would send them.
const char* const kAirplayInstance = "Kitchen._airplay._tcp.local";
const char* const kRaopInstance = "AABBCCDDEEFF@Kitchen._raop._tcp.local";
const char* const kHost = "kitchen-pod.local";

DnsMessageBuilder& airplay_ptr(DnsMessageBuilder& b) {
  return b.ptr("_airplay._tcp.local", kAirplayInstance, 120);
}
DnsMessageBuilder& airplay_txt(DnsMessageBuilder& b) {
  return b.txt(kAirplayInstance,
               {"deviceid=AA:BB:CC:DD:EE:FF", "model=AudioAccessory5,1", "features=0x445F8A00"},
               120);
}
DnsMessageBuilder& airplay_srv(DnsMessageBuilder& b) {
  return b.srv(kAirplayInstance, 7000, kHost, 120);
}
DnsMessageBuilder& raop_ptr(DnsMessageBuilder& b) {
  return b.ptr("_raop._tcp.local", kRaopInstance, 120);
}
DnsMessageBuilder& raop_txt(DnsMessageBuilder& b) {
  return b.txt(kRaopInstance, {"am=AudioAccessory5,1", "tp=UDP"}, 120);
}
DnsMessageBuilder& raop_srv(DnsMessageBuilder& b) { return b.srv(kRaopInstance, 7000, kHost, 120); }
DnsMessageBuilder& host_a(DnsMessageBuilder& b) { return b.a(kHost, {198, 18, 0, 1}, 120); }

using Part = DnsMessageBuilder& (*)(DnsMessageBuilder&);

Datagram answer_of(std::initializer_list<Part> parts) {
  DnsMessageBuilder b;
  for (Part part : parts) part(b);
  return b.bytes();
}

const char* const kAp = "kitchen._airplay._tcp.local";
const char* const kRp = "aabbccddeeff@kitchen._raop._tcp.local";
const char* const kH = "kitchen-pod.local";

// The questions of a query written without compression, as "TYPE name" joined by ", ".
std::vector<RecordQuestion> questions_in(const Datagram& query) {
  std::vector<RecordQuestion> questions;
  if (query.size() < 12) return questions;
  std::size_t at = 12;
  for (int left = query[4] << 8 | query[5]; left > 0 && at < query.size(); --left) {
    std::string name;
    while (at < query.size() && query[at] != 0) {
      if (!name.empty()) name += '.';
      name.append(reinterpret_cast<const char*>(&query[at + 1]), query[at]);
      at += 1 + query[at];
    }
    at += 1;
    if (at + 4 > query.size()) break;
    questions.push_back({name, static_cast<std::uint16_t>(query[at] << 8 | query[at + 1])});
    at += 4;
  }
  return questions;
}

std::string describe(const Datagram& query) {
  std::string text;
  for (const RecordQuestion& q : questions_in(query)) {
    if (!text.empty()) text += ", ";
    text += q.type == kTypePtr   ? "PTR "
            : q.type == kTypeTxt ? "TXT "
            : q.type == kTypeSrv ? "SRV "
            : q.type == kTypeA   ? "A "
                                 : "? ";
    text += q.name;
  }
  return text;
}

std::string ask(std::initializer_list<std::pair<const char*, const char*>> questions) {
  std::string text;
  for (const auto& [type, name] : questions) {
    if (!text.empty()) text += ", ";
    text += std::string(type) + " " + name;
  }
  return text;
}

// Answers each question of a follow-up with the one record set it asks for (an SRV without the
// host's address: that has to be asked for in turn), all in one datagram.
std::vector<Datagram> answer_questions(const Datagram& query) {
  const std::pair<RecordQuestion, Part> known[] = {
      {{kAp, kTypeTxt}, airplay_txt},
      {{kAp, kTypeSrv}, airplay_srv},
      {{kRp, kTypeTxt}, raop_txt},
      {{kRp, kTypeSrv}, raop_srv},
      {{kH, kTypeA}, host_a},
      {{"_airplay._tcp.local", kTypePtr}, airplay_ptr},
      {{"_raop._tcp.local", kTypePtr}, raop_ptr},
  };
  DnsMessageBuilder b;
  for (const RecordQuestion& question : questions_in(query)) {
    for (const auto& [asked, part] : known) {
      if (asked == question) part(b);
    }
  }
  return {b.bytes()};
}

struct FollowUpCase {
  const char* name;
  std::vector<Datagram> answer;    // to the browse query
  std::vector<std::string> asked;  // the follow-up queries, in order
};

void PrintTo(const FollowUpCase& c, std::ostream* os) { *os << c.name; }

class BrowsePassFollowUps : public BrowsePass,
                            public ::testing::WithParamInterface<FollowUpCase> {};

// An answer cut short leaves records out; the pass asks for each service type alone (after the
// TXT of the instances it knows) and for exactly the records it lacks, and finds the receiver.
TEST_P(BrowsePassFollowUps, AskForWhatTheAnswerLeftOut) {
  const FollowUpCase& c = GetParam();
  answer_with(c.answer);
  network.set_follow_up_responder([](const platform::Ipv4InterfaceAddress&, const Datagram& query) {
    return answer_questions(query);
  });
  const BrowsePassResult found = pass_until_quiet();

  std::vector<std::string> asked;
  for (const auto& query : network.follow_ups()) {
    asked.push_back(describe(query.bytes));
    EXPECT_EQ(query.interface.address, kLink);
  }
  EXPECT_EQ(asked, c.asked);
  ASSERT_EQ(found.result.devices.size(), 1U);
  EXPECT_EQ(device_to_json(found.result.devices[0]),
            nlohmann::json::parse(kestrune::testing::kFakeReceiverDeviceJson));
  EXPECT_EQ(found.seen_ids, StableIdSet{kIdAABBCC});
}

const std::string kAskAirplay = ask({{"TXT", kAp}, {"PTR", "_airplay._tcp.local"}});
const std::string kAskRaop = ask({{"TXT", kRp}, {"PTR", "_raop._tcp.local"}});

INSTANTIATE_TEST_SUITE_P(
    Cases, BrowsePassFollowUps,
    ::testing::Values(
        FollowUpCase{"complete_answer_asks_only_the_service_types",
                     {FakeReceiverRecords().answer()},
                     {kAskAirplay, kAskRaop}},
        FollowUpCase{"raop_records_filled_the_reply",
                     {answer_of({raop_ptr, raop_txt, raop_srv, host_a})},
                     {ask({{"PTR", "_airplay._tcp.local"}}), kAskRaop,
                      // the airplay instance has become known: its type is asked again
                      kAskAirplay, ask({{"SRV", kAp}}), ask({{"TXT", kAp}})}},
        FollowUpCase{"airplay_txt_left_out",
                     {answer_of({airplay_ptr, airplay_srv, raop_ptr, raop_txt, raop_srv, host_a})},
                     {kAskAirplay, kAskRaop, ask({{"TXT", kAp}})}},
        FollowUpCase{
            "address_asked_once_an_srv_names_its_host",
            {answer_of({airplay_ptr, airplay_txt, raop_ptr, raop_txt})},
            {kAskAirplay, kAskRaop, ask({{"SRV", kAp}}), ask({{"SRV", kRp}}), ask({{"A", kH}})}},
        FollowUpCase{"pointers_only",
                     {answer_of({airplay_ptr, raop_ptr})},
                     {kAskAirplay, kAskRaop, ask({{"SRV", kAp}}), ask({{"TXT", kAp}}),
                      ask({{"SRV", kRp}}), ask({{"TXT", kRp}}), ask({{"A", kH}})}},
        FollowUpCase{"pointers_in_two_answers",
                     {answer_of({airplay_ptr, airplay_srv, host_a}), answer_of({raop_ptr})},
                     {kAskAirplay, kAskRaop, ask({{"TXT", kAp}}), ask({{"SRV", kRp}}),
                      ask({{"TXT", kRp}})}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(BrowsePass, FollowUpsAreBoundedAndEachIsAskedOnce) {
  // Fifty instances without TXT or SRV; every follow-up gets an empty answer, which wakes the
  // pass again without giving it what it asked for.
  DnsMessageBuilder pointers;
  for (int i = 0; i < 50; ++i) {
    pointers.ptr("_airplay._tcp.local", "Speaker " + std::to_string(i) + "._airplay._tcp.local");
  }
  answer_with({pointers.bytes()});
  network.set_follow_up_responder([](const platform::Ipv4InterfaceAddress&, const Datagram&) {
    return std::vector<Datagram>{empty_response()};
  });
  (void)pass_until_quiet();
  const auto sent = network.follow_ups();
  EXPECT_EQ(sent.size(), kMaxFollowUpQueries);
  // Compared as strings: a set of byte vectors trips a false -Wstringop-overread in GCC 12 at -O3.
  std::set<std::string> distinct;
  for (const auto& query : sent) distinct.emplace(query.bytes.begin(), query.bytes.end());
  EXPECT_EQ(distinct.size(), sent.size()) << "a question was asked twice in one pass";

  // The next pass has a budget of its own.
  (void)pass_until_quiet();
  EXPECT_EQ(network.follow_ups().size(), 2 * kMaxFollowUpQueries);
}

TEST(RecordQuery, IsOneQuestionForTheNameAndType) {
  DnsMessageBuilder expected;
  expected.question("kitchen-pod.local", kTypeA, 1);
  EXPECT_EQ(build_record_query("kitchen-pod.local", kTypeA), expected.bytes());
  EXPECT_EQ(build_record_query("", kTypeA), std::nullopt);
  EXPECT_EQ(build_record_query("a..local", kTypeA), std::nullopt);
  EXPECT_EQ(build_record_query(std::string(64, 'x') + ".local", kTypeA), std::nullopt);
  EXPECT_TRUE(build_record_query(std::string(63, 'x') + ".local", kTypeA));
  std::string long_name;
  for (int i = 0; i < 64; ++i) long_name += "abc.";
  long_name += "local";  // 261 bytes on the wire
  EXPECT_EQ(build_record_query(long_name, kTypeA), std::nullopt);

  // Several questions in order; those that cannot be written are left out.
  const RecordQuestion questions[] = {{"a..local", kTypeTxt},
                                      {"kitchen._airplay._tcp.local", kTypeTxt},
                                      {"_airplay._tcp.local", kTypePtr}};
  DnsMessageBuilder two;
  two.question("kitchen._airplay._tcp.local", kTypeTxt, 1)
      .question("_airplay._tcp.local", kTypePtr, 1);
  EXPECT_EQ(build_record_query(questions), two.bytes());
  EXPECT_EQ(build_record_query(std::span(questions).first(1)), std::nullopt);
}

TEST_F(BrowsePass, ReceiverHeardOnlyInAnEarlierPassIsNeitherAnnouncedNorListed) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass_until_quiet();
  answer_with({});
  const std::size_t events_before = output.events().size();
  const BrowsePassResult silent = pass_until_quiet();
  EXPECT_TRUE(silent.result.devices.empty());
  EXPECT_TRUE(silent.seen_ids.empty());
  EXPECT_EQ(output.events().size(), events_before);
  EXPECT_TRUE(cache.published_view.contains(kIdAABBCC)) << "it stays in the owner's view";
}

TEST_F(BrowsePass, GoodbyeRemovesTheReceiverWithAnAuthoritativeExpiry) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass_until_quiet();
  answer_with({FakeReceiverRecords().goodbye()});
  const BrowsePassResult gone = pass_until_quiet();
  EXPECT_EQ(output.summary(),
            (std::vector<std::string>{"deviceDiscovered " + kIdAABBCC,
                                      "deviceExpired " + kIdAABBCC + " authoritativeRemoval"}));
  EXPECT_TRUE(gone.result.devices.empty());
  EXPECT_TRUE(cache.published_view.empty());
}

TEST_F(BrowsePass, RefusedEventEndsTheReceiving) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass_until_quiet();
  output.accept_at_most(output.events().size());
  answer_with({FakeReceiverRecords().goodbye(), empty_response(), empty_response()});
  const BrowsePassResult refused = pass_until_quiet();
  EXPECT_EQ(network.receive_log().size(), 2U) << "one datagram in each pass";
  EXPECT_TRUE(refused.result.complete);
  EXPECT_TRUE(cache.published_view.contains(kIdAABBCC))
      << "a refused emission leaves the published view as it was";
}

TEST_F(BrowsePass, SweepThatFindsNothingIsFollowedByTenMillisecondsOfSleep) {
  // Two quiet sockets for 500 ms: a sweep of both at most every 10 ms, however slow the machine
  // (a slower one sweeps less often, never more).
  network.set_interfaces(std::vector{host_ipv4(kLink), host_ipv4(kOther)});
  const auto start = Clock::now();
  (void)pass(500ms);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(took, 500ms);
  EXPECT_LE(network.polls(), 2 * (static_cast<std::size_t>(took.count()) / 10 + 1));
  EXPECT_GE(network.polls(), 2U);
}

// The interface a receiver's address came in on is not opened by the next pass (its address went
// away): the receiver leaves the owner's view without any datagram, and the pass end says so.
TEST_F(BrowsePass, PassEndReportsADeviceThatLeftTheViewWithoutADatagram) {
  answer_with({FakeReceiverRecords().answer()});
  (void)pass_until_quiet();
  ASSERT_TRUE(cache.published_view.contains(kIdAABBCC));

  network.set_interfaces(std::vector{host_ipv4(kOther)});
  answer_with({});
  const BrowsePassResult later = pass(100ms);
  EXPECT_EQ(output.summary(),
            (std::vector<std::string>{"deviceDiscovered " + kIdAABBCC,
                                      "deviceExpired " + kIdAABBCC + " authoritativeRemoval"}));
  EXPECT_TRUE(cache.published_view.empty());
  EXPECT_TRUE(later.result.devices.empty());
}

// A published receiver renamed itself (a new instance, on a new host) and answers this pass as
// the new one: the expired records of the old instance stop standing behind it.
TEST_F(BrowsePass, ExpiredRecordsOfAReceiverThatAnsweredWithoutThemLeave) {
  origin = Clock::now() - 100s;  // the pass runs about 100 s into owner time
  FakeReceiverRecords old = FakeReceiverRecords();
  old.instance = "Old";
  old.host = "old-pod.local";
  old.address = {198, 18, 0, 5};
  old.ttl = 1;  // expired since 1 s
  cache.interfaces = std::vector{lan_interface(kLink)};
  auto records = decode_mdns_message(old.answer());
  ASSERT_TRUE(records);
  ingest_mdns_records(cache, *records, OwnerTime{}, lan_interface(kLink));
  ASSERT_TRUE(emit_device_events(cache, output, ExpiryReason::authoritative_removal, Announce::no));
  ASSERT_TRUE(cache.published_view.contains(kIdAABBCC));

  answer_with({FakeReceiverRecords().answer()});
  const BrowsePassResult renamed = pass_until_quiet();
  ASSERT_EQ(renamed.result.devices.size(), 1U);
  EXPECT_EQ(device_to_json(renamed.result.devices[0]),
            nlohmann::json::parse(kestrune::testing::kFakeReceiverDeviceJson));
  for (const auto& [key, entry] : cache.records) {
    EXPECT_EQ((key.owner_name + key.data_text).find("old"), std::string::npos)
        << "left behind: " << key.owner_name << " " << key.data_text;
  }
  const DeviceView view = build_device_view(cache);
  ASSERT_EQ(view.size(), 1U);
  EXPECT_GE(view.begin()->second.airplay_expiry, (OwnerTime{100, 0}));
}

TEST_F(BrowsePass, ZeroLengthReceivesNothing) {
  answer_with({FakeReceiverRecords().answer()});
  const BrowsePassResult done = pass(0ms);
  EXPECT_TRUE(network.receive_log().empty());
  EXPECT_EQ(network.queries().size(), 1U) << "the query is still sent";
  EXPECT_TRUE(done.result.devices.empty());
  EXPECT_TRUE(done.result.complete);
}

TEST_F(BrowsePass, StopFlagEndsItEarlyAndItStillReportsWhatItHeard) {
  answer_with({FakeReceiverRecords().answer()});
  Clock::time_point stopped_at;
  std::thread stopper([this, &stopped_at] {
    (void)wait_until([this] { return network.quiet(); }, 60s);
    stopped_at = Clock::now();
    stop.store(true);
  });
  const BrowsePassResult stopped = pass(60s);
  stopper.join();
  EXPECT_LT(Clock::now() - stopped_at, 2s) << "the pass ends soon after the flag is set";
  EXPECT_TRUE(stopped.result.complete);
  EXPECT_EQ(ids_of(stopped.result), std::vector<std::string>{kIdAABBCC});
}

TEST_F(BrowsePass, ClosedOutputEndsItAtOnce) {
  answer_with({FakeReceiverRecords().answer()});
  output.close();
  const auto start = Clock::now();
  const BrowsePassResult closed = pass(5s);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(network.receive_log().empty());
  EXPECT_TRUE(closed.result.complete);
}

}  // namespace
}  // namespace kestrune::discovery
