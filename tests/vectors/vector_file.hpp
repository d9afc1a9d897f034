#pragma once
// Reads the vector files that gen_vectors.py writes beside this header: "# comment" lines and
// "name = hexadecimal bytes" lines. A test binary that reads them defines KESTRUNE_VECTORS_DIR.

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune::testing {

class VectorFile {
 public:
  // Throws (and so fails the test) when the file is missing or a line is malformed.
  static VectorFile load(const std::string& name) {
#ifndef KESTRUNE_VECTORS_DIR
#error "KESTRUNE_VECTORS_DIR must name tests/vectors"
#endif
    const std::string path = std::string(KESTRUNE_VECTORS_DIR) + "/" + name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    VectorFile file;
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      const auto equals = line.find(" = ");
      if (equals == std::string::npos) throw std::runtime_error("bad vector line: " + line);
      file.entries_[line.substr(0, equals)] = from_hex(line.substr(equals + 3));
    }
    return file;
  }

  const std::vector<std::uint8_t>& bytes(const std::string& key) const {
    const auto found = entries_.find(key);
    if (found == entries_.end()) throw std::runtime_error("no vector named " + key);
    return found->second;
  }

  static std::vector<std::uint8_t> from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) throw std::runtime_error("odd hex length");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
  }

 private:
  std::map<std::string, std::vector<std::uint8_t>> entries_;
};

}  // namespace kestrune::testing
