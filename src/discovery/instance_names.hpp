#pragma once
// What a service instance's own name says about its receiver. A "_raop._tcp.local" instance is
// named "<device id>@<name>", so its label can stand in for a missing "deviceid" and "name";
// an "_airplay._tcp.local" instance label is the name alone.

#include <optional>
#include <string>
#include <string_view>

namespace kestrune::discovery {

enum class ServiceKind { airplay, raop };

// The identity from the TXT "deviceid" when it is valid; otherwise, for a raop instance only,
// from its normalised target up to the first "." and then up to the first "@".
std::optional<std::string> instance_identity(const std::string* txt_device_id, ServiceKind service,
                                             std::string_view normalised_target);

// The TXT "name" when present; otherwise the as-received target up to its first "." (for a raop
// instance, the part of that label after its first "@"). "HomePod" when the chosen text does
// not pass the display-name check.
std::string instance_display_name(const std::string* txt_name, ServiceKind service,
                                  std::string_view target_as_received);

}  // namespace kestrune::discovery
