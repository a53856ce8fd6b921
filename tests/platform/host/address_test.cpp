#include "kez/host/Address.h"

#include <gtest/gtest.h>

namespace kez::host {
namespace {

// The three kinds of option: a server to sign on at (the window's and the
// console's --server), the same where TLS is built, and an address to listen
// on (the server's --listen).
constexpr AddressRules kServer{.defaultPort = kLocalServerPort};
constexpr AddressRules kServerTls{
    .defaultPort = kLocalServerPort, .defaultTlsPort = kTlsServerPort, .tls = true};
constexpr AddressRules kListen{.anyPort = true};

// Each row: the text, the rules, then the address it gives, or the start of
// the refusal.
TEST(Address, OneRuleForEveryHost) {
  const struct {
    const char* text;
    AddressRules rules;
    Address address;
    const char* error;  // nullptr: taken
  } rows[] = {
      {"127.0.0.1:5190", kListen, LocalServer(), nullptr},  // the clients' default
      {"toc.example", kServer, {"toc.example", 5190}, nullptr},
      {"127.0.0.2:9898", kServer, {"127.0.0.2", 9898}, nullptr},
      {"h:1", kServer, {"h", 1}, nullptr},
      {"h:65535", kServer, {"h", 65535}, nullptr},
      {"localhost:05190", kListen, {"localhost", 5190}, nullptr},
      {"0.0.0.0:6000", kListen, {"0.0.0.0", 6000}, nullptr},
      {"h:0", kListen, {"h", 0}, nullptr},
      {"::1", kServer, {"::1", 5190}, nullptr},  // a bare IPv6 address is a host alone
      {"[::1]", kServer, {"::1", 5190}, nullptr},
      {"[::1]:7000", kServer, {"::1", 7000}, nullptr},
      {"[::1]:0", kListen, {"::1", 0}, nullptr},
      {"tls://chat.example", kServerTls, {"chat.example", 5191, true}, nullptr},  // TLS's own port
      {"chat.example", kServerTls, {"chat.example", 5190}, nullptr},
      {"tls://chat.example:5190", kServerTls, {"chat.example", 5190, true}, nullptr},
      {"tls://[::1]:5191", kServerTls, {"::1", 5191, true}, nullptr},
      {"", kServer, {}, "the address is empty"},
      {":5190", kServer, {}, "the host is empty"},
      {":5190", kListen, {}, "the host is empty"},
      {"[]:80", kServer, {}, "the host is empty"},
      {"tls://", kServerTls, {}, "the host is empty"},
      {"h:", kServer, {}, "the port must be a number from 1 to 65535"},
      {"[::1]:", kServer, {}, "the port must be a number from 1 to 65535"},
      {"h:0", kServer, {}, "the port must be a number from 1 to 65535"},
      {"h:65536", kServer, {}, "the port must be a number from 1 to 65535"},
      {"h:65536", kListen, {}, "the port must be a number from 0 to 65535"},
      {"h:99999999999", kServer, {}, "the port must be"},
      {"h:http", kServer, {}, "the port must be"},
      {"h:+80", kServer, {}, "the port must be"},
      {"h:-1", kListen, {}, "the port must be"},
      {"h:80x", kServer, {}, "the port must be"},
      {"[::1:80", kServer, {}, "missing ']'"},
      {"[::1]x80", kServer, {}, "unexpected text after ']'"},
      {"a]b:80", kServer, {}, "a bracket out of place"},
      {"[a[b]:80", kServer, {}, "a bracket out of place"},
      {"5190", kListen, {}, "no port given"},
      {"[::1]", kListen, {}, "no port given"},
      {"::1:5190", kListen, {}, "an IPv6 address needs brackets before a port"},
      {" h:80", kServer, {}, "spaces and control characters do not belong"},
      {"h :80", kServer, {}, "spaces and control characters do not belong"},
      {"h:80\n", kListen, {}, "spaces and control characters do not belong"},
      {"tls://chat.example", kServer, {}, "TLS is not available in this build"},
      {"tls://chat.example:5191", kListen, {}, "TLS is not available in this build"},
      {"http://chat.example", kServerTls, {}, "unknown scheme \"http://\""},
      {"TLS://chat.example", kServerTls, {}, "unknown scheme \"TLS://\""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    try {
      const Address address = ParseAddress(row.text, row.rules);
      ASSERT_EQ(row.error, nullptr) << "taken as " << address.host << " " << address.port;
      EXPECT_EQ(address, row.address);
    } catch (const AddressError& e) {
      ASSERT_NE(row.error, nullptr) << e.what();
      EXPECT_TRUE(std::string_view(e.what()).starts_with(row.error)) << e.what();
    }
  }
}

}  // namespace
}  // namespace kez::host
