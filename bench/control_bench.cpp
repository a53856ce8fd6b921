// The control's other hot spots: a long stored configuration, stripping tags
// from a long message (against the rescanning loop as the baseline), and
// building each command line.

#include <benchmark/benchmark.h>

#include <functional>

#include "ReplaySocket.h"
#include "RescanningHtml.h"
#include "Wire.h"
#include "kez/KezTOCSock.h"
#include "wire.h"

namespace kez::bench {
namespace {

// 10,000 buddies in 20 groups, split over CONFIG2 messages as a server would.
void BM_Config2TenThousandBuddies(benchmark::State& state) {
  std::string text = "m:1\n";
  for (int i = 0; i < 10000; ++i) {
    if (i % 500 == 0) text += "g:Group " + std::to_string(i / 500) + "\n";
    text += "b:buddy" + std::to_string(i) + "\n";
  }
  text += "done:\n";
  std::string stream;
  for (std::size_t pos = 0; pos < text.size(); pos += 8000)
    stream += test::Data("CONFIG2:" + text.substr(pos, 8000));
  KezTOCSockEvents silent;
  auto socket = std::make_unique<ReplaySocket>();
  ReplaySocket* sock = socket.get();
  KezTOCSock control(std::move(socket), &silent);
  sock->Connected();
  for (auto _ : state) sock->Arrive(stream);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_Config2TenThousandBuddies)->Unit(benchmark::kMillisecond);

// Text of `bytes` bytes with a tag every ten bytes.
std::string Tagged(std::size_t bytes) {
  std::string text;
  text.reserve(bytes + 16);
  while (text.size() < bytes) text += "<b>hi</b> ";
  return text;
}

void BM_RemoveHtml(benchmark::State& state) {
  const std::string text = Tagged(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(wire::RemoveHtml(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RemoveHtml)->Arg(200 << 10)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

void BM_RemoveHtmlBaseline(benchmark::State& state) {
  const std::string text = Tagged(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(test::RescanningRemoveHtml(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RemoveHtmlBaseline)->Arg(200 << 10)->Unit(benchmark::kMillisecond);

// Every command method, building and framing its line on a connected socket.
void BM_Commands(benchmark::State& state) {
  const std::function<void(KezTOCSock&)> commands[] = {
      [](KezTOCSock& c) { c.JoinChat(" Some Room ", 4); },
      [](KezTOCSock& c) { c.LeaveChat("", 1234); },
      [](KezTOCSock& c) { c.SendChat("", "hello (everyone) in $room", 1234); },
      [](KezTOCSock& c) { c.GetProfile("Some Body"); },
      [](KezTOCSock& c) { c.SendIM("Some Body", "<b>are you there?</b> \"quoted\"", false); },
      [](KezTOCSock& c) { c.ChangePassword("old", "new"); },
      [](KezTOCSock& c) { c.FormatUserName("Some Body"); },
      [](KezTOCSock& c) { c.SetAwayMessage("away [back soon]"); },
      [](KezTOCSock& c) { c.SetProfile("a profile of some length, with {braces}"); },
      [](KezTOCSock& c) { c.GetStatus("Some Body"); },
      [](KezTOCSock& c) { c.SetIdleTime(10); },
      [](KezTOCSock& c) { c.AcceptChatInvite(1234); },
      [](KezTOCSock& c) { c.InviteUsers("", "join us", "Some Body, Other One", 1234); },
      [](KezTOCSock& c) { c.WarnUser("Some Body", true); },
      [](KezTOCSock& c) { c.AddBuddy("Friends", "Some Body"); },
      [](KezTOCSock& c) { c.RemoveBuddy("Friends", "Some Body"); },
      [](KezTOCSock& c) { c.AddGroup("Friends"); },
      [](KezTOCSock& c) { c.RemoveGroup("Friends"); },
      [](KezTOCSock& c) { c.BlockUser("Some Body"); },
      [](KezTOCSock& c) { c.UnblockUser("Some Body"); },
      [](KezTOCSock& c) { c.AddPrivateUser("Some Body"); },
      [](KezTOCSock& c) { c.RemovePrivateUser("Some Body"); },
      [](KezTOCSock& c) { c.SetPrivacy(3); },
      [](KezTOCSock& c) { c.SetCapability("09461343-4C7F-11D1-8222-444553540000"); },
  };
  const auto& command = commands[state.range(0)];
  auto socket = std::make_unique<ReplaySocket>();
  ReplaySocket* sock = socket.get();
  KezTOCSock control(std::move(socket));
  // Commands go out once the control has answered the server's sign-on.
  sock->Connected();
  sock->Arrive(test::Frame(1, std::string("\0\0\0\1", 4)));
  sock->sent = 0;
  for (auto _ : state) command(control);
  if (sock->sent == 0) state.SkipWithError("the command sent nothing");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Commands)->DenseRange(0, 23);

}  // namespace
}  // namespace kez::bench

BENCHMARK_MAIN();
