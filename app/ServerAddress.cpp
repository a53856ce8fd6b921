#include "ServerAddress.h"

#include <charconv>

namespace {

std::optional<int32_t> ParsePort(std::string_view text) {
  int32_t port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return {};
  if (text.front() == '+' || text.front() == '-' || port < 1 || port > 65535) return {};
  return port;
}

}  // namespace

std::optional<ServerAddress> ParseServerAddress(std::string_view text) {
  ServerAddress address;
  std::string_view host = text;
  std::string_view port;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return {};
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return {};
      port = rest.substr(1);
      if (port.empty()) return {};
    }
  } else if (const std::size_t colon = text.rfind(':');
             colon != std::string_view::npos && text.find(':') == colon) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return {};
  }
  if (host.empty()) return {};
  address.host = std::string(host);
  if (!port.empty()) {
    const auto number = ParsePort(port);
    if (!number) return {};
    address.port = *number;
  }
  return address;
}
