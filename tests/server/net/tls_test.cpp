// reposa-server over TLS as a process, against real handshakes: a reload of
// the certificate under load drops no session, a client that comes back
// resumes its session (across a reload too), a burst larger than one read
// arrives whole, and handshakes count as signing on: against the per-address
// cap, and ended by the deadline.

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FlapPeer.h"
#include "ServerProcess.h"
#include "TlsServerFiles.h"

namespace reposa::server {
namespace {

using namespace reposa::test;

std::unique_ptr<FlapPeer> TlsPeer(ServerProcess& server, const SslContext& ctx,
                                  SSL_SESSION* resume = nullptr) {
  auto peer = std::make_unique<FlapPeer>(server.tlsPort());
  peer->StartTls(ctx, "localhost", resume);
  return peer;
}

// Signed on and counted online: the server answers the own status query
// only after toc_init_done.
bool SignedOn(FlapPeer& peer, const std::string& name) {
  return peer.SignOn(name) && peer.SendLine("toc_get_status " + name) &&
         !peer.Expect("UPDATE_BUDDY2:").empty();
}

long Serial(FlapPeer& peer) {
  return ASN1_INTEGER_get(X509_get0_serialNumber(SSL_get0_peer_certificate(peer.tls()->ssl())));
}

// Waits for the `n`th time the log says `text`.
bool Logged(ServerProcess& server, std::string_view text, int n) {
  std::size_t at = 0;
  for (int i = 0; i < n && at != std::string::npos; ++i) at = server.WaitErr(text, at);
  return at != std::string::npos;
}

TEST(TlsServer, ACertificateReloadUnderLoadDropsNoSession) {
  TlsServerFiles files;
  ServerProcess server(files.Options());
  ASSERT_NE(server.tlsPort(), 0) << server.err();
  const SslContext ctx = ClientContext(files.caFile());
  std::vector<std::unique_ptr<FlapPeer>> peers;
  for (int i = 0; i < 12; ++i) {
    peers.push_back(TlsPeer(server, ctx));
    ASSERT_TRUE(SignedOn(*peers.back(), "tls" + std::to_string(i))) << server.err();
  }
  peers.push_back(std::make_unique<FlapPeer>(server.port()));
  ASSERT_TRUE(SignedOn(*peers.back(), "plain"));
  const auto name = [&](std::size_t i) {
    return i + 1 == peers.size() ? std::string("plain") : "tls" + std::to_string(i);
  };
  // Everyone writes to the next one round the ring, and each message arrives.
  const auto round = [&] {
    for (std::size_t i = 0; i < peers.size(); ++i)
      peers[i]->SendLine("toc_send_im " + name((i + 1) % peers.size()) + " \"round\"");
    for (auto& p : peers)
      if (p->Expect("IM_IN_ENC2:").empty()) return false;
    return true;
  };
  ASSERT_TRUE(round());
  const long first = Serial(*peers[0]);

  // A new pair: the talk goes on while the server reads it.
  files.certs.Issue("server");
  server.Signal(SIGHUP);
  do ASSERT_TRUE(round());
  while (server.err().find("new connections use them") == std::string::npos && server.Running());
  auto fresh = TlsPeer(server, ctx);
  ASSERT_TRUE(SignedOn(*fresh, "fresh")) << server.err();
  const long second = Serial(*fresh);
  EXPECT_NE(second, first);

  // A file it cannot use: said, and the pair in use stays.
  std::ofstream(files.pair.cert) << "not a certificate\n";
  server.Signal(SIGHUP);
  ASSERT_TRUE(Logged(server, "new connections keep the certificate and key in use", 1))
      << server.err();
  EXPECT_NE(server.err().find("cannot use " + files.pair.cert + " as the TLS certificate"),
            std::string::npos);
  auto kept = TlsPeer(server, ctx);
  ASSERT_TRUE(SignedOn(*kept, "kept"));
  EXPECT_EQ(Serial(*kept), second);
  EXPECT_TRUE(round());
  EXPECT_EQ(server.err().find("closed"), std::string::npos) << server.err();
}

TEST(TlsServer, AClientComingBackResumesItsSessionAcrossAReload) {
  TlsServerFiles files;
  ServerProcess server(files.Options());
  const SslContext ctx = ClientContext(files.caFile());
  auto first = TlsPeer(server, ctx);
  ASSERT_TRUE(SignedOn(*first, "ann"));  // reading took the session ticket in
  EXPECT_FALSE(SSL_session_reused(first->tls()->ssl()));
  SSL_SESSION* session = SSL_get1_session(first->tls()->ssl());
  ASSERT_NE(session, nullptr);
  for (const bool reload : {false, true}) {
    SCOPED_TRACE(reload ? "after a reload" : "before a reload");
    if (reload) {
      server.Signal(SIGHUP);
      ASSERT_TRUE(Logged(server, "new connections use them", 1)) << server.err();
    }
    auto again = TlsPeer(server, ctx, session);
    ASSERT_TRUE(SignedOn(*again, reload ? "cy" : "bob")) << server.err();
    EXPECT_TRUE(SSL_session_reused(again->tls()->ssl()));
  }
  SSL_SESSION_free(session);
}

// More records in one write than a turn's read opens: the records cut at the
// read's end wait in no one's buffer unseen, and every message comes back,
// in order, each sealed whole.
TEST(TlsServer, ABurstLargerThanATurnsReadArrivesWhole) {
  TlsServerFiles files;
  ServerProcess server(files.Options());
  auto peer = TlsPeer(server, ClientContext(files.caFile()));
  ASSERT_TRUE(SignedOn(*peer, "burst")) << server.err();
  constexpr int kMessages = 8;  // 8 x 7,000 bytes: more than 48 KiB, within the IM burst
  for (int i = 0; i < kMessages; ++i)
    peer->QueueLine("toc_send_im burst \"" + std::to_string(i) + std::string(7000, 'x') + "\"");
  peer->Flush();
  for (int i = 0; i < kMessages; ++i) {
    const std::string im = peer->Expect("IM_IN_ENC2:");
    ASSERT_NE(im.find(":" + std::to_string(i) + "xxx"), std::string::npos) << i << server.err();
  }
}

// A client that stops half-way through its hello is one more slow client:
// it counts against the signing-on caps and is closed at the deadline.
TEST(TlsServer, HandshakesCountAsSigningOnAndEndAtTheDeadline) {
  TlsServerFiles files;
  std::vector<std::string> options = files.Options();
  options.insert(options.end(), {"--sign-on-timeout", "1", "--max-signing-on-per-address", "2"});
  ServerProcess server(options);
  const SslContext ctx = ClientContext(files.caFile());
  std::string hello;
  TlsWire::Client(ctx, "localhost")->Start(hello);
  const std::string half = hello.substr(0, hello.size() / 2);

  FlapPeer a(server.tlsPort()), b(server.tlsPort());
  ASSERT_TRUE(a.SendRaw(half) && b.SendRaw(half));
  FlapPeer third(server.tlsPort());
  EXPECT_TRUE(third.WaitClosed(5s));
  EXPECT_NE(server.WaitErr("refused a connection: too many"), std::string::npos) << server.err();
  const auto start = Clock::now();
  EXPECT_TRUE(a.WaitClosed(5s) && b.WaitClosed(5s));
  EXPECT_TRUE(Logged(server, "sign-on timed out", 2)) << server.err();
  EXPECT_LT(Clock::now() - start, 3s);

  auto late = TlsPeer(server, ctx);
  EXPECT_TRUE(SignedOn(*late, "late")) << server.err();
}

}  // namespace
}  // namespace reposa::server
