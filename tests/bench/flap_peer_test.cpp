#include "FlapPeer.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <vector>

namespace kez::bench {
namespace {

using namespace std::string_literals;
using FlapPeer = reposa::test::QueuingPeer;

// A driver's peer and the server end of its connection.
class PeerPair {
 public:
  PeerPair() : peer(std::make_unique<FlapPeer>(server_.port())) { server_.Accept(); }
  void ServerCloses() { server_.Close(); }
  void ServerSends(std::string_view bytes) { ASSERT_TRUE(server_.SendRaw(bytes)); }
  // What the peer sent, once `size` bytes are in (a few seconds at most).
  std::string ServerReads(std::size_t size) { return server_.Read(size).value_or("<too short>"); }
  // Frames the peer cuts from what has arrived, waiting briefly for bytes.
  std::vector<std::pair<int, std::string>> PeerFrames() {
    pollfd p{peer->fd(), POLLIN, 0};
    ::poll(&p, 1, 1000);
    peer->Receive();
    std::vector<std::pair<int, std::string>> frames;
    while (auto f = peer->Next()) frames.emplace_back(f->type, std::string(f->payload));
    return frames;
  }

  reposa::test::FlapPeer server_;  // listening until it accepts the peer
  std::unique_ptr<FlapPeer> peer;
};

TEST(FlapPeer, CutsFramesWhereverTheStreamIsSplit) {
  const std::string stream =
      "*\x01\x00\x00\x00\x04"
      "\x00\x00\x00\x01"s
      "*\x02\x00\x01\x00\x0f"
      "SIGN_ON:TOC2.0\x00"s
      "*\x05\x00\x02\x00\x00"s
      "*\x02\x00\x03\x00\x13"
      "CONFIG2:m:1\ndone:\n\x00"s;
  const std::vector<std::pair<int, std::string>> expected = {
      {1, "\x00\x00\x00\x01"s},  // the sign-on frame keeps its bytes
      {2, "SIGN_ON:TOC2.0"},     // data frames lose their closing NUL
      {5, ""},
      {2, "CONFIG2:m:1\ndone:\n"},
  };
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    PeerPair pair;
    std::vector<std::pair<int, std::string>> got;
    if (split > 0) {
      pair.ServerSends(stream.substr(0, split));
      for (auto& f : pair.PeerFrames()) got.push_back(f);
    }
    pair.ServerSends(stream.substr(split));
    for (auto& f : pair.PeerFrames()) got.push_back(f);
    EXPECT_EQ(got, expected) << "split at " << split;
  }
}

TEST(FlapPeer, SendsTheOpeningSignOnAndLinesAsTheControlDoes) {
  PeerPair pair;
  pair.peer->SendOpening();
  pair.peer->SendSignOn("Bench 0001", "secret");
  pair.peer->SendLine("toc_init_done");
  const std::string login =
      "toc2_login login.toc.localhost 5190 bench0001 0x270c005d311b"
      " English  \"KezTOCSock 2.0\" 160 US \"\" \"\" 3 0 30303 -kentucky -utf8 58203917";
  const std::string expected =
      "FLAPON\n\n"
      "*\x01\x00\x00\x00\x11"
      "\x00\x00\x00\x01\x00\x01\x00\x09"
      "bench0001"s +
      "*\x02\x00\x01\x00"s + static_cast<char>(login.size() + 1) + login + '\0' +
      "*\x02\x00\x02\x00\x0e"
      "toc_init_done\x00"s;
  EXPECT_EQ(pair.ServerReads(expected.size()), expected);
}

TEST(FlapPeer, KeepsFramesThatCameBeforeTheServerClosed) {
  PeerPair pair;
  pair.ServerSends("*\x05\x00\x00\x00\x00"s);
  pair.ServerCloses();
  EXPECT_EQ(pair.PeerFrames(), (std::vector<std::pair<int, std::string>>{{5, ""}}));
  EXPECT_FALSE(pair.peer->Receive());
  EXPECT_TRUE(pair.peer->closed());
}

}  // namespace
}  // namespace kez::bench
