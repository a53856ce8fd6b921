#include "store/sqlite_account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

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
  EXPECT_EQ(all[0].lists, al.lists);
  EXPECT_FALSE(all[1].passwordHash);
  // Saving lists leaves the password alone.
  EXPECT_TRUE(store.Write([&] { store.SaveLists({"al", "Al", std::nullopt, "m:2\n"}); }));
  EXPECT_EQ(store.Load("al")->passwordHash, al.passwordHash);
  EXPECT_EQ(store.database().QueryInt("PRAGMA user_version"), kSchemaVersion);
  EXPECT_EQ(store.database().QueryInt("PRAGMA application_id"), kApplicationId);
}

// A file of the schema before sign-on times (2: with kept messages) gains
// the time of the last sign-on and keeps its rows and messages; sign-on times
// are kept apart from the lists.
TEST(AccountStore, BringsAFileOfTheKeptMessagesSchemaForwardAndKeepsSignOnTimes) {
  TempDir dir;
  const std::string file = dir / "v2.db";
  Database(file, true)
      .Exec(
          "CREATE TABLE accounts(name TEXT PRIMARY KEY NOT NULL, display TEXT NOT NULL,"
          " password_hash TEXT, lists TEXT NOT NULL DEFAULT '') WITHOUT ROWID;"
          "CREATE TABLE kept_messages(id INTEGER PRIMARY KEY, recipient TEXT NOT NULL,"
          " sender TEXT NOT NULL, sender_display TEXT NOT NULL, user_class TEXT NOT NULL,"
          " message TEXT NOT NULL, sent_at INTEGER NOT NULL);"
          "CREATE INDEX kept_messages_by_recipient ON kept_messages(recipient, id);"
          "INSERT INTO accounts VALUES('al', 'Al', '$argon2id$x', 'm:1\n');"
          "INSERT INTO kept_messages VALUES(7, 'al', 'cy', 'Cy', ' O', 'kept', 1700000000);"
          "PRAGMA application_id = 1380995905; PRAGMA user_version = 2;");
  SqliteAccountStore store(file, Limits{});
  EXPECT_EQ(store.database().QueryInt("PRAGMA user_version"), kSchemaVersion);
  std::optional<StoredAccount> al = store.Load("al");
  ASSERT_TRUE(al);
  EXPECT_EQ(al->lists, "m:1\n");
  EXPECT_EQ(al->lastSignOn, 0);
  const std::vector<StoredAccount> all = store.LoadAll();
  ASSERT_EQ(all.size(), 1u);
  ASSERT_EQ(all[0].kept.size(), 1u);
  EXPECT_EQ(all[0].kept[0].id, 7);
  EXPECT_EQ(all[0].kept[0].text, "kept");
  const StoredChange signOns[] = {{StoredChange::Kind::SignOn, {"al", "Al", {}, {}, 1700000000}},
                                  {StoredChange::Kind::SignOn, {"bo", "Bo", {}, {}, 1700000001}}};
  ASSERT_TRUE(store.Apply(signOns));
  al = store.Load("al");
  EXPECT_EQ(al->lastSignOn, 1700000000);
  EXPECT_EQ(al->passwordHash, "$argon2id$x");
  EXPECT_EQ(al->lists, "m:1\n");
  EXPECT_EQ(store.Load("bo")->lastSignOn, 1700000001);  // an open server's name
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
  const std::string big(20000, 'x');
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

// A file of the schema before kept messages is brought forward at open with
// its accounts intact, and keeps messages from then on.
TEST(AccountStore, AFileWithoutKeptMessagesIsMigratedAndKeepsThem) {
  TempDir dir;
  const std::string file = dir / "v1.db";
  Database(file, true)
      .Exec(
          "CREATE TABLE accounts(name TEXT PRIMARY KEY NOT NULL, display TEXT NOT NULL,"
          " password_hash TEXT, lists TEXT NOT NULL DEFAULT '') WITHOUT ROWID;"
          "INSERT INTO accounts VALUES('al', 'Al', '$argon2id$x', 'm:1\n');"
          "INSERT INTO accounts VALUES('bo', 'Bo', '$argon2id$y', '');"
          "PRAGMA application_id = 1380995905; PRAGMA user_version = 1;");
  SqliteAccountStore store(file, Limits{});
  EXPECT_EQ(store.database().QueryInt("PRAGMA user_version"), kSchemaVersion);
  EXPECT_EQ(store.Load("al")->lists, "m:1\n");
  auto kept = [](std::int64_t id, std::string text) {
    return StoredMessage{id, "cy", "Cy", " O", std::move(text), 1700000000 + id};
  };
  auto change = [](StoredChange::Kind kind, std::string name, StoredMessage m) {
    return StoredChange{kind, StoredAccount{std::move(name), {}, {}, {}}, std::move(m)};
  };
  using K = StoredChange::Kind;
  const std::vector<StoredChange> changes = {
      change(K::Keep, "al", kept(1, "one: with\nbytes \xff")),
      change(K::Keep, "bo", kept(2, "for bo")),
      change(K::Keep, "al", kept(3, "two")),
      change(K::Keep, "al", kept(4, "three")),
      change(K::Keep, "gone", kept(5, "to no account")),  // not kept
      change(K::Forget, "al", kept(3, "")),               // one and two were handed over
  };
  ASSERT_TRUE(store.Apply(changes)) << store.lastError();
  std::map<std::string, std::vector<std::string>> texts;
  for (const StoredAccount& a : store.LoadAll())
    for (const StoredMessage& m : a.kept) texts[a.name].push_back(m.text);
  EXPECT_EQ(texts, (std::map<std::string, std::vector<std::string>>{{"al", {"three"}},
                                                                    {"bo", {"for bo"}}}));
  EXPECT_TRUE(store.Write([&] { store.Remove("bo"); }));
  EXPECT_EQ(store.database().QueryInt("SELECT count(*) FROM kept_messages WHERE recipient = 'bo'"),
            0);
}

}  // namespace
}  // namespace reposa::server::test
