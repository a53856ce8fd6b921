#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kez::host {

// The local server's address: where reposa-server listens by default, and
// where the window and the console sign on unless told otherwise.
inline constexpr std::string_view kLocalServerHost = "127.0.0.1";
inline constexpr std::int32_t kLocalServerPort = 5190;
// The port a tls:// server address without one gets: TLS has a port of its
// own beside the plain one.
inline constexpr std::int32_t kTlsServerPort = 5191;

// What a tls:// address gets from a program built without TLS.
inline constexpr std::string_view kNoTls = "TLS is not available in this build";

// A server to connect to, or an address to listen on.
struct Address {
  std::string host;  // a name or an IP address, without brackets
  std::int32_t port = 0;
  bool tls = false;  // written with the tls:// scheme
  bool operator==(const Address&) const = default;
};

// The local server's address as an Address: the hosts' default server.
inline Address LocalServer() {
  return Address{std::string(kLocalServerHost), kLocalServerPort};
}

// What one program's option takes beyond the common form.
struct AddressRules {
  // The port when none is written; 0 means a port must be written.
  std::int32_t defaultPort = 0;
  // The same for a tls:// address; 0: defaultPort.
  std::int32_t defaultTlsPort = 0;
  // Port 0, "any free port", is taken: an address to listen on.
  bool anyPort = false;
  // tls:// is taken; without it such an address is refused with kNoTls.
  bool tls = false;
};

// An address that cannot be used; what() says why in a few words and never
// quotes more than the scheme, so it reads well after an option's name.
struct AddressError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// [tls://]HOST[:PORT] or [tls://][IPV6][:PORT]. A bare IPv6 address (more
// than one colon, no brackets) is a host alone, so a port after one needs
// brackets. The port is decimal digits only. Spaces, control characters and
// stray brackets are refused rather than handed to a name lookup. Throws
// AddressError.
Address ParseAddress(std::string_view text, const AddressRules& rules);

}  // namespace kez::host
