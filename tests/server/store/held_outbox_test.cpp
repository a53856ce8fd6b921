#include "store/held_outbox.h"

#include <gtest/gtest.h>

#include "RecordingOutbox.h"

namespace reposa::server::test {
namespace {

using Msgs = std::vector<std::string>;

struct Fixture {
  RecordingOutbox out;
  HeldOutbox held{out};
  // One turn: a message, then two commands' acknowledgements to session 1
  // (command 7 twice, then command 8 empty) with a message to 2 between,
  // and a wait for session 1's output to drain.
  void Turn() {
    held.Deliver(1, "before");
    held.Hold();
    held.Acknowledge(1, 7, "INSERTED2:g:A");
    held.Acknowledge(1, 7, "INSERTED2:b::x:A");
    held.Deliver(2, "UPDATE_BUDDY2:x");
    held.Acknowledge(1, 8, "");
    held.Deliver(1, "after");
    held.AwaitDrain(1);
    held.EndSession(3, "abuse");
  }
};

TEST(HeldOutbox, HoldsEverythingInOrderUntilTheTurnIsStored) {
  Fixture f;
  f.Turn();
  EXPECT_EQ(f.out.sent.size(), 1u);
  EXPECT_TRUE(f.out.ended.empty());
  EXPECT_TRUE(f.out.drains.empty());
  f.held.Release(true, "ERROR:999");
  EXPECT_EQ(f.out.Take(1), (Msgs{"before", "INSERTED2:g:A", "INSERTED2:b::x:A", "after"}));
  EXPECT_EQ(f.out.Take(2), (Msgs{"UPDATE_BUDDY2:x"}));
  EXPECT_EQ(f.out.ended, std::vector<SessionId>{3});
  EXPECT_EQ(f.out.drains, std::vector<SessionId>{1});
  // Not holding: straight through, an empty acknowledgement is nothing.
  f.held.Acknowledge(1, 9, "");
  f.held.Acknowledge(1, 9, "ADMIN_NICK_STATUS:0");
  EXPECT_EQ(f.out.Take(1), (Msgs{"ADMIN_NICK_STATUS:0"}));
}

TEST(HeldOutbox, WhenStoringFailsEachCommandGetsOneErrorInsteadOfItsAnswers) {
  Fixture f;
  f.Turn();
  f.held.Release(false, "ERROR:999");
  EXPECT_EQ(f.out.Take(1), (Msgs{"before", "ERROR:999", "ERROR:999", "after"}));
  EXPECT_EQ(f.out.Take(2), (Msgs{"UPDATE_BUDDY2:x"}));
}

}  // namespace
}  // namespace reposa::server::test
