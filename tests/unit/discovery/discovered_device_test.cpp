#include "discovery/discovered_device.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kestrune::discovery {
namespace {

DiscoveredDevice kitchen() {
  return {"dev_" + std::string(64, 'a'),    "Kitchen", "Kitchen Room", "AudioAccessory6,1",
          {"192.168.1.40", "192.168.1.41"}, 7000,      "0x4a7fdfd5"};
}

TEST(DiscoveredDeviceJson, EveryKeyAlwaysPresent) {
  const auto expected = nlohmann::json::parse(R"({
    "id": "dev_aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
    "displayName": "Kitchen", "roomName": "Kitchen Room", "model": "AudioAccessory6,1",
    "addresses": ["192.168.1.40", "192.168.1.41"], "port": 7000, "featuresHex": "0x4a7fdfd5"})");
  EXPECT_EQ(device_to_json(kitchen()), expected);

  DiscoveredDevice without_features = kitchen();
  without_features.featuresHex.reset();
  const nlohmann::json json = device_to_json(without_features);
  ASSERT_TRUE(json.contains("featuresHex"));
  EXPECT_TRUE(json["featuresHex"].is_null());
  EXPECT_EQ(json.size(), 7u);
  // Keys go out in byte order.
  EXPECT_EQ(json.dump().substr(0, 14), R"({"addresses":[)");
}

TEST(ScanResultJson, DevicesInListOrderAndWarnings) {
  DiscoveredDevice second = kitchen();
  second.id = "dev_" + std::string(64, '0');
  const ScanResult result{{kitchen(), second}, {{"discovery_interface_failed", 3}}, true};
  const nlohmann::json json = scan_result_to_json(result);
  EXPECT_EQ(json["complete"], true);
  ASSERT_EQ(json["devices"].size(), 2u);
  EXPECT_EQ(json["devices"][0], device_to_json(kitchen()));
  EXPECT_EQ(json["devices"][1]["id"], second.id);
  EXPECT_EQ(json["warnings"],
            nlohmann::json::parse(R"([{"code": "discovery_interface_failed", "occurrences": 3}])"));
  EXPECT_EQ(scan_result_to_json(ScanResult{}),
            nlohmann::json::parse(R"({"complete": true, "devices": [], "warnings": []})"));
}

TEST(DeviceChanged, AnyFieldCounts) {
  const DiscoveredDevice base = kitchen();
  const PublishedView published = {{base.id, base}};
  EXPECT_FALSE(device_changed(published, base.id, base));
  EXPECT_TRUE(device_changed({}, base.id, base)) << "empty view";
  EXPECT_TRUE(device_changed(published, "dev_other", base)) << "id not published";

  struct Case {
    const char* field;
    std::function<void(DiscoveredDevice&)> change;
  };
  const Case cases[] = {
      {"id", [](DiscoveredDevice& d) { d.id = "dev_" + std::string(64, 'b'); }},
      {"displayName", [](DiscoveredDevice& d) { d.displayName = "Cook"; }},
      {"roomName", [](DiscoveredDevice& d) { d.roomName = "Pantry"; }},
      {"model", [](DiscoveredDevice& d) { d.model = "AudioAccessory5,1"; }},
      {"port", [](DiscoveredDevice& d) { d.port = 7001; }},
      {"address order", [](DiscoveredDevice& d) { std::swap(d.addresses[0], d.addresses[1]); }},
      {"address count", [](DiscoveredDevice& d) { d.addresses.pop_back(); }},
      {"features absent", [](DiscoveredDevice& d) { d.featuresHex.reset(); }},
      {"features text", [](DiscoveredDevice& d) { d.featuresHex = "0x1"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    DiscoveredDevice changed = base;
    c.change(changed);
    // Compared under the published id, so that only the field itself differs.
    EXPECT_TRUE(device_changed(published, base.id, changed));
  }
  DiscoveredDevice no_features = base;
  no_features.featuresHex.reset();
  EXPECT_FALSE(device_changed({{base.id, no_features}}, base.id, no_features))
      << "absent equals absent";
}

TEST(RetainKnownDevices, KeepsOrderAndOnlyKnownIds) {
  std::vector<DiscoveredDevice> devices;
  for (const char* id : {"dev_c", "dev_a", "dev_b", "dev_d"}) {
    DiscoveredDevice device = kitchen();
    device.id = id;
    devices.push_back(device);
  }
  retain_known_devices(devices, {"dev_d", "dev_c", "dev_b", "dev_x"});
  std::vector<std::string> ids;
  for (const DiscoveredDevice& device : devices) ids.push_back(device.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"dev_c", "dev_b", "dev_d"}));
  retain_known_devices(devices, {});
  EXPECT_TRUE(devices.empty());
}

}  // namespace
}  // namespace kestrune::discovery
