#pragma once
// Where the test binaries find what the build made.

#include <string>

namespace kestrune::testing {

// The kestrune binary of this build tree.
std::string kestrune_binary_path();

}  // namespace kestrune::testing
