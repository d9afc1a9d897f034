#include "tests/integration/discovery/mdns_responder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>

#include "discovery/browse_query.hpp"
#include "tests/support/dns_message_builder.hpp"

namespace kestrune::testing {
namespace {

constexpr std::chrono::minutes kLongestLife{5};

std::array<std::uint8_t, 4> parse_ipv4(const char* text) {
  std::array<std::uint8_t, 4> address{};
  if (text == nullptr || inet_pton(AF_INET, text, address.data()) != 1) {
    throw std::runtime_error("not an IPv4 address in the environment");
  }
  return address;
}

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) + " is not set: run under tests/services/netns.sh");
  }
  return value;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Joins the namespace (this thread only) and opens the listening socket there.
int open_in_namespace(const std::string& network_namespace, std::array<std::uint8_t, 4> address) {
  const std::string path = "/run/netns/" + network_namespace;
  const int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ns < 0) fail("open " + path);
  const int joined = ::setns(ns, CLONE_NEWNET);
  ::close(ns);
  if (joined != 0) fail("setns " + path);

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(5353);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq membership{};
  std::memcpy(&membership.imr_interface, address.data(), 4);
  membership.imr_multiaddr.s_addr = inet_addr("224.0.0.251");
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fail("set up the responder socket");
  }
  return fd;
}

}  // namespace

NetnsNetwork netns_network() {
  NetnsNetwork network;
  network.receiver_namespace = environment("KESTRUNE_NETNS_RECEIVER");
  network.receiver_address = parse_ipv4(environment("KESTRUNE_NETNS_RECEIVER_ADDRESS"));
  network.local_address = parse_ipv4(environment("KESTRUNE_NETNS_LOCAL_ADDRESS"));
  return network;
}

MdnsResponder::MdnsResponder(const std::string& network_namespace,
                             std::array<std::uint8_t, 4> address, FakeReceiverRecords records)
    : records_(std::move(records)), address_(address) {
  std::promise<void> ready;
  auto started = ready.get_future();
  thread_ = std::thread([this, network_namespace, address, ready = std::move(ready)]() mutable {
    int fd = -1;
    try {
      fd = open_in_namespace(network_namespace, address);
    } catch (...) {
      ready.set_exception(std::current_exception());
      return;
    }
    ready.set_value();
    serve(fd);
    ::close(fd);
  });
  try {
    started.get();
  } catch (...) {
    thread_.join();
    throw;
  }
}

MdnsResponder::~MdnsResponder() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

std::vector<MdnsResponder::Query> MdnsResponder::queries() const {
  std::lock_guard lock(mutex_);
  return queries_;
}

bool MdnsResponder::is_browse_query(const Query& query) {
  static const std::vector<std::uint8_t> browse = discovery::build_browse_query();
  return query.bytes == browse;
}

std::size_t MdnsResponder::browse_query_count() const {
  std::size_t count = 0;
  for (const Query& query : queries_) count += is_browse_query(query) ? 1 : 0;
  return count;
}

std::vector<MdnsResponder::Query> MdnsResponder::browse_queries() const {
  std::lock_guard lock(mutex_);
  std::vector<Query> browse;
  for (const Query& query : queries_) {
    if (is_browse_query(query)) browse.push_back(query);
  }
  return browse;
}

bool MdnsResponder::wait_for_browse_queries(std::size_t count,
                                            std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return browse_query_count() >= count; });
}

bool MdnsResponder::wait_for_queries(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return queries_.size() >= count; });
}

std::vector<std::vector<std::uint8_t>> MdnsResponder::junk_burst() {
  std::vector<std::vector<std::uint8_t>> burst;
  for (int d = 0; d < kJunkDatagrams; ++d) {
    DnsMessageBuilder b;
    for (int r = 0; r < kJunkRecordsPerDatagram; ++r) {
      const int host = junk_hosts_++;
      b.a("junk" + std::to_string(host) + ".local",
          {10, static_cast<std::uint8_t>(host >> 16), static_cast<std::uint8_t>(host >> 8),
           static_cast<std::uint8_t>(host)},
          1);
    }
    burst.push_back(b.bytes());
  }
  return burst;
}

void MdnsResponder::serve(int fd) {
  const auto give_up = Clock::now() + kLongestLife;
  std::vector<std::uint8_t> buffer(9000);
  while (!stop_.load() && Clock::now() < give_up) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;

    sockaddr_in source{};
    alignas(cmsghdr) char control[256];
    iovec data{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (size < 0) continue;

    // Another responder in this namespace (its own multicast, looped back) is no query of ours.
    const auto* from = reinterpret_cast<const std::uint8_t*>(&source.sin_addr);
    if (std::memcmp(from, address_.data(), 4) == 0 || from[0] == 127) continue;

    Query query;
    query.at = Clock::now();
    query.bytes.assign(buffer.begin(), buffer.begin() + size);
    std::memcpy(query.source.data(), &source.sin_addr, 4);
    query.source_port = ntohs(source.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != IPPROTO_IP) continue;
      if (c->cmsg_type == IP_TTL) std::memcpy(&query.ttl, CMSG_DATA(c), sizeof query.ttl);
      if (c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        std::memcpy(query.destination.data(), &info.ipi_addr, 4);
      }
    }

    const Mode mode = mode_.load();
    if (mode == Mode::junk) {
      for (const auto& datagram : junk_burst()) {
        (void)::sendto(fd, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&source), sizeof source);
      }
    } else if (mode != Mode::silent) {
      const std::vector<std::uint8_t> reply =
          mode == Mode::answer ? records_.answer() : records_.goodbye();
      (void)::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&source),
                     sizeof source);
    }
    std::lock_guard lock(mutex_);
    queries_.push_back(std::move(query));
    changed_.notify_all();
  }
}

}  // namespace kestrune::testing
