#include "discovery/follow_up_queries.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <variant>

#include "discovery/device_view.hpp"
#include "discovery/keyed_hash.hpp"

namespace kestrune::discovery {
namespace {

// Names come from the network, so the lookups are keyed like every other discovery map.
struct NameHash {
  std::size_t operator()(std::string_view name) const {
    SipHasher hasher(process_hash_key());
    hasher.update(name);
    return static_cast<std::size_t>(hasher.finish());
  }
};
using NameSet = std::unordered_set<std::string_view, NameHash>;

// What the pass cache already holds, by owner name; addresses by owner name and the interface
// that received them.
struct HeardRecords {
  NameSet srv;
  NameSet txt;
  std::unordered_set<std::string, NameHash> address;  // owner, "|", interface address

  static std::string address_key(std::string_view owner, const platform::IpAddress& interface) {
    std::string key(owner);
    key += '|';
    key += interface.to_string();
    return key;
  }

  explicit HeardRecords(const DiscoveryCache& cache) {
    for (const auto& [key, entry] : cache.records) {
      if (key.type == kTypeSrv) srv.insert(key.owner_name);
      if (key.type == kTypeTxt) txt.insert(key.owner_name);
      if (key.type == kTypeA)
        address.insert(
            address_key(key.owner_name, platform::IpAddress::v4_of_value(key.interface_address)));
    }
  }
};

}  // namespace

void FollowUpPlanner::remember(std::size_t socket, const std::string& name, Role role) {
  std::vector<Name>& names = sockets_[socket].names;
  std::size_t of_role = 0;
  for (const Name& known : names) {
    if (known.role != role) continue;
    if (known.name == name) return;
    ++of_role;
  }
  if (of_role >= kMaxFollowUpQueries) return;
  names.push_back({name, role});
}

void FollowUpPlanner::note(std::size_t socket, std::span<const MdnsRecord> records) {
  if (socket >= sockets_.size() || records.empty()) return;
  sockets_[socket].answers = true;
  for (const MdnsRecord& record : records) {
    if (record.ttl == 0) continue;
    if (const auto* ptr = std::get_if<PtrRecordData>(&record.data)) {
      if (record.owner_name == kAirplayService) {
        remember(socket, ptr->target, Role::airplay_instance);
      } else if (record.owner_name == kRaopService) {
        remember(socket, ptr->target, Role::raop_instance);
      }
    } else if (const auto* srv = std::get_if<SrvRecordData>(&record.data)) {
      remember(socket, srv->target, Role::host);
    }
  }
}

void FollowUpPlanner::ask_service(std::size_t socket, Role role,
                                  std::vector<FollowUpQuery>& queries) {
  Heard& heard = sockets_[socket];
  std::optional<std::size_t>& asked_with =
      role == Role::airplay_instance ? heard.airplay_asked_with : heard.raop_asked_with;
  FollowUpQuery query{socket, {}};
  std::size_t known = 0;
  for (const Name& name : heard.names) {
    if (name.role != role) continue;
    ++known;
    if (query.questions.size() < kMaxKnownTxtQuestions) {
      query.questions.push_back({name.name, kTypeTxt});
    }
  }
  if (sent_ >= kMaxFollowUpQueries || (asked_with && *asked_with >= known)) return;
  asked_with = known;
  ++sent_;
  query.questions.push_back(
      {std::string(role == Role::airplay_instance ? kAirplayService : kRaopService), kTypePtr});
  queries.push_back(std::move(query));
}

std::vector<FollowUpQuery> FollowUpPlanner::plan(
    const DiscoveryCache& pass_cache, std::span<const platform::Ipv4InterfaceAddress> interfaces) {
  std::vector<FollowUpQuery> queries;
  if (sent_ >= kMaxFollowUpQueries) return queries;
  for (std::size_t socket = 0; socket < sockets_.size(); ++socket) {
    if (!sockets_[socket].answers) continue;
    ask_service(socket, Role::airplay_instance, queries);
    ask_service(socket, Role::raop_instance, queries);
  }
  const HeardRecords heard(pass_cache);
  const auto ask = [&](std::size_t socket, const std::string& name, std::uint16_t type,
                       bool& asked) {
    if (asked || sent_ >= kMaxFollowUpQueries) return;
    asked = true;
    ++sent_;
    queries.push_back({socket, {{name, type}}});
  };
  for (const Role role : {Role::airplay_instance, Role::host, Role::raop_instance}) {
    for (std::size_t socket = 0; socket < sockets_.size(); ++socket) {
      for (Name& known : sockets_[socket].names) {
        if (known.role != role) continue;
        if (role == Role::host) {
          if (socket < interfaces.size() && !heard.address.contains(HeardRecords::address_key(
                                                known.name, interfaces[socket].address))) {
            ask(socket, known.name, kTypeA, known.a_asked);
          }
          continue;
        }
        if (!heard.srv.contains(known.name)) ask(socket, known.name, kTypeSrv, known.srv_asked);
        if (!heard.txt.contains(known.name)) ask(socket, known.name, kTypeTxt, known.txt_asked);
      }
    }
  }
  return queries;
}

}  // namespace kestrune::discovery
