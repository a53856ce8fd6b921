#include "password.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace reposa::console {
namespace {

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

struct TempFile {
  std::string path;
  TempFile(std::string_view content, mode_t mode) {
    char name[] = "/tmp/reposa-console-pw-XXXXXX";
    const int fd = ::mkstemp(name);
    path = name;
    [[maybe_unused]] const ssize_t n = ::write(fd, content.data(), content.size());
    ::fchmod(fd, mode);
    ::close(fd);
  }
  ~TempFile() { ::unlink(path.c_str()); }
};

TEST(Password, FileReadableByOthersIsWarnedAbout) {
  const struct {
    mode_t mode;
    bool warned;
  } rows[] = {{0600, false}, {0400, false}, {0620, false},
              {0640, true},  {0604, true},  {0644, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mode);
    TempFile file("hunter2\nrest\n", row.mode);
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

}  // namespace
}  // namespace reposa::console
