#include "service/service.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <functional>

#include "ServiceFixture.h"
#include "service/password_hash.h"
#include "service/password_worker.h"
#include "service/stored_lists.h"

namespace reposa::server::test {
namespace {

using ServiceTest = ServiceFixture;

TEST_F(ServiceTest, SignOnSendsNickAndStoredConfiguration) {
  ASSERT_TRUE(service.SignOn(1, "Some Body", "pw"));
  EXPECT_EQ(Take(1), (Msgs{"SIGN_ON:TOC2.0", "NICK:Some Body", "CONFIG2:m:1\ndone:\n"}));
  Run(1, "toc2_new_buddies \"g:Buddies\nb:Pal One\n\"");
  Run(1, "toc2_set_pdmode 4");
  Run(1, R"(toc2_add_deny "pest")");
  service.Ended(1);
  out.Take(1);
  // The lists outlive the session; the name keeps the form first typed.
  ASSERT_TRUE(service.SignOn(2, "somebody", "other"));
  EXPECT_EQ(Take(2), (Msgs{"SIGN_ON:TOC2.0", "NICK:Some Body",
                           "CONFIG2:m:4\ng:Buddies\nb:Pal One\nd:pest\ndone:\n"}));
}

TEST_F(ServiceTest, LongConfigurationComesInSeveralMessages) {
  On(1, "pal");
  for (int g = 0; g < 3; ++g)
    Run(1, "toc2_new_buddies \"g:Group" + std::to_string(g) + "\nb:buddy" + std::to_string(g) +
               "a\nb:buddy" + std::to_string(g) + "b\n\"");
  service.Ended(1);
  out.Take(1);
  ASSERT_TRUE(service.SignOn(2, "pal", "pw", {}, 40));
  const Msgs m = Take(2);
  ASSERT_GT(m.size(), 4u);
  std::string joined;
  for (std::size_t i = 2; i < m.size(); ++i) {
    EXPECT_LE(m[i].size(), 40u);
    ASSERT_TRUE(m[i].starts_with("CONFIG2:"));
    EXPECT_EQ(m[i].find("done:\n") != std::string::npos, i + 1 == m.size()) << m[i];
    joined += m[i].substr(8);
  }
  EXPECT_EQ(joined,
            "m:1\ng:Group0\nb:buddy0a\nb:buddy0b\ng:Group1\nb:buddy1a\nb:buddy1b\n"
            "g:Group2\nb:buddy2a\nb:buddy2b\ndone:\n");
}

TEST_F(ServiceTest, ClosedDirectoryChecksPasswordsAndQuotesOnlyItsNames) {
  Directory closed(limits, std::vector<AccountEntry>{{"Some Body", "right"}});
  std::string log;
  std::int64_t clock = 0;
  Service s(
      closed, out, [&] { return clock; }, limits,
      [&](std::string_view line) { log.append(line).push_back('\n'); });
  EXPECT_FALSE(s.SignOn(1, "somebody", "wrong"));
  EXPECT_FALSE(s.SignOn(2, "stranger", "right"));
  EXPECT_FALSE(s.SignOn(3, "bad:name", "right"));
  EXPECT_TRUE(out.sent.empty());
  EXPECT_EQ(log,
            "sign-on refused for \"somebody\" (session 1)\n"
            "sign-on refused for an unknown or malformed screen name (session 2)\n"
            "sign-on refused for an unknown or malformed screen name (session 3)\n");
  ASSERT_TRUE(s.SignOn(4, "somebody", "right"));
  EXPECT_EQ(Take(4)[1], "NICK:Some Body");
  const struct {
    std::string line;
    Msgs answer;
  } rows[] = {
      {R"(toc_change_passwd "wrong" "new")", {"ERROR:980"}},
      {R"(toc_change_passwd "right" "")", {"ERROR:911"}},
      {R"(toc_change_passwd "right" "new")", {"ADMIN_PASSWD_STATUS:0"}},
      {R"(toc_change_passwd "right" "newer")", {"ERROR:980"}},
  };
  for (const auto& r : rows) {
    s.Command(4, *ParseCommandLine(r.line));
    EXPECT_EQ(Take(4), r.answer) << r.line;
  }
  s.Ended(4);
  clock += 60;  // password changes belong to the name: its allowance comes back
  EXPECT_FALSE(s.SignOn(5, "somebody", "right"));
  ASSERT_TRUE(s.SignOn(6, "somebody", "new"));
  // A third wrong old password in one session ends it.
  for (int i = 0; i < 3; ++i) s.Command(6, *ParseCommandLine(R"(toc_change_passwd "guess" "x")"));
  EXPECT_EQ(out.ended, std::vector<SessionId>{6});
}

// A sign-on whose password is still being checked when the host gives the
// account a new password, or removes it, is refused: the check was against
// a password that no longer counts.
TEST_F(ServiceTest, ASignOnCheckedAgainstAReplacedPasswordIsRefused) {
  const std::function<void(Service&)> changes[] = {
      [](Service& s) { s.AccountRegistered("Some Body", HashPassword("new", Limits{})); },
      [](Service& s) { s.AccountRemoved("somebody"); },
      [](Service&) {},  // nothing changed: admitted
  };
  PasswordWorker worker(limits);
  for (const auto& change : changes) {
    Directory closed(limits, std::vector<AccountEntry>{{"Some Body", "right"}});
    Service s(
        closed, out, [] { return 0; }, limits);
    s.UseStore(nullptr, &worker);
    out.verdicts.clear();
    ASSERT_EQ(s.SignOn(1, "somebody", "right"), kSignOnPending);
    change(s);
    for (int i = 0; i < 100 && out.verdicts.empty(); ++i) {
      pollfd p{worker.fd(), POLLIN, 0};
      if (::poll(&p, 1, 100) == 1) worker.Collect();
    }
    ASSERT_EQ(out.verdicts.size(), 1u);
    EXPECT_EQ(out.verdicts[0].second, &change == &changes[2]);
  }
}

// A password change whose old password is still being checked when the
// host gives the account another password leaves the host's in place.
TEST_F(ServiceTest, APasswordChangeCheckedAgainstAReplacedPasswordChangesNothing) {
  PasswordWorker worker(limits);
  Directory closed(limits, std::vector<AccountEntry>{{"Some Body", "right"}});
  Service s(
      closed, out, [] { return 0; }, limits);
  s.UseStore(nullptr, &worker);
  auto settle = [&] {
    for (int i = 0; i < 100 && worker.pending() > 0; ++i) {
      pollfd p{worker.fd(), POLLIN, 0};
      if (::poll(&p, 1, 100) == 1) worker.Collect();
    }
  };
  ASSERT_EQ(s.SignOn(1, "somebody", "right"), kSignOnPending);
  settle();
  ASSERT_EQ(out.verdicts, (std::vector<std::pair<SessionId, bool>>{{1, true}}));
  s.Command(1, *ParseCommandLine("toc_init_done"));
  out.Take(1);
  s.Command(1, *ParseCommandLine("toc_change_passwd right mine"));
  s.AccountRegistered("Some Body", HashPassword("the host's", limits));
  settle();
  EXPECT_EQ(out.Take(1), (Msgs{"ERROR:980"}));
  EXPECT_TRUE(VerifyPassword(*closed.Find("somebody")->passwordHash, "the host's"));
}

// A flood of one command costs a bounded amount: repeats of an invitee count
// once, presence changes past the rate are dropped with ERROR:903, and a
// command with too many arguments is refused whole.
TEST_F(ServiceTest, FloodsAreCutToTheirLimits) {
  On(1, "Al");
  On(2, "Bo");
  Run(1, R"(toc_chat_join "4" "Room")");
  Take(1);
  std::string many = "bo";
  for (int i = 0; i < 2000; ++i) many += ",bo";
  Run(1, "toc_chat_invite \"1\" \"hi\" \"" + many + "\"");
  EXPECT_EQ(Take(2), (Msgs{"CHAT_INVITE:Room:1:Al:hi"}));
  std::string twentyOne;
  for (int i = 0; i <= 20; ++i) twentyOne += " \"u" + std::to_string(i) + "\"";
  Run(1, "toc_chat_invite \"1\" \"hi\"" + twentyOne);
  EXPECT_EQ(Take(1), (Msgs{"ERROR:911"}));
  std::string args;
  for (int i = 0; i <= 128; ++i) args += " \"n" + std::to_string(i) + "\"";
  Run(1, "toc2_add_deny" + args);
  EXPECT_EQ(Take(1), (Msgs{"ERROR:911"}));
  for (int i = 0; i < 10; ++i) Run(1, "toc_set_idle 60");
  Take(1);
  Run(1, "toc_set_idle 60");
  EXPECT_EQ(Take(1), (Msgs{"ERROR:903"}));
  ++now;  // one more a second
  Run(1, "toc_set_idle 60");
  Run(1, "toc_set_away \"out\"");
  EXPECT_EQ(Take(1), (Msgs{"ERROR:903"}));
}

TEST_F(ServiceTest, SecondSignOnEndsTheFirstSession) {
  On(1, "pal");
  On(9, "watcher");
  Run(9, "toc2_new_buddies \"g:G\nb:pal\n\"");
  Take(9);
  Run(1, R"(toc_chat_join "4" "Room")");
  On(2, "Pal");
  EXPECT_EQ(out.ended, std::vector<SessionId>{1});
  Run(1, R"(toc_send_im "watcher" "from the old session")");  // ignored
  EXPECT_EQ(Take(9), (Msgs{"UPDATE_BUDDY2:pal:T:0:1700000000:0: O"}));
  service.Ended(1);  // the old connection closing does not sign the name off
  EXPECT_TRUE(Take(9).empty());
}

TEST_F(ServiceTest, WatchersHearPresenceChanges) {
  On(1, "watcher");
  Run(1, "toc2_new_buddies \"g:Buddies\nb:Pal One\n\"");
  EXPECT_EQ(Take(1), (Msgs{"INSERTED2:g:Buddies", "INSERTED2:b::Pal One:Buddies"}));
  On(2, "Pal One");
  EXPECT_EQ(Take(1), (Msgs{"UPDATE_BUDDY2:Pal One:T:0:1700000000:0: O"}));
  const struct {
    std::string line;  // by Pal One; empty: sign off
    Msgs watcher;
  } steps[] = {
      {R"(toc_set_away "gone")", {"UPDATE_BUDDY2:Pal One:T:0:1700000000:0: OU"}},
      {R"(toc_set_away "still gone")", {}},
      {R"(toc_set_idle "180")", {"UPDATE_BUDDY2:Pal One:T:0:1700000000:3: OU"}},
      {R"(toc_set_away)", {"UPDATE_BUDDY2:Pal One:T:0:1700000000:3: O"}},
      {R"(toc_set_idle "0")", {"UPDATE_BUDDY2:Pal One:T:0:1700000000:0: O"}},
      {R"(toc_set_caps "09461343-4C7F-11D1-8222-444553540000")",
       {"BUDDY_CAPS2:Pal One:09461343-4C7F-11D1-8222-444553540000"}},
      {R"(toc_format_nickname "PAL one")", {"UPDATE_BUDDY2:PAL one:T:0:1700000000:0: O"}},
      {"toc2_set_pdmode 2", {"UPDATE_BUDDY2:PAL one:F:0:0:0: O"}},
      {"toc2_set_pdmode 1",
       {"UPDATE_BUDDY2:PAL one:T:0:1700000000:0: O",
        "BUDDY_CAPS2:PAL one:09461343-4C7F-11D1-8222-444553540000"}},
      {R"(toc2_add_deny "watcher")", {}},
      {"toc2_set_pdmode 4", {"UPDATE_BUDDY2:PAL one:F:0:0:0: O"}},
      {R"(toc2_remove_deny "watcher")",
       {"UPDATE_BUDDY2:PAL one:T:0:1700000000:0: O",
        "BUDDY_CAPS2:PAL one:09461343-4C7F-11D1-8222-444553540000"}},
      {"", {"UPDATE_BUDDY2:PAL one:F:0:0:0: O"}},
  };
  for (const auto& step : steps) {
    if (step.line.empty()) {
      service.Ended(2);
    } else {
      Run(2, step.line);
    }
    EXPECT_EQ(Take(1), step.watcher) << step.line;
  }
}

TEST_F(ServiceTest, SigningOnBringsTheStateOfOnlineBuddies) {
  On(2, "pal");
  Run(2, R"(toc_set_caps "cap1" "cap2")");
  On(3, "hidden");
  Run(3, "toc2_set_pdmode 5");  // only its buddies may see it
  ASSERT_TRUE(service.SignOn(1, "watcher", "pw"));
  Run(1, "toc2_new_buddies \"g:G\nb:pal\nb:hidden\nb:offline\n\"");
  Take(1);
  Run(1, "toc_init_done");
  EXPECT_EQ(Take(1), (Msgs{"UPDATE_BUDDY2:pal:T:0:1700000000:0: O", "BUDDY_CAPS2:pal:cap1,cap2"}));
  // Adding a buddy who is on tells at once.
  Run(3, "toc2_new_buddies \"g:Mine\nb:watcher\n\"");
  Take(3);
  EXPECT_EQ(Take(1), (Msgs{"UPDATE_BUDDY2:hidden:T:0:1700000000:0: O"}));
}

TEST_F(ServiceTest, InstantMessagesReachWhoMayBeWritten) {
  On(1, "Al");
  On(2, "Bo");
  On(3, "Cy");
  Run(3, "toc2_set_pdmode 3");  // only permitted names
  Run(3, R"(toc2_add_permit "al")");
  Take(3);
  const struct {
    SessionId from;
    std::string line;
    Msgs toSender;
    SessionId to;
    Msgs toTarget;
  } rows[] = {
      {1,
       R"(toc_send_im "bo" "hi: \"there\" \\ \$ <b>x</b>")",
       {},
       2,
       {R"(IM_IN_ENC2:Al:F:F:F: O:F:F:F:hi: "there" \ $ <b>x</b>)"}},
      {1,
       R"(toc_send_im "B O" "auto reply" auto)",
       {},
       2,
       {"IM_IN_ENC2:Al:T:F:F: O:F:F:F:auto reply"}},
      {1, R"(toc_send_im "bo" "x" automatic)", {"ERROR:911"}, 2, {}},
      {1, R"(toc_send_im "nobody" "x")", {"ERROR:901:nobody"}, 2, {}},
      {2, R"(toc_send_im "cy" "not permitted")", {"ERROR:901:cy"}, 3, {}},
      {1, R"(toc_send_im "cy" "permitted")", {}, 3, {"IM_IN_ENC2:Al:F:F:F: O:F:F:F:permitted"}},
      {3, R"(toc_send_im "bo" "to one I hide from")", {"ERROR:901:bo"}, 2, {}},
      {1, R"(toc_send_im "al" "to myself")", {"IM_IN_ENC2:Al:F:F:F: O:F:F:F:to myself"}, 2, {}},
  };
  for (const auto& r : rows) {
    Run(r.from, r.line);
    EXPECT_EQ(Take(r.from), r.toSender) << r.line;
    EXPECT_EQ(Take(r.to), r.toTarget) << r.line;
  }
}

TEST_F(ServiceTest, WarningsNeedAMessageFirstAndRaiseTheLevel) {
  On(1, "Al");
  On(2, "Bo");
  On(3, "watcher");
  Run(3, "toc2_new_buddies \"g:G\nb:al\n\"");
  Take(3);
  Run(2, R"(toc_evil "al" "norm")");
  EXPECT_EQ(Take(2), (Msgs{"ERROR:902:al"}));
  Run(1, R"(toc_send_im "bo" "spam")");
  Take(2);
  Run(2, R"(toc_evil "al" "loud")");
  EXPECT_EQ(Take(2), (Msgs{"ERROR:911"}));
  Run(2, R"(toc_evil "al" "norm")");
  EXPECT_EQ(Take(1), (Msgs{"EVILED:10:Bo"}));
  EXPECT_EQ(Take(3), (Msgs{"UPDATE_BUDDY2:Al:T:10:1700000000:0: O"}));
  Run(2, R"(toc_evil "al" "norm")");  // once for each message
  EXPECT_EQ(Take(2), (Msgs{"ERROR:902:al"}));
  Run(1, R"(toc_send_im "bo" "spam")");
  Run(2, R"(toc_evil "al" "anon")");
  EXPECT_EQ(Take(1), (Msgs{"EVILED:13:"}));
}

TEST_F(ServiceTest, ProfileAndStatusRequests) {
  On(1, "Al");
  On(2, "Bo");
  Run(1, R"(toc_set_info "<i>about me</i>")");
  Run(1, R"(toc_set_away "out")");
  now += 600;
  Run(2, R"(toc_get_info "al")");
  const Msgs m = Take(2);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0],
            "GOTO_URL:profile:data:text/html;charset=utf-8,%3Chtml%3E%3Cbody%3E%3Cb%3EUsername%3A"
            "%3C%2Fb%3E%20Al%3Cbr%3E%3Cb%3EWarning%20Level%3A%3C%2Fb%3E%200%25%3Cbr%3E%3Cb%3E"
            "Online%20Time%3A%3C%2Fb%3E%2010%20minutes%3Cbr%3E%3Cb%3EAway%3A%3C%2Fb%3E%20out%3Chr"
            "%3E%3Ci%3Eabout%20me%3C%2Fi%3E%3C%2Fbody%3E%3C%2Fhtml%3E");
  Run(2, R"(toc_get_info "nobody")");
  Run(2, R"(toc_get_status "AL")");
  Run(2, R"(toc_get_status "nobody")");
  EXPECT_EQ(Take(2), (Msgs{"ERROR:901:nobody", "UPDATE_BUDDY2:Al:T:0:1700000000:0: OU",
                           "ERROR:901:nobody"}));
}

// One session's commands in order, each with what comes back to it.
TEST_F(ServiceTest, ListAndAccountCommandsAnswerTheirSender) {
  On(1, "Some Body", "pw");
  const struct {
    std::string line;
    Msgs answer;
  } rows[] = {
      {R"(toc2_new_group "Work")", {"INSERTED2:g:Work"}},
      {R"(toc2_new_group "Work")", {}},
      {R"(toc2_new_group "ends in done:")", {"ERROR:911"}},
      {"toc2_new_buddies \"g:Work\nb:Pal One\nb:pal2:Alias\n\"",
       {"INSERTED2:b::Pal One:Work", "INSERTED2:b:Alias:pal2:Work"}},
      {"toc2_new_buddies \"g:Work\nb:palone\n\"", {}},
      {"toc2_new_buddies \"{g:Home\nb:pal3\n}\"", {"INSERTED2:g:Home", "INSERTED2:b::pal3:Home"}},
      {"toc2_new_buddies \"b:orphan\n\"", {"ERROR:911"}},
      {"toc2_new_buddies \"g:X\nb:bad,name\n\"", {"ERROR:911"}},
      {"toc2_new_buddies \"g:X\nq:what\n\"", {"ERROR:911"}},
      {R"(toc2_remove_buddy "PalOne" "Work")", {"DELETED2:b:PalOne:Work"}},
      {R"(toc2_remove_buddy "palone" "Work")", {}},
      {R"(toc2_del_group "Work")", {"DELETED2:b:pal2:Work", "DELETED2:g:Work"}},
      {R"(toc2_del_group "Work")", {}},
      {R"(toc2_add_deny "pest" "Other One")", {"INSERTED2:d:pest", "INSERTED2:d:otherone"}},
      {R"(toc2_remove_deny "pest")", {"DELETED2:d:pest"}},
      {R"(toc2_add_permit "friend")", {"INSERTED2:p:friend"}},
      {R"(toc2_remove_permit "friend")", {"DELETED2:p:friend"}},
      {R"(toc2_add_permit "a:b")", {"ERROR:911"}},
      {"toc2_set_pdmode 3", {}},
      {"toc2_set_pdmode 0", {"ERROR:911"}},
      {"toc2_set_pdmode x", {"ERROR:911"}},
      {R"(toc_format_nickname "SOME body")", {"ADMIN_NICK_STATUS:0", "NICK:SOME body"}},
      {R"(toc_format_nickname "Someone Else")", {"ERROR:911"}},
      // An open server keeps no passwords: setting one would lock out
      // whoever owns the name.
      {R"(toc_change_passwd "pw" "new")", {"ERROR:980"}},
      {R"(toc_set_idle "-60")", {"ERROR:911"}},
      {R"(toc_set_info "profile")", {}},
      {"toc_no_such_command", {"ERROR:911"}},
      {R"(toc_get_status)", {"ERROR:911"}},
      {R"(toc_get_status "a" "b")", {"ERROR:911"}},
      {R"(toc2_login x 5190 a 0x00)", {"ERROR:911"}},
  };
  for (const auto& r : rows) {
    Run(1, r.line);
    EXPECT_EQ(Take(1), r.answer) << r.line;
  }
  service.Ended(1);
  out.Take(1);
  // The lists stay with the account.
  ASSERT_TRUE(service.SignOn(2, "somebody", "other"));
  EXPECT_EQ(Take(2), (Msgs{"SIGN_ON:TOC2.0", "NICK:SOME body",
                           "CONFIG2:m:3\ng:Home\nb:pal3\nd:otherone\ndone:\n"}));
}

}  // namespace
}  // namespace reposa::server::test
