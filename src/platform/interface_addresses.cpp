#include "platform/interface_addresses.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/netmask.hpp"

namespace kestrune::platform {
namespace {

IpAddress ipv4_of(const sockaddr* address) {
  IpAddress ip;
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
  std::memcpy(ip.bytes.data(), &v4->sin_addr, sizeof v4->sin_addr);
  return ip;
}

bool is_ipv4(const sockaddr* address) {
  return address != nullptr && address->sa_family == AF_INET;
}

}  // namespace

support::Result<std::vector<InterfaceAddress>> list_interface_addresses() {
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) {
    return support::fail(support::Error::from_errno("list interface addresses", errno));
  }
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, &::freeifaddrs);

  std::vector<InterfaceAddress> addresses;
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    // Link-layer entries (AF_PACKET) and interfaces without an address carry no IP address.
    if (entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;

    InterfaceAddress address;
    address.interface_name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    if (family == AF_INET) {
      Ipv4InterfaceAddress v4;
      v4.address = ipv4_of(entry->ifa_addr);
      if (is_ipv4(entry->ifa_netmask)) v4.netmask = ipv4_of(entry->ifa_netmask);
      v4.prefix_length = prefix_length_of_netmask(v4.netmask);
      // The broadcast and point-to-point destination share one field; only the flag tells them
      // apart.
      if ((entry->ifa_flags & IFF_BROADCAST) != 0 && is_ipv4(entry->ifa_broadaddr)) {
        v4.broadcast = ipv4_of(entry->ifa_broadaddr);
      }
      address.ipv4 = v4;
    }
    addresses.push_back(std::move(address));
  }
  return addresses;
}

}  // namespace kestrune::platform
