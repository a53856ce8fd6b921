#include "kez/host/KeepPresent.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kez::host {
namespace {

// A timer fired by hand: "fire" runs the pending call, if any.
class HandTimer final : public Timer {
 public:
  void Start(std::chrono::milliseconds wait, std::function<void()> due) override {
    wait_ = wait;
    due_ = std::move(due);
  }
  void Cancel() override { due_ = nullptr; }
  // What the fire did, as the log shows it.
  bool Fire() {
    std::function<void()> due = std::exchange(due_, nullptr);
    if (due) due();
    return static_cast<bool>(due);
  }
  std::chrono::milliseconds wait_{};

 private:
  std::function<void()> due_;
};

// Runs the steps (separated by commas) on a component whose waits have no
// jitter, and returns what it did: "retry 2s#2" for a retry announced (wait,
// attempt), "signon", "join Den/5", "giveup", "none" for a fire with nothing
// pending, "-" for a lost connection or an error that does nothing. "error"
// is raised during a sign-on, "error-on" while signed on; "wait:S" moves the
// clock S seconds on.
std::string RunSteps(const std::string& steps) {
  HandTimer timer;
  std::vector<std::string> log;
  Backoff::Clock::time_point now{};
  KeepPresent keep(timer,
                   {[&] { log.push_back("signon"); },
                    [&](const JoinTarget& room) {
                      log.push_back("join " + room.room + "/" + std::to_string(room.exchange));
                    }},
                   Backoff({.jitter = 0}, 1), [&now] { return now; });
  auto room = [](const std::string& text) {
    const std::size_t slash = text.find('/');
    return JoinTarget{text.substr(0, slash),
                      static_cast<std::int16_t>(std::stoi(text.substr(slash + 1)))};
  };
  std::istringstream in(steps);
  for (std::string step; std::getline(in, step, ',');) {
    const std::size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (verb == "on" || verb == "off") keep.SetEnabled(verb == "on");
    if (verb == "in") keep.LoggedIn();
    if (verb == "out") keep.LoggedOut();
    if (verb == "hand") keep.SignOnByHand();
    if (verb == "want") keep.Want(room(arg));
    if (verb == "ask") keep.JoinRequested(room(arg));
    if (verb == "joined") keep.JoinedChat(arg.substr(0, arg.find('/')), room(arg).exchange);
    if (verb == "left") keep.LeftChat(std::stoi(arg));
    if (verb == "error" || verb == "error-on") {
      const SessionState state = verb == "error" ? SessionState::SigningOn : SessionState::SignedOn;
      log.push_back(keep.Error(static_cast<std::int16_t>(std::stoi(arg)), "", state) ? "giveup"
                                                                                     : "-");
    }
    if (verb == "wait") now += std::chrono::seconds(std::stoi(arg));
    if (verb == "fire" && !timer.Fire()) log.push_back("none");
    if (verb == "lost") {
      const auto retry = keep.Lost();
      log.push_back(retry ? "retry " + std::to_string(static_cast<int>(retry->ShownSeconds())) +
                                "s#" + std::to_string(retry->attempt)
                          : "-");
      if (retry) {
        EXPECT_EQ(timer.wait_, std::chrono::ceil<std::chrono::milliseconds>(retry->wait));
      }
    }
  }
  std::string text;
  for (const std::string& entry : log) text += (text.empty() ? "" : ", ") + entry;
  return text;
}

TEST(KeepPresent, RetriesRejoinsAndGivesUpByOneRule) {
  const struct {
    const char* steps;
    const char* did;
  } rows[] = {
      // Off (the window without --reconnect): a lost connection stays lost.
      {"lost,fire", "-, none"},
      {"error:980", "-"},
      // On: each wait doubles until a session that lasted a minute starts
      // them over; one retry waits at a time.
      {"on,lost,lost,fire", "retry 1s#1, -, signon"},
      {"on,lost,fire,lost,fire,lost", "retry 1s#1, signon, retry 2s#2, signon, retry 4s#3"},
      {"on,lost,fire,lost,in,wait:60,lost", "retry 1s#1, signon, retry 2s#2, retry 1s#1"},
      {"on,lost,fire,lost,in,wait:59,lost", "retry 1s#1, signon, retry 2s#2, retry 4s#3"},
      {"on,in,lost,fire,in,lost,fire,in,wait:60,lost",
       "retry 1s#1, signon, retry 2s#2, signon, retry 1s#1"},
      {"on,error:983,lost", "-, retry 150s#1"},
      // What stops a waiting retry: signing off, the user's own sign-on,
      // turning it off, and a refused account (which stays refused until a
      // sign-on succeeds).
      {"on,lost,out,fire,lost", "retry 1s#1, none, -"},
      {"on,out,in,lost", "retry 1s#1"},
      {"on,lost,hand,fire,lost", "retry 1s#1, none, retry 2s#2"},
      {"on,lost,off,fire", "retry 1s#1, none"},
      {"on,lost,error:980,fire,lost", "retry 1s#1, giveup, none, -"},
      {"on,error:989,in,lost", "giveup, retry 1s#1"},
      {"on,error:983,error:901", "-, -"},
      // An error while signed on answers a command (a refused password
      // change is 980): it stops nothing.
      {"on,in,error-on:980,lost", "-, retry 1s#1"},
      // Rooms: on, every room the session was in, with the exchange it was
      // asked with and in name order, left ones excepted; off, the wanted
      // rooms only.
      {"on,want:Lobby/4,ask:Den/5,joined:Den/2,joined:Lobby/1,in,fire", "join Den/5, join Lobby/4"},
      {"on,ask:Den/5,joined:Den/2,want:Lobby/6,left:2,in,fire", "join Lobby/6"},
      {"on,ask:Den/5,joined:Den/2,left:2,in,fire", "none"},
      {"on,ask:My Room/5,joined:myroom/2,joined:Other/3,in,fire", "join myroom/5, join Other/4"},
      {"want:Lobby/4,ask:Den/5,joined:Den/2,in,fire", "join Lobby/4"},
      {"ask:Den/5,joined:Den/2,in,fire", "none"},
      // The joins wait for a later turn; a lost connection replaces them.
      {"on,want:Lobby/4,in,lost,fire", "retry 1s#1, signon"},
  };
  for (const auto& row : rows) EXPECT_EQ(RunSteps(row.steps), row.did) << row.steps;
}

}  // namespace
}  // namespace kez::host
