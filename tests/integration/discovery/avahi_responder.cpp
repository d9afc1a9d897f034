#include "tests/integration/discovery/avahi_responder.hpp"
#include "tests/support/wait_until.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

// XML text: the five characters that must be escaped.
std::string xml_text(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void write_service(std::ostream& out, const std::string& type, const AvahiReceiver& receiver,
                   const std::vector<std::string>& txt) {
  out << "  <service>\n    <type>" << type << "</type>\n    <port>" << receiver.port
      << "</port>\n    <host-name>" << xml_text(receiver.host) << "</host-name>\n";
  for (const std::string& entry : txt) {
    out << "    <txt-record>" << xml_text(entry) << "</txt-record>\n";
  }
  out << "  </service>\n";
}

// The raop instance label: the device id without separators, an at sign and the name.
std::string raop_name(const AvahiReceiver& receiver) {
  std::string label;
  for (const char c : receiver.device_id) {
    if (c != ':') label += c;
  }
  return label + "@" + receiver.name;
}

}  // namespace

AvahiResponder::AvahiResponder(std::vector<AvahiReceiver> receivers, AvahiHosts hosts) {
  std::string pattern = (fs::temp_directory_path() / "kestrune-avahi-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  write_files(receivers, hosts);
  try {
    run_script("start");
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
    throw;
  }
}

AvahiResponder::~AvahiResponder() {
  try {
    run_script("stop");
  } catch (...) {
  }
  std::error_code ignored;
  fs::remove_all(directory_, ignored);
}

void AvahiResponder::publish(std::vector<AvahiReceiver> receivers, AvahiHosts hosts) {
  write_files(receivers, hosts);
  run_script("reload");
}

std::string AvahiResponder::log() const {
  std::ifstream in(fs::path(directory_) / "log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t AvahiResponder::established() const {
  std::istringstream lines(log());
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("successfully established") != std::string::npos) ++count;
  }
  return count;
}

bool AvahiResponder::wait_established(std::size_t count, std::chrono::milliseconds limit) const {
  return wait_until([&] { return established() >= count; }, limit);
}

void AvahiResponder::write_files(const std::vector<AvahiReceiver>& receivers,
                                 const AvahiHosts& hosts) const {
  const fs::path services = fs::path(directory_) / "services";
  fs::create_directories(services);
  for (const auto& old : fs::directory_iterator(services)) fs::remove(old.path());
  int index = 0;
  for (const AvahiReceiver& receiver : receivers) {
    // Each service in a group of its own, so that the instance names are the ones given here.
    std::ofstream airplay(services / ("receiver-" + std::to_string(index) + "-airplay.service"));
    airplay << "<?xml version=\"1.0\" standalone='no'?>\n<service-group>\n  <name>"
            << xml_text(receiver.name) << "</name>\n";
    write_service(airplay, "_airplay._tcp", receiver, receiver.airplay_txt);
    airplay << "</service-group>\n";
    if (!receiver.raop_txt.empty()) {
      std::ofstream raop(services / ("receiver-" + std::to_string(index) + "-raop.service"));
      raop << "<?xml version=\"1.0\" standalone='no'?>\n<service-group>\n  <name>"
           << xml_text(raop_name(receiver)) << "</name>\n";
      write_service(raop, "_raop._tcp", receiver, receiver.raop_txt);
      raop << "</service-group>\n";
    }
    ++index;
  }
  std::ofstream host_file(fs::path(directory_) / "hosts");
  for (const auto& [host, address] : hosts) host_file << address << " " << host << "\n";
}

void AvahiResponder::run_script(const std::string& action) const {
  const std::string command =
      std::string("'") + KESTRUNE_AVAHI_SCRIPT + "' " + action + " '" + directory_ + "'";
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("avahi.sh " + action + " failed:\n" + log());
  }
}

}  // namespace kestrune::testing
