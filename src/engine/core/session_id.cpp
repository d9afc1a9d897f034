#include "engine/core/session_id.hpp"

#include "platform/os_random.hpp"

namespace kestrune::engine {

support::Result<SessionId> make_session_id() {
  SessionId id{};
  if (auto filled = platform::fill_os_random(id); !filled) {
    return support::fail_with_context(std::move(filled), "make session id");
  }
  id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40);
  id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
  return id;
}

std::string session_id_text(const SessionId& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[id[i] >> 4]);
    text.push_back(kDigits[id[i] & 0x0F]);
  }
  return text;
}

}  // namespace kestrune::engine
