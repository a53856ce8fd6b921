// The server on its database, in-process: a full disk is answered, not fatal.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "FlapPeer.h"
#include "ServerThread.h"
#include "TempDir.h"
#include "account_command.h"
#include "service/password_hash.h"
#include "service/password_worker.h"
#include "store/sqlite_account_store.h"

namespace reposa::server::test {
namespace {

using reposa::test::TempDir;

using reposa::test::FlapPeer;
using reposa::test::LoginLine;
using reposa::test::SignOnPayload;

TEST(StoredServer, AFullDatabaseIsAnsweredWithAnErrorAndServingGoesOn) {
  TempDir dir;
  SqliteAccountStore store(dir / "s.db", Limits{});
  const std::string before = "m:1\ng:Old\nb:keeper\ndone:\n";
  ASSERT_TRUE(store.Write([&] { store.SaveLists({"filler", "Filler", {}, before}); }));
  // No room to grow: every later write fails with SQLITE_FULL.
  store.database().Exec("PRAGMA max_page_count = " +
                        std::to_string(store.database().QueryInt("PRAGMA page_count")));
  Limits oneThread;
  oneThread.passwordThreads = 1;
  PasswordWorker worker(oneThread);
  std::set<std::string> acknowledged;
  std::size_t refused = 0;
  constexpr std::size_t kAdded = 50;
  {
    ServerThread server(store, &worker);
    FlapPeer filler(server.port());
    std::string config;
    ASSERT_TRUE(filler.SignOn("Filler", "any", &config));
    EXPECT_EQ(config, before);
    FlapPeer bee(server.port());
    ASSERT_TRUE(bee.SignOn("Bee"));
    // Each buddy is a row of its own; a page's worth of them needs more.
    const std::string alias(64, 'a');
    for (std::size_t i = 0; i < kAdded; ++i)
      filler.SendLine("toc2_new_buddies \"g:Old\nb:pal" + std::to_string(i) + ":" + alias + "\n\"");
    while (acknowledged.size() + refused < kAdded) {
      auto f = filler.ReadFrame();
      ASSERT_TRUE(f);
      if (f->payload == "ERROR:999") ++refused;
      if (f->payload.starts_with("INSERTED2:b:")) {  // INSERTED2:b:<alias>:<buddy>:<group>
        const std::size_t end = f->payload.rfind(':');
        const std::size_t start = f->payload.rfind(':', end - 1) + 1;
        acknowledged.insert(f->payload.substr(start, end - start));
      }
    }
    EXPECT_GT(refused, 0u);
    // Still serving.
    bee.SendLine(R"(toc_send_im "filler" "still there?")");
    EXPECT_FALSE(filler.Expect("IM_IN_ENC2:bee:").empty());
    std::size_t logged = 0;
    for (const std::string& line : server.log())
      logged += line.starts_with("cannot store changes in " + store.path() +
                                 ": database or disk is full");
    EXPECT_EQ(logged, 1u);
  }
  // What was stored before is there, and nothing that was refused.
  const std::string after = store.Load("filler")->lists;
  EXPECT_TRUE(after.starts_with("m:1\ng:Old\nb:keeper\n")) << after;
  for (std::size_t i = 0; i < kAdded; ++i) {
    const std::string name = "pal" + std::to_string(i);
    EXPECT_EQ(after.find("b:" + name + ":") != std::string::npos, acknowledged.count(name) > 0)
        << name;
  }
}

// Passwords are checked on the worker: what a client sends while its check
// runs is handled after it, a wrong password is refused, and a changed one is
// stored as a hash.
TEST(StoredServer, RegisteredPasswordsAreCheckedOffTheLoop) {
  TempDir dir;
  SqliteAccountStore store(dir / "s.db", Limits{});
  AddAccount(store, "Some Body", "right-pw", Limits{});
  PasswordWorker worker(Limits{});  // two threads
  {
    ServerThread server(store, &worker);
    FlapPeer c(server.port());
    c.SendRaw("FLAPON\n\n");
    ASSERT_TRUE(c.ReadFrame());
    c.SendFrame(1, SignOnPayload("somebody"));
    c.SendLine(LoginLine("Some Body", "right-pw"));
    c.SendLine(R"(toc2_new_group "Early")");
    c.SendLine(R"(toc_change_passwd "right-pw" "n3w-pw")");
    EXPECT_EQ(c.Expect("SIGN_ON"), "SIGN_ON:TOC2.0");
    EXPECT_EQ(c.Expect("INSERTED2"), "INSERTED2:g:Early");
    EXPECT_EQ(c.Expect("ADMIN_PASSWD_STATUS"), "ADMIN_PASSWD_STATUS:0");
    for (const char* old : {"right-pw", "wrong-pw"}) {
      FlapPeer refused(server.port());
      EXPECT_EQ(refused.StartSignOn("somebody", old), "ERROR:980") << old;
    }
    FlapPeer again(server.port());
    std::string config;
    ASSERT_TRUE(again.SignOn("somebody", "n3w-pw", &config));
    EXPECT_EQ(config, "m:1\ng:Early\ndone:\n");
  }
  EXPECT_TRUE(VerifyPassword(*store.Load("somebody")->passwordHash, "n3w-pw"));
}

}  // namespace
}  // namespace reposa::server::test
