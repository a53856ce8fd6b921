#include "service/source_network.h"

#include <arpa/inet.h>

#include <cstring>

namespace reposa::server {

namespace {

std::string Ipv4Network(const unsigned char* a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + ".0/24";
}

}  // namespace

std::string NetworkOf(std::string_view address) {
  // A scope ("fe80::1%eth0") names an interface, not a network of its own.
  const std::string text(address.substr(0, address.find('%')));
  unsigned char bytes[16] = {};
  if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) return Ipv4Network(bytes);
  if (::inet_pton(AF_INET6, text.c_str(), bytes) != 1) return std::string(address);
  static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) return Ipv4Network(bytes + 12);
  std::memset(bytes + 8, 0, 8);
  char out[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET6, bytes, out, sizeof out);
  return std::string(out) + "/64";
}

}  // namespace reposa::server
