// A turn's sends, in one batch or one by one: every job's bytes arrive whole
// and in order at its own peer, each job says truly what happened, and a full
// socket answers at once instead of holding up the turn.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/batch_sender.h"

namespace reposa::server {
namespace {

enum class Peer { Reading, Closed, Full };

struct Case {
  bool batch;
  std::size_t jobs;
};

class BatchSenderTest : public testing::TestWithParam<Case> {};

TEST_P(BatchSenderTest, EveryJobReportsWhatItsSocketTook) {
  const Case c = GetParam();
  BatchSender sender(c.batch, Limits{});
  std::vector<std::array<int, 2>> pairs(c.jobs);
  std::vector<std::string> payloads(c.jobs);
  std::vector<SendJob> jobs(c.jobs);
  const auto peerOf = [](std::size_t i) {
    return i % 7 == 3 ? Peer::Closed : i % 11 == 5 ? Peer::Full : Peer::Reading;
  };
  for (std::size_t i = 0; i < c.jobs; ++i) {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pairs[i].data()), 0);
    payloads[i] = "job " + std::to_string(i) + ":" + std::string(100 + i, 'a' + i % 26);
    if (peerOf(i) == Peer::Closed) ::close(pairs[i][1]), pairs[i][1] = -1;
    if (peerOf(i) == Peer::Full) {
      const std::string filler(4096, 'f');
      while (::send(pairs[i][0], filler.data(), filler.size(), MSG_NOSIGNAL) > 0) {
      }
    }
    jobs[i] = SendJob{pairs[i][0], payloads[i].data(), payloads[i].size()};
  }

  sender.Run(jobs);
  sender.Run(jobs);  // a second turn: nothing of the first left over

  for (std::size_t i = 0; i < c.jobs; ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    switch (peerOf(i)) {
      case Peer::Closed:
        EXPECT_EQ(jobs[i].error, EPIPE);
        EXPECT_EQ(jobs[i].sent, 0u);
        break;
      case Peer::Full:
        EXPECT_EQ(jobs[i].error, 0);
        EXPECT_LT(jobs[i].sent, jobs[i].size);
        break;
      case Peer::Reading: {
        EXPECT_EQ(jobs[i].error, 0);
        EXPECT_EQ(jobs[i].sent, jobs[i].size);
        std::string got(2 * payloads[i].size() + 1, '\0');
        const ssize_t n = ::recv(pairs[i][1], got.data(), got.size(), 0);
        got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        EXPECT_EQ(got, payloads[i] + payloads[i]);
        break;
      }
    }
    for (int fd : pairs[i])
      if (fd >= 0) ::close(fd);
  }
}

// 300 jobs: more than one ring's worth.
INSTANTIATE_TEST_SUITE_P(BatchedOrNot, BatchSenderTest,
                         testing::Values(Case{false, 100}, Case{true, 3}, Case{true, 100},
                                         Case{true, 300}),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.batch ? "Batched" : "OneByOne") +
                                  std::to_string(info.param.jobs);
                         });

}  // namespace
}  // namespace reposa::server
