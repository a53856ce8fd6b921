#include "service/flap_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace reposa::server {
namespace {

using namespace std::string_literals;

// Feeds `bytes` cut at `split` (0: whole) and collects what comes out.
struct Outcome {
  std::vector<std::string> frames;  // "type/payload"
  FlapReader::Status status;
};

Outcome Read(const std::string& bytes, std::size_t split) {
  FlapReader r;
  Outcome o;
  auto drain = [&] {
    while (auto f = r.Next()) o.frames.push_back(std::to_string(f->type) + "/" + std::string(f->payload));
  };
  if (split == 0) {
    r.Feed(bytes);
    drain();
  } else {
    for (std::size_t i = 0; i < bytes.size(); i += split) {
      r.Feed(std::string_view(bytes).substr(i, split));
      drain();
    }
  }
  o.status = r.status();
  return o;
}

struct ReaderCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> frames;
  FlapReader::Status status;
};

TEST(FlapReader, CutsFramesHoweverTheBytesArrive) {
  const std::vector<ReaderCase> cases = {
      {"opening only", "FLAPON\n\n", {}, FlapReader::Status::Ok},
      {"one frame",
       "FLAPON\n\n*\x01\x00\x07\x00\x04\x00\x00\x00\x01"s,
       {"1/\0\0\0\1"s},
       FlapReader::Status::Ok},
      {"two frames, empty payload",
       "FLAPON\n\n*\x05\x00\x00\x00\x00*\x02\xff\xff\x00\x02hi"s,
       {"5/", "2/hi"},
       FlapReader::Status::Ok},
      {"unfinished frame waits",
       "FLAPON\n\n*\x02\x00\x01\x00\x05"
       "abc"s,
       {},
       FlapReader::Status::Ok},
      {"garbage before the opening", "GET / HTTP/1.0\r\n", {}, FlapReader::Status::BadOpening},
      {"opening with a carriage return", "FLAPON\r\n", {}, FlapReader::Status::BadOpening},
      {"wrong marker", "FLAPON\n\n#\x02\x00\x00\x00\x00"s, {}, FlapReader::Status::BadMarker},
      {"wrong marker after a good frame",
       "FLAPON\n\n*\x05\x00\x00\x00\x00x"s,
       {"5/"},
       FlapReader::Status::BadMarker},
  };
  for (const ReaderCase& c : cases) {
    for (std::size_t split : {0u, 1u, 2u, 3u, 7u}) {
      const Outcome o = Read(c.bytes, split);
      EXPECT_EQ(o.frames, c.frames) << c.name << ", split " << split;
      EXPECT_EQ(o.status, c.status) << c.name << ", split " << split;
    }
  }
}

TEST(FlapReader, TakesTheLargestPayloadAndKeepsItsBufferSmall) {
  FlapReader r;
  r.Feed("FLAPON\n\n");
  const std::string payload(65535, 'x');
  for (int i = 0; i < 50; ++i) {
    r.Feed("*\x02\x00\x00\xff\xff"s);
    r.Feed(payload);
    auto f = r.Next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload.size(), 65535u);
    EXPECT_EQ(r.buffered(), 0u);
  }
}

TEST(FlapWriter, NumbersFramesAndWrapsAfter65535) {
  FlapWriter w;
  EXPECT_EQ(*w.Encode(FrameType::SignOn, "\0\0\0\1"s), "*\x01\x00\x00\x00\x04\0\0\0\1"s);
  EXPECT_EQ(*w.Encode(FrameType::Data, "SIGN_ON:TOC2.0"), "*\x02\x00\x01\x00\x0eSIGN_ON:TOC2.0"s);
  EXPECT_EQ(*w.Encode(FrameType::KeepAlive, ""), "*\x05\x00\x02\x00\x00"s);
  for (int i = 3; i < 65535; ++i) w.Encode(FrameType::KeepAlive, "");
  EXPECT_EQ(*w.Encode(FrameType::KeepAlive, ""), "*\x05\xff\xff\x00\x00"s);
  EXPECT_EQ(*w.Encode(FrameType::KeepAlive, ""), "*\x05\x00\x00\x00\x00"s);
}

TEST(FlapWriter, RefusesAPayloadTooLongForTheLengthField) {
  FlapWriter w;
  EXPECT_TRUE(w.Encode(FrameType::Data, std::string(65535, 'a')));
  EXPECT_FALSE(w.Encode(FrameType::Data, std::string(65536, 'a')));
}

}  // namespace
}  // namespace reposa::server
