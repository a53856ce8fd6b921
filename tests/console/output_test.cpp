#include "output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace reposa::console {
namespace {

using json = nlohmann::ordered_json;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// A queue writing into a small pipe whose reader the test plays.
class OutputQueueTest : public testing::Test {
 protected:
  OutputQueueTest() {
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    out = std::make_unique<OutputQueue>(loop, fds[1], 8192,
                                        [this](bool full) { fullness.push_back(full); });
  }
  ~OutputQueueTest() override {
    out.reset();
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  void StartReading() { ::fcntl(fds[0], F_SETFL, O_NONBLOCK); }
  // Reads until the queue is empty: the lines written, parsed.
  std::vector<json> ReadToTheEnd() {
    StartReading();
    std::string got;
    while (out->QueuedBytes() > 0) {
      got += ReadAll(fds[0]);
      loop.RunOnce(std::chrono::milliseconds(10));
    }
    got += ReadAll(fds[0]);
    std::vector<json> lines;
    for (std::size_t at = 0, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(json::parse(got.substr(at, end - at)));
    return lines;
  }

  int fds[2] = {-1, -1};
  kez::posix::EventLoop loop;
  std::vector<bool> fullness;
  std::unique_ptr<OutputQueue> out;
};

// A reader that stalls: the pipe fills, the queue takes the rest without
// blocking, and past its bound it loses the oldest events only, counted by
// one notice in their place; results and errors all arrive, in order.
TEST_F(OutputQueueTest, AStalledReaderCostsOldEventsOnlyAndOneNoticeCountsThem) {
  const std::string text(100, 'x');
  for (int i = 0; i < 400; ++i) {
    out->Write(json{{"event", "ChatMessage"}, {"args", {i, text}}});
    if (i % 100 == 0) out->Write(json{{"result", i}});
  }
  out->Write(json{{"error", "last"}});
  EXPECT_LE(out->QueuedBytes(), 8192u);
  const std::vector<json> lines = ReadToTheEnd();

  int events = 0, notices = 0, dropped = 0, lastEvent = -1;
  std::vector<int> results;
  for (const json& line : lines) {
    if (line.contains("event")) {
      EXPECT_GT(line["args"][0].get<int>(), lastEvent) << "events stay in order";
      lastEvent = line["args"][0].get<int>();
      ++events;
    } else if (line.contains("notice")) {
      ++notices;
      dropped += line["lines"].get<int>();
    } else if (line.contains("result")) {
      results.push_back(line["result"].get<int>());
    }
  }
  EXPECT_EQ(results, (std::vector<int>{0, 100, 200, 300}));
  EXPECT_EQ(lines.back(), json({{"error", "last"}}));
  EXPECT_GE(notices, 1);
  EXPECT_EQ(events + dropped, 400) << "every dropped line is counted";
  EXPECT_EQ(lastEvent, 399) << "the newest events survive";
  EXPECT_TRUE(fullness.empty()) << "events alone never stop the input";
}

// Results alone past the bound pause the input; drained to half, it resumes.
// A reader that has gone makes the queue give up, never the program.
TEST_F(OutputQueueTest, ResultsPastTheBoundPauseInputAndAGoneReaderIsNoFault) {
  for (int i = 0; i < 200 && fullness.empty(); ++i)
    out->Write(json{{"result", std::string(90, 'r')}});
  EXPECT_EQ(fullness, std::vector<bool>{true});
  StartReading();
  while (out->QueuedBytes() > 4096) {
    ReadAll(fds[0]);
    loop.RunOnce(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(fullness, (std::vector<bool>{true, false}));
  ::signal(SIGPIPE, SIG_IGN);  // as the program does
  ::close(fds[0]);
  fds[0] = -1;
  out->Write(json{{"result", 1}});
  for (int i = 0; i < 5 && !out->Broken(); ++i) loop.RunOnce(std::chrono::milliseconds(10));
  EXPECT_TRUE(out->Broken());
  EXPECT_EQ(out->QueuedBytes(), 0u);
}

// Two sources, one flooding: the events dropped are the flood's, never the
// quiet source's, even those older than every flood line kept.
TEST_F(OutputQueueTest, AFloodingSourceLosesItsOwnEventsOnly) {
  const std::string text(100, 'x');
  for (int i = 0; i < 400; ++i) {
    if (i % 80 == 0) out->Write(json{{"event", "Quiet"}, {"args", {i}}}, 0);
    out->Write(json{{"event", "Flood"}, {"args", {i, text}}}, 1);
  }
  const std::vector<json> lines = ReadToTheEnd();
  std::vector<int> quiet;
  int flood = 0;
  for (const json& line : lines) {
    if (line.value("event", "") == "Quiet") quiet.push_back(line["args"][0].get<int>());
    flood += line.value("event", "") == "Flood";
  }
  EXPECT_EQ(quiet, (std::vector<int>{0, 80, 160, 240, 320}));
  EXPECT_LT(flood, 400) << "the flood did overflow the queue";
}

}  // namespace
}  // namespace reposa::console
