#include "discovery/mdns_record.hpp"

namespace kestrune::discovery {

std::string normalize_dns_name(std::string_view name) {
  while (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string normalised(name);
  for (char& c : normalised) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return normalised;
}

}  // namespace kestrune::discovery
