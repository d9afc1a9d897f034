#include "tests/support/test_paths.hpp"

namespace kestrune::testing {

std::string kestrune_binary_path() { return KESTRUNE_BINARY_PATH; }

}  // namespace kestrune::testing
