#pragma once

// A file under /tmp with the given text and mode (by default only its owner
// may read it), removed again at the end: a password file, or accounts.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace reposa::test {

struct PrivateFile {
  std::string path;
  explicit PrivateFile(std::string_view text, mode_t mode = 0600) {
    char name[] = "/tmp/reposa-test-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    path = name;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::fchmod(fd, mode);
    ::close(fd);
    if (!written) {
      ::unlink(path.c_str());
      throw std::runtime_error("cannot write " + path);
    }
  }
  ~PrivateFile() { ::unlink(path.c_str()); }
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
};

}  // namespace reposa::test
