#pragma once
// The follow-up questions of a browse pass. A responder may leave records out of its answer (one
// that answers legacy-unicast queries with at most 512 bytes drops what does not fit, without
// the truncation bit), so within a pass a socket that heard answers asks each of the two service
// types alone (the records of one type can fill a reply to both and leave the other type's
// instances out entirely), and the instances an answer named without their SRV or TXT record,
// and the SRV targets named without an address received on that socket, are asked for with one
// question each for exactly that name and type. Each question goes out at most once per pass,
// from the socket that heard the name, and a pass sends at most kMaxFollowUpQueries of them: the
// service types first, then "_airplay._tcp.local" instances, hosts and "_raop._tcp.local"
// instances. What is remembered per socket is bounded by the same figure.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "discovery/discovery_cache.hpp"
#include "discovery/interface_record.hpp"
#include "discovery/mdns_record.hpp"

namespace kestrune::discovery {

inline constexpr std::size_t kMaxFollowUpQueries = 32;

struct FollowUpQuestion {
  std::size_t socket = 0;  // index of the socket to ask from
  std::string name;        // normalised
  std::uint16_t type = 0;
  friend bool operator==(const FollowUpQuestion&, const FollowUpQuestion&) = default;
};

class FollowUpPlanner {
 public:
  explicit FollowUpPlanner(std::size_t sockets) : sockets_(sockets) {}

  // Remembers the instances and SRV targets that records received on `socket` name.
  void note(std::size_t socket, std::span<const MdnsRecord> records);

  // The questions to ask now, given what the pass cache holds and the interface of each socket
  // (in socket order). Each is returned once per pass; none once the budget is spent.
  std::vector<FollowUpQuestion> plan(const DiscoveryCache& pass_cache,
                                     std::span<const InterfaceRecord> interfaces);

 private:
  enum class Role : std::uint8_t { airplay_instance, host, raop_instance };
  struct Name {
    std::string name;
    Role role;
    bool srv_asked = false;
    bool txt_asked = false;
    bool a_asked = false;
  };
  void remember(std::size_t socket, const std::string& name, Role role);

  struct Heard {
    bool answers = false;        // some datagram of records arrived on the socket
    bool services_asked = false;
    std::vector<Name> names;     // at most kMaxFollowUpQueries per role
  };
  std::vector<Heard> sockets_;
  std::size_t sent_ = 0;
};

}  // namespace kestrune::discovery
