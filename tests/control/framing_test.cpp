#include <gtest/gtest.h>

#include "Core.h"

namespace kez::test {
namespace {

std::string Bytes(std::initializer_list<int> codes) {
  std::string out;
  for (int c : codes) out.push_back(static_cast<char>(c));
  return out;
}

TEST(SendPacket, FramesPayloadWithHeaderAndDataNul) {
  const struct {
    int16_t type;
    std::string payload;
    std::string wire;
  } rows[] = {
      {2, "", Bytes({42, 2, 0, 0, 0, 1, 0})},
      {5, "", Bytes({42, 5, 0, 0, 0, 0})},
      {1, "ab", Bytes({42, 1, 0, 0, 0, 2, 'a', 'b'})},
      {2, "x", Bytes({42, 2, 0, 0, 0, 2, 'x', 0})},
      {0, "", Bytes({42, 0, 0, 0, 0, 0})},
      {255, "\xff", Bytes({42, 255, 0, 0, 0, 1, 255})},
  };
  for (const auto& row : rows) {
    Core s;
    s.Connect();
    s.control->SendPacket(row.type, row.payload);
    EXPECT_EQ(s.TakeSent(), row.wire) << "type " << row.type;
    EXPECT_EQ(s.NextSequence(), 1);
  }
}

TEST(SendPacket, SequenceNumbersCountAndWrapAfter65535) {
  Core s;
  s.Connect();
  s.control->SendPacket(5, "");
  s.control->SendPacket(5, "");
  EXPECT_EQ(s.TakeSent(), Frame(5, "", 0) + Frame(5, "", 1));
  for (int i = 2; i < 65535; ++i) s.control->SendPacket(5, "");
  s.TakeSent();
  s.control->SendPacket(5, "");
  s.control->SendPacket(5, "");
  EXPECT_EQ(s.TakeSent(), Frame(5, "", 65535) + Frame(5, "", 0));
}

TEST(SendPacket, NothingWhileNotConnectedAndSequenceUnchanged) {
  Core s;
  s.control->SendPacket(2, "toc_init_done");  // never connected
  s.control->Login("a", "b", "h", 1);         // connecting
  s.control->SendPacket(2, "toc_init_done");
  EXPECT_EQ(s.sent, "");
  EXPECT_EQ(s.NextSequence(), 0);
}

TEST(SendPacket, UnencodableTypeSendsNothingButSpendsANumber) {
  Core s;
  s.Connect();
  for (int16_t type : {int16_t{256}, int16_t{-1}, int16_t{32767}}) s.control->SendPacket(type, "x");
  EXPECT_EQ(s.sent, "");
  EXPECT_EQ(s.NextSequence(), 3);
}

TEST(SendPacket, PayloadBeyondTheLengthFieldIsRefusedWithoutSpendingANumber) {
  const struct {
    int16_t type;
    std::size_t size;
    bool sent;
  } rows[] = {
      {5, 65535, true},
      {5, 65536, false},
      {2, 65534, true},  // 65535 with its NUL
      {2, 65535, false},
  };
  for (const auto& row : rows) {
    Core s;
    s.Connect();
    s.control->SendPacket(row.type, std::string(row.size, 'x'));
    EXPECT_EQ(s.sent.size(), row.sent ? 6 + 65535 : 0u) << row.size;
    if (row.sent) {
      EXPECT_EQ(s.sent.substr(4, 2), "\xff\xff");
    }
    EXPECT_EQ(s.NextSequence(), row.sent ? 1 : 0) << row.size;
  }
}

// The stream of three frames used by the reader tests, and what they raise.
const std::string kStream = Data("NICK:One") + Frame(3, "") + Data("NICK:Two:Three", 9);
const std::vector<std::string> kStreamEvents = {"ScreennameFormat|One",
                                                "ScreennameFormat|Two:Three"};

TEST(FrameReader, CutsAStreamSplitAtEveryByteIntoTheSameFrames) {
  EverySplit(kStream, [](Core& s) {
    EXPECT_EQ(s.events.events, kStreamEvents);
    EXPECT_EQ(s.control->BufferedBytes(), 0u);
  });
}

TEST(FrameReader, OneByteAtATimeHandsEachFrameOnOnceWhenComplete) {
  Core s;
  s.Connect();
  s.events.recordPackets = true;
  for (char c : kStream) s.Arrive(std::string(1, c));
  EXPECT_EQ(s.events.events, (std::vector<std::string>{
                                 "IncomingPacket|" + Data("NICK:One"), kStreamEvents[0],
                                 "IncomingPacket|" + Frame(3, ""),
                                 "IncomingPacket|" + Data("NICK:Two:Three", 9), kStreamEvents[1]}));
}

TEST(FrameReader, EmptyPayloadFrameIsSixBytesAndHandedOn) {
  Core s;
  s.Connect();
  s.events.recordPackets = true;
  s.Arrive(Frame(4, "") + Frame(3, ""));
  EXPECT_EQ(s.events.events, (std::vector<std::string>{"IncomingPacket|" + Frame(4, ""),
                                                       "IncomingPacket|" + Frame(3, "")}));
}

TEST(FrameReader, DropsBytesWhileNoConnectionIsOpen) {
  Core s;
  s.Arrive(Data("NICK:x"));
  bool taken = false;
  s.control->Receive([&](std::string& buffer) {
    buffer += Data("NICK:z");
    taken = true;
  });
  EXPECT_TRUE(taken) << "the reader is emptied all the same";
  s.control->Opened();
  s.Arrive(Data("NICK:y"));
  EXPECT_EQ(s.events.events, (std::vector<std::string>{"ScreennameFormat|y"}));
}

TEST(FrameReader, LengthFieldPointingPastTheDataWaitsForTheRest) {
  Core s;
  s.Connect();
  std::string big = Data(std::string(65535, 'y'));  // the largest payload
  big.replace(6, 5, "NICK:");
  s.Arrive(big.substr(0, 1000));
  EXPECT_TRUE(s.events.events.empty());
  EXPECT_EQ(s.control->BufferedBytes(), 1000u);
  s.Arrive(big.substr(1000));
  ASSERT_EQ(s.events.events.size(), 1u);
  EXPECT_EQ(s.events.events[0].size(), std::string("ScreennameFormat|").size() + 65530);
}

TEST(FrameReader, GarbageNeverCrashesAndFramesByLengthAlone) {
  Core s;
  s.Connect();
  s.events.recordPackets = true;
  // No marker check: six arbitrary bytes with a zero length are a frame.
  s.Arrive(Bytes({0, 0, 0, 0, 0, 0}) + Bytes({'#', 255, 1, 2, 0, 1, 'z'}));
  const std::string unknown = "Error|0|Unknown Channel Detected: ";
  EXPECT_EQ(s.events.events, (std::vector<std::string>{
                                 "IncomingPacket|" + Bytes({0, 0, 0, 0, 0, 0}),
                                 unknown + std::string(1, '\0'),
                                 "IncomingPacket|" + Bytes({'#', 255, 1, 2, 0, 1, 'z'}),
                                 unknown + "\xff",
                             }));
}

TEST(FrameReader, LargeArrivalOfManyFramesIsHandledInOnePass) {
  Core s;
  s.Connect();
  std::string burst;
  for (int i = 0; i < 50000; ++i) burst += Frame(5, "");
  s.Arrive(burst);
  EXPECT_EQ(s.TakeSent().size(), 50000u * 6);  // one keep-alive answer each
  EXPECT_EQ(s.control->BufferedBytes(), 0u);
}

// Arrivals of whole 64 KiB frames, counted in frames; at each lend of the
// buffer, whether it still holds a large one.
TEST(FrameReader, LargeBufferIsKeptWhileArrivalsFillAnEighthOfIt) {
  const std::string frame = Frame(3, std::string(65535, 'x'));
  const struct {
    const char* name;
    std::vector<int> arrivals;
    std::vector<bool> largeAtLend;
  } rows[] = {
      {"large arrivals reuse one buffer", {32, 32, 32}, {false, true, true}},
      {"an arrival filling an eighth keeps it", {32, 8, 32}, {false, true, true}},
      {"a smaller arrival gives it back", {32, 3, 32}, {false, true, false}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Core s;
    s.Connect();
    std::vector<bool> large;
    for (int frames : row.arrivals) {
      s.control->Receive([&](std::string& buffer) {
        large.push_back(buffer.capacity() > (1u << 20));
        for (int i = 0; i < frames; ++i) buffer += frame;
      });
      EXPECT_EQ(s.control->BufferedBytes(), 0u);
    }
    EXPECT_EQ(large, row.largeAtLend);
  }
}

}  // namespace
}  // namespace kez::test
