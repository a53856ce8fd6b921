#include "kez/host/Address.h"

#include <algorithm>
#include <charconv>

namespace kez::host {

namespace {

constexpr std::string_view kTlsScheme = "tls://";

std::string PortRange(const AddressRules& rules) {
  return std::string("the port must be a number from ") + (rules.anyPort ? "0" : "1") + " to 65535";
}

std::int32_t ParsePort(std::string_view text, const AddressRules& rules) {
  const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
  std::int32_t port = -1;
  if (digits) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc{} || end != text.data() + text.size()) port = -1;
  }
  if (port < (rules.anyPort ? 0 : 1) || port > 65535) throw AddressError(PortRange(rules));
  return port;
}

// Cuts off the scheme; only tls:// is known.
std::string_view TakeScheme(std::string_view text, const AddressRules& rules, bool& tls) {
  const std::size_t mark = text.find("://");
  if (mark == std::string_view::npos) return text;
  if (text.substr(0, mark + 3) != kTlsScheme)
    throw AddressError("unknown scheme \"" + std::string(text.substr(0, mark + 3)) +
                       "\" (only tls:// is known)");
  if (!rules.tls) throw AddressError(std::string(kNoTls));
  tls = true;
  return text.substr(kTlsScheme.size());
}

// Splits into host and port text; `port` stays empty when none is written.
void Split(std::string_view text, std::string_view& host, std::string_view& port, bool& hasPort) {
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) throw AddressError("missing ']'");
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return;
    if (!rest.starts_with(':')) throw AddressError("unexpected text after ']'");
    port = rest.substr(1);
    hasPort = true;
    return;
  }
  host = text;
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    hasPort = true;
  }
}

}  // namespace

Address ParseAddress(std::string_view text, const AddressRules& rules) {
  if (text.empty()) throw AddressError("the address is empty");
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
    throw AddressError("spaces and control characters do not belong in an address");
  Address address;
  text = TakeScheme(text, rules, address.tls);
  std::string_view host;
  std::string_view port;
  bool hasPort = false;
  Split(text, host, port, hasPort);
  if (host.empty()) throw AddressError("the host is empty");
  if (host.find_first_of("[]") != std::string_view::npos)
    throw AddressError("a bracket out of place");
  if (!hasPort && rules.defaultPort == 0) {
    if (!text.starts_with('[') && host.find(':') != std::string_view::npos)
      throw AddressError("an IPv6 address needs brackets before a port");
    throw AddressError("no port given");
  }
  address.host = std::string(host);
  const std::int32_t defaultPort =
      address.tls && rules.defaultTlsPort != 0 ? rules.defaultTlsPort : rules.defaultPort;
  address.port = hasPort ? ParsePort(port, rules) : defaultPort;
  return address;
}

}  // namespace kez::host
