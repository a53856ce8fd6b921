#include "store/committer.h"

#include <gtest/gtest.h>

#include "RecordingOutbox.h"
#include "service/command_parser.h"
#include "service/service.h"

namespace reposa::server::test {
namespace {

using Msgs = std::vector<std::string>;

// Records what it is asked to apply, or refuses while `fail` is set.
struct FakeStore final : AccountStore {
  bool fail = false;
  std::vector<StoredChange> applied;
  std::function<void()> onApply;
  std::string where_ = "the test store", error_ = "refused";

  const std::string& where() const override { return where_; }
  std::vector<StoredAccount> LoadAll() override { return {}; }
  std::optional<StoredAccount> Load(std::string_view) override { return std::nullopt; }
  bool Apply(std::span<const StoredChange> changes) override {
    if (onApply) onApply();
    if (fail) return false;
    applied.assign(changes.begin(), changes.end());
    return true;
  }
  const std::string& lastError() const override { return error_; }
};

// A service on a committer on a fake store; each Turn() runs what the
// committer posted for the end of the loop's turn.
struct CommitterTest : ::testing::Test {
  Limits limits;
  Directory directory{limits, std::vector<AccountEntry>{{"Al", "pw"}, {"Bo", "pw"}}};
  RecordingOutbox out;
  std::vector<std::function<void()>> posted;
  Committer committer{out, [this](std::function<void()> f) { posted.push_back(std::move(f)); },
                      limits, [](std::string_view) {}};
  Service service{directory, committer.outbox(), [] { return 1700000000; }, limits};
  FakeStore store;

  CommitterTest() {
    service.UseStore(&committer, nullptr);
    committer.Use(
        &store, [](Account&) {},
        [this](Account& account, std::int64_t id) { service.Unkept(account, id); });
  }
  void Run(SessionId id, std::string_view line) { service.Command(id, *ParseCommandLine(line)); }
  void Turn() {
    auto now = std::move(posted);
    posted.clear();
    for (auto& f : now) f();
  }
};

// A message to an account that is not on is stored before the sender's turn
// ends; when it cannot be, the sender hears so and it is not kept. It is
// handed over only once its removal is stored.
TEST_F(CommitterTest, KeptMessagesAreStoredBeforeTheTurnEndsAndHandedOverAfter) {
  ASSERT_TRUE(service.SignOn(1, "al", "pw"));
  Run(1, "toc_init_done");
  out.Take(1);
  store.fail = true;
  Run(1, R"(toc_send_im "bo" "lost to a full disk")");
  Turn();
  EXPECT_EQ(out.Take(1), (Msgs{"ERROR:999"}));
  store.fail = false;
  Run(1, R"(toc_send_im "bo" "kept")");
  Turn();
  EXPECT_EQ(out.Take(1), Msgs{});
  ASSERT_EQ(store.applied.size(), 1u);
  EXPECT_EQ(store.applied[0].kind, StoredChange::Kind::Keep);
  EXPECT_EQ(store.applied[0].row.name, "bo");
  EXPECT_EQ(store.applied[0].message.text, "kept");
  const std::int64_t id = store.applied[0].message.id;

  ASSERT_TRUE(service.SignOn(2, "bo", "pw"));
  out.Take(2);
  Run(2, "toc_init_done");
  Msgs atApply;
  store.onApply = [&] { atApply = out.Take(2); };
  Turn();
  EXPECT_EQ(atApply, Msgs{});           // nothing handed over before the removal is stored
  ASSERT_EQ(store.applied.size(), 2u);  // the removal, and bo's sign-on time after it
  EXPECT_EQ(store.applied[0].kind, StoredChange::Kind::Forget);
  EXPECT_EQ(store.applied[0].message.id, id);
  EXPECT_EQ(store.applied[1].kind, StoredChange::Kind::SignOn);
  EXPECT_EQ(store.applied[1].row.name, "bo");
  EXPECT_EQ(out.Take(2), (Msgs{"IM_IN_ENC2:Al:F:F:F: O:F:F:F:kept"}));
}

// A hand-over whose removal could not be stored waits to be tried again;
// once its account is removed (its rows went with it) nothing of it waits.
TEST_F(CommitterTest, ARemovedAccountLeavesNothingToRetry) {
  for (const bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "removed" : "kept");
    ASSERT_TRUE(service.SignOn(1, "al", "pw"));
    Run(1, "toc_init_done");
    Run(1, R"(toc_send_im "bo" "hello")");
    Turn();
    ASSERT_TRUE(service.SignOn(2, "bo", "pw"));
    Run(2, "toc_init_done");
    store.fail = true;
    Turn();
    store.fail = false;
    store.applied.clear();
    if (removed) committer.Removed(*directory.Find("bo"));
    committer.Finish();
    EXPECT_EQ(store.applied.size(), removed ? 0u : 1u);
    service.Ended(1);
    service.Ended(2);
  }
}

// One turn's changes go in one set: the lists' edited rows, a message kept,
// then the sign-on time. A removed account leaves none of its own in it.
TEST_F(CommitterTest, OneTurnHoldsEveryChangeAndARemovedAccountLeavesNoneOfIts) {
  using K = StoredChange::Kind;
  const struct {
    const char* removed;  // nullptr: none
    std::vector<K> kinds;
  } rows[] = {
      {nullptr, {K::Edits, K::Keep, K::SignOn}},
      {"al", {K::Keep}},  // its list edits and sign-on time go
      {"bo", {K::Edits, K::SignOn}},
  };
  int n = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.removed ? r.removed : "none");
    Turn();
    store.applied.clear();
    ASSERT_TRUE(service.SignOn(1, "al", "pw"));
    Run(1, "toc_init_done");
    Run(1, "toc2_new_buddies \"g:G\nb:pal" + std::to_string(++n) + "\n\"");
    Run(1, R"(toc_send_im "bo" "hello")");
    if (r.removed) committer.Removed(*directory.Find(r.removed));
    Turn();
    std::vector<K> kinds;
    for (const StoredChange& c : store.applied) {
      kinds.push_back(c.kind);
      EXPECT_TRUE(c.kind != K::Edits || !c.edits.empty());
      EXPECT_TRUE(!r.removed || c.row.name != r.removed) << c.row.name;
    }
    EXPECT_EQ(kinds, r.kinds);
    service.Ended(1);
  }
}

}  // namespace
}  // namespace reposa::server::test
