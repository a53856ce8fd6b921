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
  std::vector<PasswordWorker::Result> results(3);
  int done = 0;
  auto keep = [&](int i) {
    return [&, i](const PasswordWorker::Result& r) {
      results[static_cast<std::size_t>(i)] = r;
      ++done;
    };
  };
  worker.Submit({hash, "old-pw", {}}, keep(0));
  worker.Submit({hash, "wrong", "new-pw"}, keep(1));
  worker.Submit({hash, "old-pw", "new-pw"}, keep(2));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (done < 3 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{worker.fd(), POLLIN, 0};
    if (::poll(&p, 1, 1000) == 1) worker.Collect();
  }
  ASSERT_EQ(done, 3);
  EXPECT_EQ(worker.pending(), 0u);
  EXPECT_TRUE(results[0].matches);
  EXPECT_TRUE(results[0].newHash.empty());
  EXPECT_FALSE(results[1].matches);
  EXPECT_TRUE(results[1].newHash.empty());
  EXPECT_TRUE(results[2].matches);
  EXPECT_TRUE(VerifyPassword(results[2].newHash, "new-pw"));
}

}  // namespace
}  // namespace reposa::server::test
