#pragma once
// The browse network of the host itself: getifaddrs for the interface list and one multicast UDP
// socket per interface address.

#include <memory>

#include "discovery/browse_network.hpp"

namespace kestrune::discovery {

std::shared_ptr<BrowseNetwork> platform_browse_network();

}  // namespace kestrune::discovery
