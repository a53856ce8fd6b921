#include "service/password_hash.h"
#include "service/password_worker.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>

namespace reposa::server::test {
namespace {

TEST(PasswordHash, HashesAreArgon2idSaltedAndCheckedWhateverTheirCost) {
  const std::string hash = HashPassword("s3cret", Limits{});
  EXPECT_TRUE(hash.starts_with("$argon2id$"));
  EXPECT_NE(HashPassword("s3cret", Limits{}), hash);  // salted
  // A hash made with other parameters still checks: it carries its own.
  const std::string older =
      "$argon2id$v=19$m=8192,t=3,p=1$QjYHVbTa7zuPSIO6A22eXQ$"
      "kb5kOIKpxfzCDuW+s7RrqJTTFgZFKz5qdMYbww75XK0";
  const struct {
    std::string hash;
    std::string password;
    bool matches;
  } rows[] = {
      {hash, "s3cret", true},      {hash, "S3cret", false},
      {hash, "", false},           {older, "password", true},
      {older, "s3cret", false},    {"", "s3cret", false},
      {"s3cret", "s3cret", false}, {std::string(500, '$'), "x", false},
  };
  for (const auto& r : rows) EXPECT_EQ(VerifyPassword(r.hash, r.password), r.matches) << r.hash;
}

TEST(PasswordWorker, ResultsComeBackThroughItsDescriptor) {
  PasswordWorker worker(Limits{});  // two threads
  const std::string hash = HashPassword("old-pw", Limits{});
  // Made with weaker parameters than today's: a right password gets a new one.
  const std::string older =
      "$argon2id$v=19$m=8192,t=3,p=1$QjYHVbTa7zuPSIO6A22eXQ$"
      "kb5kOIKpxfzCDuW+s7RrqJTTFgZFKz5qdMYbww75XK0";
  const struct {
    PasswordWorker::Job job;
    bool matches;
    const char* newPassword;  // what the new hash must check; null: none made
  } rows[] = {
      {{hash, "old-pw", {}}, true, nullptr},
      {{hash, "wrong", "new-pw"}, false, nullptr},
      {{hash, "old-pw", "new-pw"}, true, "new-pw"},
      {{hash, "old-pw", {}, true}, true, nullptr},  // today's parameters: kept
      {{older, "password", {}, true}, true, "password"},
      {{older, "wrong", {}, true}, false, nullptr},
      {{{}, "old-pw", {}, false, true}, false, nullptr},  // no such account
  };
  std::vector<PasswordWorker::Result> results(std::size(rows));
  int done = 0;
  for (std::size_t i = 0; i < std::size(rows); ++i)
    ASSERT_NE(worker.Submit(rows[i].job,
                            [&, i](const PasswordWorker::Result& r) {
                              results[i] = r;
                              ++done;
                            }),
              0u);
  // Held back, then taken back: it never reports.
  const auto later = PasswordWorker::Clock::now() + std::chrono::hours(1);
  const auto ticket = worker.Submit(
      {hash, "old-pw", {}}, [&](auto&) { ++done; }, "a", "n", later);
  EXPECT_TRUE(worker.Cancel(ticket));
  EXPECT_FALSE(worker.Cancel(ticket));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (done < static_cast<int>(std::size(rows)) && std::chrono::steady_clock::now() < deadline) {
    pollfd p{worker.fd(), POLLIN, 0};
    if (::poll(&p, 1, 1000) == 1) worker.Collect();
  }
  ASSERT_EQ(done, static_cast<int>(std::size(rows)));
  EXPECT_EQ(worker.pending(), 0u);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(results[i].matches, rows[i].matches) << i;
    EXPECT_EQ(results[i].newHash.empty(), !rows[i].newPassword) << i;
    if (rows[i].newPassword) {
      EXPECT_TRUE(VerifyPassword(results[i].newHash, rows[i].newPassword)) << i;
      EXPECT_FALSE(NeedsRehash(results[i].newHash, Limits{})) << i;
    }
  }
}

// Without threads nothing runs until asked, and then only what is due by
// the time given, in the caller's thread.
TEST(PasswordWorker, WithoutThreadsRunsWhatIsDueWhenAsked) {
  Limits limits;
  limits.passwordThreads = 0;
  limits.hashMemory = 8 * kKiB;
  limits.hashPasses = 1;
  PasswordWorker worker(limits);
  const std::string hash = HashPassword("pw", limits);
  const auto now = PasswordWorker::Clock::now();
  std::vector<bool> verdicts;
  auto record = [&](const PasswordWorker::Result& r) { verdicts.push_back(r.matches); };
  worker.Submit({hash, "pw", {}}, record, "a", "n", now + std::chrono::seconds(2));
  worker.Submit({hash, "no", {}}, record, "a", "n", now);
  EXPECT_EQ(worker.RunDue(now + std::chrono::seconds(1)), 1u);
  EXPECT_EQ(worker.RunDue(now + std::chrono::seconds(1)), 0u);
  EXPECT_EQ(worker.RunDue(now + std::chrono::seconds(3)), 1u);
  EXPECT_EQ(verdicts, (std::vector<bool>{false, true}));
  EXPECT_EQ(worker.pending(), 0u);
}

}  // namespace
}  // namespace reposa::server::test
