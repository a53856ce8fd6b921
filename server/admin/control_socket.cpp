#include "admin/control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace reposa::server {

using kez::posix::EventLoop;

namespace {

sockaddr_un SocketName(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return a;
}

int NewSocket() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::runtime_error(std::string("cannot make a socket: ") + std::strerror(errno));
  return fd;
}

// 0 when a server answers at `path`, else the errno of the attempt.
int Connect(int fd, const std::string& path) {
  const sockaddr_un a = SocketName(path);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
}

// Clears the way for a new socket at `path`: only a socket no one answers
// on may go.
void ClearStale(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISSOCK(st.st_mode))
    throw std::runtime_error(path + " is in the way of the control socket; it was left alone");
  const int probe = NewSocket();
  const int error = Connect(probe, path);
  ::close(probe);
  if (error == 0)
    throw std::runtime_error("another reposa-server uses this database: its control socket " +
                             path + " answers");
  if (error != ECONNREFUSED)
    throw std::runtime_error("cannot check the control socket " + path + ": " +
                             std::strerror(error));
  ::unlink(path.c_str());
}

std::string WholeLine(std::string_view bytes) {
  const std::size_t end = bytes.find('\n');
  return end == std::string_view::npos ? std::string() : std::string(bytes.substr(0, end + 1));
}

}  // namespace

std::string DefaultControlSocketPath(const std::string& database) {
  return database == ":memory:" ? std::string() : database + ".sock";
}

bool FitsSocketName(const std::string& path) {
  return !path.empty() && path.size() < sizeof(sockaddr_un{}.sun_path);
}

bool PeerIsOwner(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::geteuid();
}

ControlSocket::ControlSocket(EventLoop& loop, const Limits& limits, ControlRequests& requests)
    : requests_(requests),
      server_(loop,
              RequestServer::Rules{
                  limits.maxControlConnections, limits.maxControlRequest, limits.controlTimeout,
                  [](std::string_view bytes) { return WholeLine(bytes).size(); },
                  [](RequestServer::Refusal why) {
                    switch (why) {
                      case RequestServer::Refusal::TooMany:
                        return std::string("{\"error\":\"busy: too many control connections\"}\n");
                      case RequestServer::Refusal::TooLong:
                        return std::string("{\"error\":\"request too long\"}\n");
                      case RequestServer::Refusal::NotAllowed:
                        return std::string("{\"error\":\"refused: not the server's own user\"}\n");
                      case RequestServer::Refusal::Timeout:
                        break;
                    }
                    return std::string("{\"error\":\"no whole request in time\"}\n");
                  },
                  PeerIsOwner},
              [this](std::string request, RequestServer::Reply reply) {
                requests_.Handle(request, reply);
              }) {}

ControlSocket::~ControlSocket() {
  struct stat st {};
  if (!path_.empty() && ::lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_)
    ::unlink(path_.c_str());
}

void ControlSocket::Start(const std::string& path) {
  if (!FitsSocketName(path))
    throw std::runtime_error("the control socket's name " + path +
                             " is too long for a socket; name a shorter one with --control");
  ClearStale(path);
  const int fd = NewSocket();
  const sockaddr_un a = SocketName(path);
  // Private from the moment it exists: the mode comes from the mask at bind.
  const mode_t mask = ::umask(0177);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  const int error = errno;
  ::umask(mask);
  if (!bound || ::listen(fd, 16) != 0 || ::chmod(path.c_str(), 0600) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on the control socket " + path + ": " +
                             std::strerror(bound ? errno : error));
  }
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  struct stat st {};
  ::lstat(path.c_str(), &st);
  path_ = path;
  inode_ = st.st_ino;
  server_.Serve(fd);
}

namespace {

// Waits for `events` on `fd` until `deadline` (none: as long as it takes).
bool WaitFor(int fd, short events, std::optional<std::chrono::steady_clock::time_point> deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int ms = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      ms = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    const int n = ::poll(&p, 1, ms);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

std::optional<std::string> AskRunningServer(const std::string& path, const std::string& request,
                                            std::optional<std::chrono::milliseconds> bound) {
  if (!FitsSocketName(path)) return std::nullopt;
  const int fd = NewSocket();
  const int error = Connect(fd, path);
  if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
    ::close(fd);
    return std::nullopt;
  }
  if (error != 0) {
    ::close(fd);
    throw std::runtime_error("cannot reach the running server at " + path + ": " +
                             std::strerror(error));
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (bound) deadline = std::chrono::steady_clock::now() + *bound;
  std::string answer;
  // A server that refuses this user answers before reading, and the send
  // may fail then: its answer is read all the same.
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  while (answer.find('\n') == std::string::npos && WaitFor(fd, POLLIN, deadline)) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (answer.find('\n') == std::string::npos)
    throw std::runtime_error("the running server at " + path + " did not answer");
  return answer.substr(0, answer.find('\n'));
}

}  // namespace reposa::server
