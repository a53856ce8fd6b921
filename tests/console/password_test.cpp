#include "password.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <future>

#include "PrivateFile.h"

namespace reposa::console {
namespace {

using reposa::test::PrivateFile;

TEST(Password, FirstLineWithoutItsLineEnding) {
  const struct {
    std::string content, password;
  } rows[] = {
      {"", ""},
      {"pw", "pw"},
      {"pw\n", "pw"},
      {"pw\r\n", "pw"},
      {"pw\nnext\n", "pw"},
      {"\nnext", ""},
      {" p w \n", " p w "},
      {"p\rw\n", "p\rw"},
      {std::string("a\0b\n", 4), std::string("a\0b", 3)},
  };
  for (const auto& row : rows)
    EXPECT_EQ(FirstLine(row.content), row.password) << testing::PrintToString(row.content);
}

TEST(Password, FileReadableByOthersIsWarnedAbout) {
  const struct {
    mode_t mode;
    bool warned;
  } rows[] = {{0600, false}, {0400, false}, {0620, false},
              {0640, true},  {0604, true},  {0644, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mode);
    PrivateFile file("hunter2\nrest\n", row.mode);
    std::string warning;
    EXPECT_EQ(ReadPasswordFile(file.path, warning), "hunter2");
    EXPECT_EQ(!warning.empty(), row.warned) << warning;
    EXPECT_EQ(warning.find("hunter2"), std::string::npos);
  }
}

TEST(Password, MissingFileIsAStartUpFailure) {
  std::string warning;
  EXPECT_THROW(ReadPasswordFile("/nonexistent/reposa/pw", warning), std::runtime_error);
}

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (::pipe(fds) == 0) r = fds[0], w = fds[1];
  }
  ~Pipe() {
    if (r >= 0) ::close(r);
    if (w >= 0) ::close(w);
  }
};

TEST(Password, PromptTakesOneLineAndLeavesTheRest) {
  Pipe in, out, interrupt;
  ASSERT_EQ(::write(in.w, "secret\r\n{\"get\"", 14), 14);
  EXPECT_EQ(PromptPassword(in.r, out.w, "Password: ", interrupt.r), "secret");
  char buffer[64] = {};
  EXPECT_EQ(::read(out.r, buffer, sizeof buffer), 10);
  EXPECT_EQ(std::string(buffer), "Password: ");
  EXPECT_EQ(::read(in.r, buffer, sizeof buffer), 6);  // the next line is still there
  EXPECT_EQ(std::string(buffer, 6), "{\"get\"");
}

TEST(Password, PromptGivesUpOnASignalOrAClosedInput) {
  Pipe in, out, interrupt;
  ASSERT_EQ(::write(interrupt.w, "x", 1), 1);
  EXPECT_EQ(PromptPassword(in.r, out.w, "Password: ", interrupt.r), std::nullopt);

  Pipe closed, out2, none;
  ::close(closed.w);
  closed.w = -1;
  EXPECT_EQ(PromptPassword(closed.r, out2.w, "Password: ", none.r), std::nullopt);
}

// On a real terminal the typed password is not echoed, and the terminal is
// as it was afterwards.
TEST(Password, PromptOnATerminalTurnsEchoOffAndBackOn) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int tty = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(tty, 0);
  termios before{};
  ASSERT_EQ(::tcgetattr(tty, &before), 0);
  ASSERT_NE(before.c_lflag & ECHO, 0u);
  Pipe out, none;

  auto password = std::async(std::launch::async,
                             [&] { return PromptPassword(tty, out.w, "Password: ", none.r); });
  // The prompt appears once echo is off; only then is the password typed.
  pollfd p{out.r, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  ASSERT_EQ(::write(master, "s3cret\n", 7), 7);
  ASSERT_EQ(password.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(password.get(), "s3cret");

  std::string echoed;
  char buffer[64];
  for (pollfd m{master, POLLIN, 0}; ::poll(&m, 1, 0) == 1;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    echoed.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(echoed.find("s3cret"), std::string::npos) << echoed;
  termios after{};
  ASSERT_EQ(::tcgetattr(tty, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  ::close(tty);
  ::close(master);
}

}  // namespace
}  // namespace reposa::console
