#pragma once

#include <string>

#include "Wire.h"

namespace kez::bench {

// A realistic server stream of about `bytes` bytes: presence updates,
// instant messages, chat lines and keep-alives, in a fixed rotation.
struct ServerStream {
  std::string bytes;
  std::size_t frames = 0;
};

inline ServerStream MakeServerStream(std::size_t bytes) {
  const std::string messages[] = {
      test::Data("UPDATE_BUDDY2:buddy0042:T:0:1733580000:0: O:"),
      test::Data("IM_IN_ENC2:buddy0042:F:F:F: O:F:L:en:<HTML><BODY>are you there?</BODY></HTML>"),
      test::Data("CHAT_IN_ENC:1234:buddy0007:F:x:y:<b>hello</b> everyone, what is new today?"),
      test::Frame(5, ""),
      test::Data("UPDATE_BUDDY2:friend_of_mine:F:15:0:12: OU:"),
  };
  ServerStream s;
  s.bytes.reserve(bytes + 256);
  for (std::size_t i = 0; s.bytes.size() < bytes; ++i) {
    s.bytes += messages[i % std::size(messages)];
    ++s.frames;
  }
  return s;
}

}  // namespace kez::bench
