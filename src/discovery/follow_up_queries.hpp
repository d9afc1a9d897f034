#pragma once
// The follow-up queries of a browse pass. A responder may leave records out of its answer (one
// that answers legacy-unicast queries with at most 512 bytes drops what does not fit, without
// the truncation bit), so within a pass each socket that heard answers asks again for what they
// named but left out, from that socket:
// - each of the two service types alone (the records of one type can fill a reply to both), and
//   again whenever more of its instances have become known since it was last asked. The question
//   is preceded by the TXT questions of the instances already known (at most 16): a responder that
//   fills its reply with each pointer's TXT beside it then counts those as asked for, not as
//   additions to each pointer, and has room for the pointers not known yet;
// - for each instance named without its SRV or TXT record, and each SRV target named without an
//   address received on that socket, one question for exactly that name and type, once.
// A pass sends at most kMaxFollowUpQueries queries: the service types first, then
// "_airplay._tcp.local" instances, hosts and "_raop._tcp.local" instances. What is remembered
// per socket is bounded by the same figure.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "discovery/browse_query.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/mdns_record.hpp"
#include "platform/interface_addresses.hpp"

namespace kestrune::discovery {

inline constexpr std::size_t kMaxFollowUpQueries = 32;
inline constexpr std::size_t kMaxKnownTxtQuestions = 16;

struct FollowUpQuery {
  std::size_t socket = 0;  // index of the socket to ask from
  std::vector<RecordQuestion> questions;
  friend bool operator==(const FollowUpQuery&, const FollowUpQuery&) = default;
};

class FollowUpPlanner {
 public:
  explicit FollowUpPlanner(std::size_t sockets) : sockets_(sockets) {}

  // Remembers the instances and SRV targets that records received on `socket` name.
  void note(std::size_t socket, std::span<const MdnsRecord> records);

  // The queries to send now, given what the pass cache holds and the interface of each socket
  // (in socket order). None once the budget is spent.
  std::vector<FollowUpQuery> plan(const DiscoveryCache& pass_cache,
                                  std::span<const platform::Ipv4InterfaceAddress> interfaces);

 private:
  enum class Role : std::uint8_t { airplay_instance, host, raop_instance };
  struct Name {
    std::string name;
    Role role;
    bool srv_asked = false;
    bool txt_asked = false;
    bool a_asked = false;
  };
  struct Heard {
    bool answers = false;  // some datagram of records arrived on the socket
    // How many instances of each service were known when the type was last asked.
    std::optional<std::size_t> airplay_asked_with;
    std::optional<std::size_t> raop_asked_with;
    std::vector<Name> names;  // at most kMaxFollowUpQueries per role
  };
  void remember(std::size_t socket, const std::string& name, Role role);
  void ask_service(std::size_t socket, Role role, std::vector<FollowUpQuery>& queries);

  std::vector<Heard> sockets_;
  std::size_t sent_ = 0;
};

}  // namespace kestrune::discovery
