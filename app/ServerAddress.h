#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The TOC server the window signs on at: the local server's default address,
// so the window works out of the box with reposa-server.
inline constexpr std::string_view kTOCServerHost = "127.0.0.1";
inline constexpr int32_t kTOCServerPort = 5190;

struct ServerAddress {
  std::string host{kTOCServerHost};
  int32_t port = kTOCServerPort;
  bool operator==(const ServerAddress&) const = default;
};

// "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT"; a bare IPv6 address is a host
// alone. Nothing for an empty host or a port that is not 1 to 65535.
std::optional<ServerAddress> ParseServerAddress(std::string_view text);
