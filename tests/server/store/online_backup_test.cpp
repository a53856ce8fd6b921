#include "store/online_backup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"
#include "store/sqlite_account_store.h"

namespace reposa::server::test {
namespace {

using reposa::test::TempDir;

std::string Check(Database& db) {
  Statement s(db.handle(), "PRAGMA integrity_check");
  return s.Step() ? s.Text(0) : "no answer";
}

// Writes made through the database's own connection between the steps
// reach the copy; it is whole, of the same schema, and private.
TEST(OnlineBackup, CopiesWhatIsWrittenMeanwhile) {
  TempDir dir;
  SqliteAccountStore store(dir / "s.db", Limits{});
  // A page or so each: a long display name, as lists are rows of their own.
  const std::string big(3000, 'x');
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(store.Write([&] { store.SaveLists({"a" + std::to_string(i), big, {}, {}}); }));
  OnlineBackup backup(store.database().handle(), dir / "copy.db", 2);
  int steps = 0, copied = -1;  // the step after which SQLite's copy was whole
  for (bool done = false; !done; ++steps) {
    done = backup.Step();
    if (copied < 0 && (done || backup.Flushing())) copied = steps;
    const std::string name = "b" + std::to_string(steps);
    ASSERT_TRUE(store.Write([&] { store.SaveLists({name, big, {}, {}}); }));
    if (steps == 3) {
      ASSERT_TRUE(store.Write([&] { store.Remove("a0"); }));
    }
  }
  EXPECT_GT(copied, 5);
  EXPECT_EQ(::access((dir / "copy.db.part").c_str(), F_OK), -1);
  SqliteAccountStore copy(dir / "copy.db", Limits{});
  EXPECT_EQ(Check(copy.database()), "ok");
  EXPECT_EQ(copy.database().QueryInt("PRAGMA user_version"), kSchemaVersion);
  EXPECT_FALSE(copy.Load("a0"));
  EXPECT_TRUE(copy.Load("a19"));
  EXPECT_TRUE(copy.Load("b" + std::to_string(copied - 1)));  // written before the last copy step
  EXPECT_FALSE(copy.Load("b" + std::to_string(copied)));     // written after it
}

TEST(OnlineBackup, NeverReplacesAFileAndLeavesNothingWhenDropped) {
  TempDir dir;
  SqliteAccountStore store(dir / "s.db", Limits{});
  ASSERT_TRUE(store.Write([&] { store.SaveLists({"a", std::string(20000, 'x'), {}, {}}); }));
  EXPECT_THROW(OnlineBackup(store.database().handle(), dir / "s.db", 1), StoreError);
  {
    OnlineBackup dropped(store.database().handle(), dir / "half.db", 1);
    EXPECT_FALSE(dropped.Step());
    EXPECT_THROW(OnlineBackup(store.database().handle(), dir / "half.db", 1), StoreError)
        << "a backup already writing there";
  }
  EXPECT_EQ(::access((dir / "half.db").c_str(), F_OK), -1);
  EXPECT_EQ(::access((dir / "half.db.part").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace reposa::server::test
