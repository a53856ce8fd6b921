#include "net/stream.h"

#include <sys/socket.h>
#include <unistd.h>

namespace reposa::server {

PlainStream::~PlainStream() {
  if (fd_ >= 0) ::close(fd_);
}

ssize_t PlainStream::Read(char* buffer, std::size_t size, std::string&) {
  return ::recv(fd_, buffer, size, 0);
}

void PlainStream::CloseWrite() {
  ::shutdown(fd_, SHUT_WR);
}

}  // namespace reposa::server
