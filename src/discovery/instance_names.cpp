#include "discovery/instance_names.hpp"

#include "discovery/device_identity.hpp"
#include "discovery/device_view.hpp"
#include "discovery/txt_text.hpp"

namespace kestrune::discovery {
namespace {

std::string_view before_first(std::string_view text, char separator) {
  return text.substr(0, text.find(separator));
}

std::string_view after_first(std::string_view text, char separator) {
  const std::size_t at = text.find(separator);
  return at == std::string_view::npos ? text : text.substr(at + 1);
}

}  // namespace

std::optional<std::string> instance_identity(const std::string* txt_device_id, ServiceKind service,
                                             std::string_view normalised_target) {
  if (txt_device_id != nullptr) {
    if (auto identity = normalize_device_id(*txt_device_id)) return identity;
  }
  if (service != ServiceKind::raop) return std::nullopt;
  return normalize_device_id(before_first(before_first(normalised_target, '.'), '@'));
}

std::string instance_display_name(const std::string* txt_name, ServiceKind service,
                                  std::string_view target_as_received) {
  std::string_view chosen;
  if (txt_name != nullptr) {
    chosen = *txt_name;
  } else {
    chosen = before_first(target_as_received, '.');
    if (service == ServiceKind::raop) chosen = after_first(chosen, '@');
  }
  return sanitize_txt_text(chosen, kMaxNameBytes).value_or(std::string(kFallbackDisplayName));
}

}  // namespace kestrune::discovery
