#pragma once
// A standard mDNS responder on the test network: avahi-daemon run by tests/services/avahi.sh in
// the receiver namespace of tests/services/netns.sh, publishing receivers as static services
// (the "_airplay._tcp" service, and "_raop._tcp" beside it when it has a TXT) on static host
// names. The daemon and its directory belong to this object: it is started by the constructor
// and stopped, its directory removed, by the destructor.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kestrune::testing {

struct AvahiReceiver {
  std::string name = "Kitchen";  // the instance label of both services
  std::string device_id = "AA:BB:CC:DD:EE:FF";
  std::vector<std::string> airplay_txt = {"deviceid=AA:BB:CC:DD:EE:FF", "model=AudioAccessory5,1",
                                          "features=0x445F8A00"};
  std::vector<std::string> raop_txt = {"am=AudioAccessory5,1", "tp=UDP"};  // empty: no raop
  std::string host = "kitchen-pod.local";
  std::uint16_t port = 7000;
};

// Host name to IPv4 address (dotted decimal).
using AvahiHosts = std::map<std::string, std::string>;

class AvahiResponder {
 public:
  // Starts the daemon with these receivers and host names and waits until it has established
  // them all; throws std::runtime_error when it cannot.
  AvahiResponder(std::vector<AvahiReceiver> receivers, AvahiHosts hosts);
  ~AvahiResponder();
  AvahiResponder(const AvahiResponder&) = delete;
  AvahiResponder& operator=(const AvahiResponder&) = delete;

  // Publishes these instead and makes the daemon read them; the change reaches the network once
  // the daemon has probed and announced it.
  void publish(std::vector<AvahiReceiver> receivers, AvahiHosts hosts);

  // How many services and host names the daemon has established so far (again after each
  // change), and a bounded wait until it has established at least `count`.
  std::size_t established() const;
  bool wait_established(std::size_t count, std::chrono::milliseconds limit) const;

  // The daemon's log so far, for failure messages.
  std::string log() const;

 private:
  void write_files(const std::vector<AvahiReceiver>& receivers, const AvahiHosts& hosts) const;
  void run_script(const std::string& action) const;

  std::string directory_;
};

}  // namespace kestrune::testing
