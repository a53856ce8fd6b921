#include "store/sqlite_account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "TempDir.h"
#include "account_command.h"

namespace reposa::server::test {
namespace {

using reposa::test::ReadBytes;
using reposa::test::TempDir;

unsigned Mode(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

TEST(AccountStore, KeepsAccountsAcrossReopenInPrivateFiles) {
  TempDir dir;
  const std::string file = dir / "a/b/server.db";
  const StoredAccount al{"al", "A l", "$argon2id$x", "m:3\ng:G\nb:Pal:Alias\ndone:\n"};
  {
    SqliteAccountStore store(file, Limits{});
    EXPECT_TRUE(store.Write([&] {
      store.Put(al);
      store.SaveLists({"bo", "Bo", std::nullopt, "m:1\n"});
    }));
  }
  EXPECT_EQ(Mode(file), 0600u);
  EXPECT_EQ(Mode(dir / "a"), 0700u);
  SqliteAccountStore store(file, Limits{});
  const auto all = store.LoadAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].display, "A l");
  EXPECT_EQ(all[0].passwordHash, al.passwordHash);
  EXPECT_FALSE(all[0].listsRead);  // read when the account is looked up
  EXPECT_EQ(store.Load("al")->lists, "m:3\ng:G\nb:Pal:Alias\n");
  EXPECT_FALSE(all[1].passwordHash);
  // Saving lists leaves the password alone.
  EXPECT_TRUE(store.Write([&] { store.SaveLists({"al", "Al", std::nullopt, "m:2\n"}); }));
  EXPECT_EQ(store.Load("al")->passwordHash, al.passwordHash);
  EXPECT_EQ(store.database().QueryInt("PRAGMA user_version"), kSchemaVersion);
  EXPECT_EQ(store.database().QueryInt("PRAGMA application_id"), kApplicationId);
}

TEST(AccountStore, RefusesFilesThatAreNotOursOrAreNewerAndLeavesThemAlone) {
  static_assert(kApplicationId == 1380995905);
  TempDir dir;
  const struct {
    const char* name;
    const char* setup;  // SQL run on a fresh SQLite file; nullptr: plain text
  } rows[] = {
      {"notes.txt", nullptr},
      {"other.db", "CREATE TABLE t(x);"},
      {"future.db", "PRAGMA application_id = 1380995905; PRAGMA user_version = 99;"},
  };
  for (const auto& r : rows) {
    const std::string file = dir / r.name;
    if (r.setup) {
      Database(file, true).Exec(r.setup);
    } else {
      std::ofstream(file) << "buddy list of a different program, please keep\n";
    }
    const std::string before = ReadBytes(file);
    try {
      SqliteAccountStore store(file, Limits{});
      ADD_FAILURE() << r.name << " was opened";
    } catch (const StoreRefused& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.find(file), 0u) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos);
      EXPECT_NE(what.find(r.setup && r.name[0] == 'f' ? "newer" : "not a Reposa"),
                std::string::npos)
          << what;
    }
    EXPECT_EQ(ReadBytes(file), before) << r.name;
  }
}

TEST(AccountStore, AFailedWriteKeepsWhatWasStoredAndLaterWritesSucceed) {
  TempDir dir;
  SqliteAccountStore store(dir / "s.db", Limits{});
  ASSERT_TRUE(store.Write([&] { store.SaveLists({"al", "Al", std::nullopt, "m:1\n"}); }));
  const std::int64_t pages = store.database().QueryInt("PRAGMA page_count");
  store.database().Exec("PRAGMA max_page_count = " + std::to_string(pages));
  std::string big = "m:1\ng:G\n";
  for (int i = 0; i < 300; ++i)
    big += "b:buddy" + std::to_string(i) + ":" + std::string(60, 'a') + "\n";
  EXPECT_FALSE(store.Write([&] {
    store.SaveLists({"al", "Al", std::nullopt, "m:2\n"});
    store.SaveLists({"bo", "Bo", std::nullopt, big});
  }));
  EXPECT_NE(store.lastError().find("full"), std::string::npos) << store.lastError();
  EXPECT_EQ(store.Load("al")->lists, "m:1\n");
  EXPECT_FALSE(store.Load("bo"));
  store.database().Exec("PRAGMA max_page_count = 100000");
  EXPECT_TRUE(store.Write([&] { store.SaveLists({"bo", "Bo", std::nullopt, big}); }));
}

TEST(AccountStore, AccountCommandsNeverStoreAPasswordInClear) {
  TempDir dir;
  const std::string file = dir / "s.db";
  {
    SqliteAccountStore store(file, Limits{});
    AddAccount(store, "Some Body", "Sup3r-Secret-pw", Limits{});
    ASSERT_TRUE(store.Write([&] { store.SaveLists({"somebody", "Some Body", {}, "m:4\n"}); }));
    EXPECT_NE(AddAccount(store, "somebody", "0ther-Secret-pw", Limits{}).find("new password"),
              std::string::npos);
    EXPECT_EQ(store.Load("somebody")->lists, "m:4\n");  // kept
    ImportAccounts(store, {{"Pal", "Imp0rted-pw"}}, Limits{});
    EXPECT_THROW(RemoveAccount(store, "nobody"), std::runtime_error);
    EXPECT_THROW(AddAccount(store, "bad:name", "pw", Limits{}), std::runtime_error);
    RemoveAccount(store, "pal");
    EXPECT_FALSE(store.Load("pal"));
  }
  const std::string bytes = ReadBytes(file) + ReadBytes(file + "-wal");
  EXPECT_NE(bytes.find("$argon2id$"), std::string::npos);
  for (const char* secret : {"Sup3r-Secret-pw", "0ther-Secret-pw", "Imp0rted-pw"})
    EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
}

}  // namespace
}  // namespace reposa::server::test
