#include "log_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace reposa::server::test {
namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  std::string Drain() {
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string out;
    char b[65536];
    for (ssize_t n; (n = ::read(fds[0], b, sizeof b)) > 0;) out.append(b, static_cast<size_t>(n));
    return out;
  }
};

// A reader that stopped: every Add returns at once, the loss is counted and
// reported when the reader comes back, and repeats are summarised.
TEST(LogQueue, NeverBlocksCountsLossAndSummarisesRepeats) {
  Pipe pipe;
  LogQueue log(pipe.fds[1], "s: ", 4096);
  log.Add("first");
  log.Add("same");
  for (int i = 0; i < 3; ++i) log.Add("same");
  log.Flush();
  EXPECT_EQ(pipe.Drain(), "s: first\ns: same\ns: (the line above repeated 3 more times)\n");

  // Fill the pipe without reading, then more than the queue holds.
  const std::string big(1000, 'x');
  for (int i = 0; i < 2000; ++i) log.Add(big + std::to_string(i));
  EXPECT_LE(log.waiting(), 4096u);
  EXPECT_GT(log.dropped(), 0u);
  std::string seen = pipe.Drain();
  while (!log.Flush()) seen += pipe.Drain();
  seen += pipe.Drain();
  EXPECT_NE(seen.find("log lines were dropped: the log was not being read\n"), std::string::npos)
      << seen.substr(seen.size() > 200 ? seen.size() - 200 : 0);
  log.Add("after");
  EXPECT_EQ(pipe.Drain(), "s: after\n");
}

}  // namespace
}  // namespace reposa::server::test
