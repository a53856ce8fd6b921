#pragma once

// A file under /tmp with the given text and mode, removed again at the end.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace reposa::e2e {

struct PrivateFile {
  std::string path;
  PrivateFile(const std::string& text, mode_t mode = 0600) {
    char name[] = "/tmp/reposa-e2e-XXXXXX";
    const int fd = ::mkstemp(name);
    path = name;
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::fchmod(fd, mode);
    ::close(fd);
  }
  ~PrivateFile() { ::unlink(path.c_str()); }
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
};

}  // namespace reposa::e2e
