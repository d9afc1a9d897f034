// Discovery's per-datagram work: decoding a typical answer, and rebuilding the device view from a
// full cache (2048 records), which a browse pass does after every datagram it receives; and the
// planning of follow-up queries, which a pass does whenever its answers pause, beside the view
// build of the same cache as its baseline.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "../tests/support/dns_message_builder.hpp"
#include "discovery/device_identity.hpp"
#include "discovery/device_view.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/follow_up_queries.hpp"
#include "discovery/mdns_message.hpp"
#include "platform/netmask.hpp"

namespace {

using namespace kestrune::discovery;
namespace platform = kestrune::platform;
using kestrune::testing::DnsMessageBuilder;

// What a receiver answers to the browse query: both PTRs, TXT, SRV and two addresses for the
// airplay instance, the raop SRV and TXT, an AAAA and an NSEC (both skipped).
std::vector<std::uint8_t> receiver_answer(int n) {
  const std::string id = std::to_string(1000 + n);
  const std::string instance = "Speaker " + id + "._airplay._tcp.local";
  const std::string raop =
      "0000000" + std::to_string(10000 + n) + "@Speaker " + id + "._raop._tcp.local";
  const std::string host = "speaker-" + id + ".local";
  const auto low = static_cast<std::uint8_t>(n);
  const auto high = static_cast<std::uint8_t>(n >> 8);
  DnsMessageBuilder b;
  b.ptr("_airplay._tcp.local", instance).ptr("_raop._tcp.local", raop);
  b.section(DnsMessageBuilder::Section::additional);
  b.txt(instance,
        {"acl=0",
         "deviceid=00:00:00:01:" + hex_lower(std::span(&high, 1)) + ":" +
             hex_lower(std::span(&low, 1)),
         "features=0x4A7FDFD5,0xBCB46", "flags=0x18644", "model=AudioAccessory6,1",
         "name=Speaker " + id, "protovers=1.1", "srcvers=770.8.1", "vv=2",
         "pk=8d4c1a3b9e07f26d5a4c3b2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a"},
        4500, true);
  b.srv(instance, 7000, host, 120, true);
  b.txt(raop, {"cn=0,1", "et=0,4", "am=AudioAccessory6,1", "md=0,1,2", "tp=UDP"}, 4500, true);
  b.srv(raop, 7000, host, 120, true);
  b.a(host, {192, 168, high, low}, 120, true);
  b.a(host, {10, 1, high, low}, 120, true);
  b.record(host, 28, 0x8001, 120, std::vector<std::uint8_t>(16, 0xFE));
  b.record(host, 47, 0x8001, 120, std::vector<std::uint8_t>{0xC0, 0x0C, 0, 1, 0x40});
  return b.bytes();
}

void BM_DecodeTypicalAnswer(benchmark::State& state) {
  const std::vector<std::uint8_t> datagram = receiver_answer(7);
  for (auto _ : state) {
    auto records = decode_mdns_message(datagram);
    benchmark::DoNotOptimize(records);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * datagram.size()));
  state.counters["datagram_bytes"] = static_cast<double>(datagram.size());
}
BENCHMARK(BM_DecodeTypicalAnswer);

// A cache filled to its 2048-key bound with complete receivers, more than the view admits.
DiscoveryCache full_cache() {
  platform::Ipv4InterfaceAddress interface;
  interface.address = {192, 168, 0, 10};
  interface.prefix_length = 16;
  interface.netmask = platform::netmask_of_prefix(16);
  DiscoveryCache cache;
  cache.interfaces = std::vector{interface};
  for (int n = 0; n < 1000 && cache.records.size() < kMaxCacheKeys; ++n) {
    const auto records = decode_mdns_message(receiver_answer(n));
    if (records) ingest_mdns_records(cache, *records, OwnerTime{100, 0}, interface);
  }
  return cache;
}

// Builds the view from `cache` once per iteration and reports the cache's and the view's sizes.
void measure_view_build(benchmark::State& state, const DiscoveryCache& cache) {
  std::size_t devices = 0;
  for (auto _ : state) {
    DeviceView view = build_device_view(cache);
    devices = view.size();
    benchmark::DoNotOptimize(view);
  }
  state.counters["records"] = static_cast<double>(cache.records.size());
  state.counters["devices"] = static_cast<double>(devices);
}

void BM_BuildViewFromFullCache(benchmark::State& state) { measure_view_build(state, full_cache()); }
BENCHMARK(BM_BuildViewFromFullCache)->Unit(benchmark::kMillisecond);

void ingest(DiscoveryCache& cache, const DnsMessageBuilder& datagram,
            const platform::Ipv4InterfaceAddress& interface) {
  const auto records = decode_mdns_message(datagram.bytes());
  if (!records) std::abort();  // the builders below write at most 256 records per datagram
  ingest_mdns_records(cache, *records, OwnerTime{100, 0}, interface);
}

// The shapes a peer can give a full cache to make one view build expensive: one instance and its
// raop twin naming one host through a thousand SRV records (each host is walked once per device
// and role, so this costs about as much as the host's addresses), and 128 receivers naming one
// host that holds the rest of the cache (each admitted device copies ~1660 address keys into its
// supporting keys, the part of the view's work that grows with what it returns).
DiscoveryCache crowded_cache(int instances, int srv_per_instance) {
  platform::Ipv4InterfaceAddress interface;
  interface.address = {10, 2, 0, 1};
  interface.prefix_length = 16;
  interface.netmask = platform::netmask_of_prefix(16);
  DiscoveryCache cache;
  cache.interfaces = std::vector{interface};
  for (int i = 0; i < instances; ++i) {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
    const std::string instance = "Speaker " + std::to_string(i) + "._airplay._tcp.local";
    DnsMessageBuilder b;
    b.ptr("_airplay._tcp.local", instance).ptr("_raop._tcp.local", instance);
    b.txt(instance, {"deviceid=00:00:00:00:" + hex_lower(bytes), "model=AudioAccessory6,1"});
    ingest(cache, b, interface);
    for (int port = 1; port <= srv_per_instance; port += 200) {
      DnsMessageBuilder srv;
      for (int p = port; p < port + 200 && p <= srv_per_instance; ++p) {
        srv.srv(instance, static_cast<std::uint16_t>(p), "shared.local");
      }
      ingest(cache, srv, interface);
    }
  }
  for (int n = 0; cache.records.size() < kMaxCacheKeys; ++n) {
    DnsMessageBuilder b;
    b.a("shared.local", {10, 2, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    ingest(cache, b, interface);
  }
  return cache;
}

void BM_BuildViewFromCrowdedCache(benchmark::State& state) {
  measure_view_build(
      state, crowded_cache(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
}
BENCHMARK(BM_BuildViewFromCrowdedCache)
    ->ArgNames({"instances", "srv"})
    ->Args({1, 1000})
    ->Args({128, 1})
    ->Unit(benchmark::kMillisecond);

// A typical answer (cache-flush records among them) into a full cache: the flush scans every
// entry, and the refreshed keys are already present.
void BM_IngestTypicalAnswerIntoFullCache(benchmark::State& state) {
  DiscoveryCache cache = full_cache();
  const auto records = decode_mdns_message(receiver_answer(7));
  const platform::Ipv4InterfaceAddress interface = cache.interfaces->front();
  for (auto _ : state) {
    ingest_mdns_records(cache, *records, OwnerTime{100, 0}, interface);
    benchmark::DoNotOptimize(cache);
  }
  state.counters["records"] = static_cast<double>(cache.records.size());
}
BENCHMARK(BM_IngestTypicalAnswerIntoFullCache);

// A pass cache filled to the bound, every receiver's instances noted on one socket: the planner
// indexes the cache once per round and has its whole budget to spend.
void BM_PlanFollowUpsFromFullPassCache(benchmark::State& state) {
  const DiscoveryCache cache = full_cache();
  std::vector<MdnsRecord> noted;
  for (int n = 0; n < 64; ++n) {
    auto records = decode_mdns_message(receiver_answer(n));
    if (records) noted.insert(noted.end(), records->begin(), records->end());
  }
  std::size_t queries = 0;
  for (auto _ : state) {
    FollowUpPlanner planner(1);
    planner.note(0, noted);
    const auto planned = planner.plan(cache, *cache.interfaces);
    queries = planned.size();
    benchmark::DoNotOptimize(planned);
  }
  state.counters["records"] = static_cast<double>(cache.records.size());
  state.counters["queries"] = static_cast<double>(queries);
}
BENCHMARK(BM_PlanFollowUpsFromFullPassCache)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
