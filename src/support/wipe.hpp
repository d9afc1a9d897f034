#pragma once
// Overwrites secrets with zeros in a way the compiler may not optimise away.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace kestrune::support {

void wipe_bytes(void* data, std::size_t size);

template <class T, std::size_t N>
void wipe(std::array<T, N>& bytes) {
  wipe_bytes(bytes.data(), sizeof(T) * N);
}
template <class T>
void wipe(std::vector<T>& bytes) {
  wipe_bytes(bytes.data(), sizeof(T) * bytes.size());
}
inline void wipe(std::string& text) { wipe_bytes(text.data(), text.size()); }

}  // namespace kestrune::support
