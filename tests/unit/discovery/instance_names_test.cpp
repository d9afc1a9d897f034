#include "discovery/instance_names.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "discovery/mdns_record.hpp"

namespace kestrune::discovery {
namespace {

TEST(InstanceNames, IdentityFromDeviceIdOrTheRaopLabel) {
  struct Case {
    const char* title;
    std::optional<std::string> device_id;
    ServiceKind service;
    std::string target;  // as received; identities read its normalised form
    std::optional<std::string> identity;
  };
  const Case cases[] = {
      {"TXT device id", "AA:BB:CC:DD:EE:FF", ServiceKind::airplay, "Kitchen._airplay._tcp.local",
       "aabbccddeeff"},
      {"airplay without device id", std::nullopt, ServiceKind::airplay,
       "AABBCCDDEEFF@Kitchen._airplay._tcp.local", std::nullopt},
      {"airplay with an invalid device id", "AA:BB", ServiceKind::airplay,
       "Kitchen._airplay._tcp.local", std::nullopt},
      {"raop label", std::nullopt, ServiceKind::raop, "AABBCCDDEEFF@Kitchen._raop._tcp.local",
       "aabbccddeeff"},
      {"raop label ending in the at sign", std::nullopt, ServiceKind::raop,
       "aabbccddeeff@._raop._tcp.local", "aabbccddeeff"},
      {"raop label without at sign", std::nullopt, ServiceKind::raop,
       "AABBCCDDEEFF._raop._tcp.local", "aabbccddeeff"},
      {"raop label with separators", std::nullopt, ServiceKind::raop,
       "AA:BB:CC:DD:EE:FF@Room._raop._tcp.local", "aabbccddeeff"},
      {"raop label without a device id", std::nullopt, ServiceKind::raop,
       "Kitchen@Home._raop._tcp.local", std::nullopt},
      {"raop label whose name part holds the id", std::nullopt, ServiceKind::raop,
       "x@AABBCCDDEEFF._raop._tcp.local", std::nullopt},
      {"raop target without any dot", std::nullopt, ServiceKind::raop, "AABBCCDDEEFF@Kitchen",
       "aabbccddeeff"},
      {"an invalid TXT id falls back to the raop label", "nonsense", ServiceKind::raop,
       "001122334455@Kitchen._raop._tcp.local", "001122334455"},
      {"a valid TXT id wins over the raop label", "AA-BB-CC-DD-EE-FF", ServiceKind::raop,
       "001122334455@Kitchen._raop._tcp.local", "aabbccddeeff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string* device_id = c.device_id ? &*c.device_id : nullptr;
    EXPECT_EQ(instance_identity(device_id, c.service, normalize_dns_name(c.target)), c.identity);
  }
}

TEST(InstanceNames, DisplayNameFromTxtOrTheLabel) {
  struct Case {
    const char* title;
    std::optional<std::string> name;
    ServiceKind service;
    std::string target_as_received;
    std::string display_name;
  };
  const Case cases[] = {
      {"TXT name", "Kitchen Speaker", ServiceKind::airplay, "x._airplay._tcp.local",
       "Kitchen Speaker"},
      {"TXT name only of spaces", "   ", ServiceKind::airplay, "x._airplay._tcp.local", "   "},
      {"TXT name of 128 bytes", std::string(128, 'n'), ServiceKind::airplay, "x",
       std::string(128, 'n')},
      {"TXT name of 129 bytes", std::string(129, 'n'), ServiceKind::airplay, "x", "HomePod"},
      {"TXT name with a tab", "Kit\tchen", ServiceKind::airplay, "Kitchen._airplay._tcp.local",
       "HomePod"},
      {"empty TXT name does not fall back to the label", "", ServiceKind::airplay,
       "Kitchen._airplay._tcp.local", "HomePod"},
      {"airplay label keeps its case", std::nullopt, ServiceKind::airplay,
       "Living Room._airplay._tcp.local", "Living Room"},
      {"airplay label keeps an at sign", std::nullopt, ServiceKind::airplay,
       "AABBCCDDEEFF@Kitchen._airplay._tcp.local", "AABBCCDDEEFF@Kitchen"},
      {"a dot inside the label cuts the name", std::nullopt, ServiceKind::airplay,
       "Mr.Speaker._airplay._tcp.local", "Mr"},
      {"raop label gives the part after the at sign", std::nullopt, ServiceKind::raop,
       "AABBCCDDEEFF@Bedroom._raop._tcp.local", "Bedroom"},
      {"raop label ending in the at sign", std::nullopt, ServiceKind::raop,
       "AABBCCDDEEFF@._raop._tcp.local", "HomePod"},
      {"raop label without at sign", std::nullopt, ServiceKind::raop, "Bedroom._raop._tcp.local",
       "Bedroom"},
      {"raop label with two at signs", std::nullopt, ServiceKind::raop,
       "AABBCCDDEEFF@Bed@room._raop._tcp.local", "Bed@room"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string* name = c.name ? &*c.name : nullptr;
    EXPECT_EQ(instance_display_name(name, c.service, c.target_as_received), c.display_name);
  }
}

}  // namespace
}  // namespace kestrune::discovery
