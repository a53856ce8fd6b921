#include "store/sqlite_account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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
  EXPECT_FALSE(all[0].listsRead);  // read when the account is looked up
  EXPECT_EQ(store.Load("al")->lists, "m:3\ng:G\nb:Pal:Alias\n");
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

// A file of a version before lists had rows of their own is brought forward
// at open: its lists read back as they were, the text is gone, and what else
// it kept stays.
TEST(AccountStore, AFileWithListsAsTextIsBroughtForward) {
  constexpr const char* kKept =
      "CREATE TABLE kept_messages(id INTEGER PRIMARY KEY, recipient TEXT NOT NULL,"
      " sender TEXT NOT NULL, sender_display TEXT NOT NULL, user_class TEXT NOT NULL,"
      " message TEXT NOT NULL, sent_at INTEGER NOT NULL);"
      "CREATE INDEX kept_messages_by_recipient ON kept_messages(recipient, id);"
      "INSERT INTO kept_messages VALUES(7, 'al', 'bo', 'Bo', ' O', 'kept', 1700000000);";
  // Each older version: before kept messages (1), with them (2), and with
  // the time of the last sign-on too (3).
  const struct {
    int version;
    std::string more;  // what that version has beyond the accounts
    std::size_t kept;
    std::int64_t lastSignOn;  // al's, read back
  } rows[] = {
      {1, "", 0, 0},
      {2, kKept, 1, 0},
      {3,
       std::string(kKept) + "ALTER TABLE accounts ADD COLUMN last_signon INTEGER;"
                            "UPDATE accounts SET last_signon = 1700000123 WHERE name = 'al';",
       1, 1700000123},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.version);
    TempDir dir;
    const std::string file = dir / "old.db";
    {
      Database old(file, true);
      old.Exec(
          "CREATE TABLE accounts(name TEXT PRIMARY KEY NOT NULL, display TEXT NOT NULL,"
          " password_hash TEXT, lists TEXT NOT NULL DEFAULT '') WITHOUT ROWID;"
          "INSERT INTO accounts VALUES('al', 'Al', '$argon2id$x',"
          " 'm:4\ng:Work\nb:Pal One:Alias\nb:pal2\ng:Home\np:friend\nd:pest\n');"
          "INSERT INTO accounts VALUES('bo', 'Bo', NULL, '');" +
          r.more + "PRAGMA application_id = 1380995905; PRAGMA user_version = " +
          std::to_string(r.version) + ";");
    }
    SqliteAccountStore store(file, Limits{});
    EXPECT_EQ(store.database().QueryInt("PRAGMA user_version"), kSchemaVersion);
    EXPECT_EQ(store.database().QueryInt("SELECT count(*) FROM accounts WHERE lists <> ''"), 0);
    EXPECT_EQ(store.Load("al")->lists,
              "m:4\ng:Work\nb:Pal One:Alias\nb:pal2\ng:Home\np:friend\nd:pest\n");
    EXPECT_EQ(store.Load("al")->passwordHash, "$argon2id$x");
    EXPECT_EQ(store.Load("al")->lastSignOn, r.lastSignOn);
    EXPECT_EQ(store.Load("bo")->lists, "");
    std::size_t kept = 0;
    for (const StoredAccount& a : store.LoadAll()) kept += a.kept.size();
    EXPECT_EQ(kept, r.kept) << "kept messages stay";
  }
}

// A change writes its own rows, never the whole lists: one buddy added to a
// full list costs a few pages of the log, whatever the list holds.
TEST(AccountStore, AChangeWritesItsRowsAloneAndReadsBackInOrder) {
  TempDir dir;
  SqliteAccountStore store(dir / "s.db", Limits{});
  std::string full = "m:1\n";
  for (int g = 0; g < 10; ++g) {
    full += "g:Group " + std::to_string(g) + "\n";
    for (int b = 0; b < 99; ++b)
      full += "b:buddy " + std::to_string(g * 100 + b) + ":alias of " + std::to_string(b) + "\n";
  }
  for (int i = 0; i < 500; ++i) full += "p:permitted" + std::to_string(i) + "\n";
  for (int i = 0; i < 500; ++i) full += "d:blocked" + std::to_string(i) + "\n";
  ASSERT_TRUE(store.Write([&] { store.SaveLists({"al", "Al", {}, full}); }));
  store.database().Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  const std::vector<ListEdit> edits[] = {
      {{'b', true, "Group 3", "New Pal", "its alias"}},
      {{'b', false, "Group 3", "newpal", {}}},
      {{'p', true, {}, "another", {}}, {'m', true, {}, "3", {}}, {'g', true, "Last", "Last", {}}},
  };
  for (const auto& e : edits) {
    const auto before = std::filesystem::file_size(dir / "s.db-wal");
    ASSERT_TRUE(store.Apply(
        std::vector<StoredChange>{{StoredChange::Kind::Edits, {"al", "Al", {}, {}}, e}}));
    EXPECT_LE(std::filesystem::file_size(dir / "s.db-wal") - before, 16 * 1024u);
  }
  std::string expected = full;
  expected.replace(0, 3, "m:3");
  expected.insert(expected.find("p:permitted0"), "g:Last\n");
  expected += "p:another\n";
  // p: lines come before d: lines.
  const std::size_t d = expected.find("d:blocked0");
  expected.erase(expected.size() - std::string("p:another\n").size());
  expected.insert(d, "p:another\n");
  EXPECT_EQ(store.Load("al")->lists, expected);
  ASSERT_TRUE(store.Apply(std::vector<StoredChange>{{StoredChange::Kind::Edits,
                                                     {"al", "Al", {}, {}},
                                                     {{'g', false, "Group 0", "Group 0", {}}}}}));
  EXPECT_EQ(store.Load("al")->lists.find("buddy 5:"), std::string::npos) << "gone with its group";
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
    return StoredChange{
        .kind = kind, .row = StoredAccount{std::move(name), {}, {}, {}}, .message = std::move(m)};
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
