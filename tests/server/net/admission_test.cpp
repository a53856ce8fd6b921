#include "net/admission.h"

#include <gtest/gtest.h>

#include <string>

#include "service/source_network.h"

namespace reposa::server::test {
namespace {

TEST(NetworkOf, ASlash24OfIpv4AndASlash64OfIpv6) {
  const struct {
    const char* address;
    const char* network;
  } rows[] = {
      {"192.0.2.7", "192.0.2.0/24"},
      {"192.0.2.255", "192.0.2.0/24"},
      {"::ffff:192.0.2.7", "192.0.2.0/24"},
      {"2001:db8:0:1::5", "2001:db8:0:1::/64"},
      {"2001:db8:0:1:ffff:ffff:ffff:ffff", "2001:db8:0:1::/64"},
      {"fe80::1%eth0", "fe80::/64"},
      {"?", "?"},
  };
  for (const auto& r : rows) EXPECT_EQ(NetworkOf(r.address), r.network) << r.address;
}

// Connections and signing-on slots are capped per network as per address;
// a slot held past its connection counts until it is let go.
TEST(Admission, NetworksHaveCapsOfTheirOwnAndHeldSlotsCount) {
  Limits limits;
  limits.maxSigningOn = 10;
  limits.maxSigningOnPerAddress = 2;
  limits.maxSigningOnPerNetwork = 4;
  limits.maxPerNetwork = 6;
  Admission a(limits);
  std::size_t connections = 0;
  auto admit = [&](const std::string& address) {
    const char* refused = a.Admit(address, connections);
    if (!refused) ++connections;
    return refused ? std::string(refused) : std::string();
  };
  for (const char* address : {"192.0.2.1", "192.0.2.1", "192.0.2.2", "192.0.2.2"})
    ASSERT_EQ(admit(address), "") << address;
  EXPECT_EQ(admit("192.0.2.3"), "connections signing on from its network");
  EXPECT_EQ(admit("198.51.100.1"), "") << "the pool keeps room for other networks";
  // One leaves while its password is checked: its slot is held till then.
  a.Gone("192.0.2.2", false);
  --connections;
  EXPECT_EQ(admit("192.0.2.3"), "connections signing on from its network");
  a.SignedOn("192.0.2.2");  // the check is done
  EXPECT_EQ(admit("192.0.2.3"), "");
  a.SignedOn("192.0.2.1");
  a.SignedOn("192.0.2.1");
  EXPECT_EQ(admit("192.0.2.4"), "");
  EXPECT_EQ(admit("192.0.2.4"), "");
  EXPECT_EQ(admit("192.0.2.5"), "connections from its network");
  EXPECT_EQ(a.signingOn(), 5u);
}

}  // namespace
}  // namespace reposa::server::test
