#pragma once

// The network a client address belongs to: a /24 of IPv4, a /64 of IPv6.
// Caps and rates that count per address also count per network, since one
// machine often holds a whole block of addresses.

#include <string>
#include <string_view>

namespace reposa::server {

// "192.0.2.0/24" for "192.0.2.7" (an IPv4-mapped IPv6 address counts as its
// IPv4 address), "2001:db8:0:1::/64" for "2001:db8:0:1::5"; anything that is
// not a numeric address is its own network.
std::string NetworkOf(std::string_view address);

// Where a connection comes from.
struct Source {
  std::string address;
  std::string network;
  static Source Of(std::string_view address) {
    return Source{std::string(address), NetworkOf(address)};
  }
};

}  // namespace reposa::server
