#include "line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

namespace reposa::console {
namespace {

using namespace std::chrono_literals;

TEST(LineSplitter, CutsAtLineFeedsWhereverTheChunksEnd) {
  const struct {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;  // Finish included
  } rows[] = {
      {{}, {}},
      {{"a\nb\n"}, {"a", "b"}},
      {{"a", "b\nc"}, {"ab", "c"}},
      {{"\n\n"}, {"", ""}},
      {{"x\r\n"}, {"x\r"}},
      {{"", "a", "", "\n"}, {"a"}},
      {{"one\ntw", "o\nthr", "ee"}, {"one", "two", "three"}},
      {{std::string("a\0b\n", 4)}, {std::string("a\0b", 3)}},
  };
  for (const auto& row : rows) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    const auto onLine = [&](std::string_view line) { lines.emplace_back(line); };
    for (const std::string& chunk : row.chunks) splitter.Feed(chunk, onLine);
    splitter.Finish(onLine);
    EXPECT_EQ(lines, row.lines) << testing::PrintToString(row.chunks);
  }
}

TEST(LineSplitter, ALongLineFedByteByByteArrivesWhole) {
  std::string line(200000, 'x');
  line[1234] = '\xff';
  LineSplitter splitter;
  std::vector<std::string> lines;
  const auto onLine = [&](std::string_view l) { lines.emplace_back(l); };
  for (char c : line) splitter.Feed(std::string_view(&c, 1), onLine);
  EXPECT_TRUE(lines.empty());
  splitter.Feed("\nnext\n", onLine);
  EXPECT_EQ(lines, (std::vector<std::string>{line, "next"}));
}

// A line past the cap is dropped as soon as it is known to be too long,
// reported once, and the next line is read as usual.
TEST(LineSplitter, ALineTooLongIsReportedOnceAndSkipped) {
  const struct {
    std::vector<std::string> chunks;
    std::vector<std::string> seen;  // "!" for a line too long
  } rows[] = {
      {{"12345\n123456\nok\n"}, {"12345", "!", "ok"}},
      {{"1234", "56", "789", "\nok\n"}, {"!", "ok"}},
      {{"123456", "\n", "7\n"}, {"!", "7"}},
      {{"123456", "78\nab", "c"}, {"!", "abc"}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> seen;
    LineSplitter splitter(5, [&] { seen.emplace_back("!"); });
    const auto onLine = [&](std::string_view line) { seen.emplace_back(line); };
    for (const std::string& chunk : row.chunks) splitter.Feed(chunk, onLine);
    splitter.Finish(onLine);
    EXPECT_EQ(seen, row.seen) << testing::PrintToString(row.chunks);
  }
}

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) read = fds[0], write = fds[1];
  }
  ~Pipe() {
    CloseWrite();
    if (read >= 0) ::close(read);
  }
  void Send(std::string_view bytes) const {
    ASSERT_EQ(::write(write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void CloseWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

bool RunUntil(kez::posix::EventLoop& loop, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.RunOnce(50ms);
  }
  return true;
}

TEST(LineReader, ReadsLinesThroughTheLoopAndReportsTheEnd) {
  Pipe pipe;
  kez::posix::EventLoop loop;
  std::vector<std::string> lines;
  bool ended = false;
  const int flags = ::fcntl(pipe.read, F_GETFL);
  {
    LineReader reader(
        loop, pipe.read, [&](std::string_view l) { lines.emplace_back(l); }, [&] { ended = true; });
    EXPECT_NE(::fcntl(pipe.read, F_GETFL) & O_NONBLOCK, 0);
    pipe.Send("one\ntw");
    ASSERT_TRUE(RunUntil(loop, [&] { return lines.size() == 1; }));
    pipe.Send("o\nlast");
    ASSERT_TRUE(RunUntil(loop, [&] { return lines.size() == 2; }));
    EXPECT_FALSE(ended);
    pipe.CloseWrite();
    ASSERT_TRUE(RunUntil(loop, [&] { return ended; }));
    EXPECT_TRUE(reader.Ended());
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "last"}));
  EXPECT_EQ(::fcntl(pipe.read, F_GETFL), flags);  // blocking again, as we found it
}

TEST(LineReader, AClosedDescriptorIsAnEndedInput) {
  kez::posix::EventLoop loop;
  Pipe pipe;
  const int fd = pipe.read;
  pipe.read = -1;
  ::close(fd);
  bool ended = false;
  LineReader reader(
      loop, fd, [](std::string_view) {}, [&] { ended = true; });
  EXPECT_TRUE(RunUntil(loop, [&] { return ended; }));
}

}  // namespace
}  // namespace reposa::console
