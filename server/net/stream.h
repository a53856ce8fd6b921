#pragma once

// A connection's bytes as they cross the wire: as they are (PlainStream) or
// over TLS (TlsStream). A stream reads what the peer sent and hands out
// plain bytes, and seals what is sent into what goes on the wire, so the
// connection, its turns and the batched sends stay the same for both.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace reposa::server {

class Stream {
 public:
  virtual ~Stream() = default;
  // The socket, for the loop's watch and for batched sends of the wire bytes.
  virtual int fd() const = 0;
  // Reads what the peer sent: plain bytes read, 0 at its end, or -1 with
  // errno set (EAGAIN: nothing for now). What the stream itself must send
  // in answer (a TLS handshake) is appended to `wire`.
  virtual ssize_t Read(char* buffer, std::size_t size, std::string& wire) = 0;
  // Appends `bytes`, as they go on the wire, to `wire`.
  virtual void Seal(std::string_view bytes, std::string& wire) = 0;
  // Whether a turn's output is best sealed at once: one TLS record for the
  // frames a turn writes to one client, not one each.
  virtual bool SealsOnce() const { return false; }
  // Nothing more will be sent: the peer sees the end of our side.
  virtual void CloseWrite() = 0;
  // Why the last Read failed, when the stream knows better than errno.
  virtual std::string_view Failure() const { return {}; }
};

// Bytes as they are, over a socket the stream owns and closes.
class PlainStream final : public Stream {
 public:
  explicit PlainStream(int fd) : fd_(fd) {}
  ~PlainStream() override;
  PlainStream(const PlainStream&) = delete;
  PlainStream& operator=(const PlainStream&) = delete;

  int fd() const override { return fd_; }
  ssize_t Read(char* buffer, std::size_t size, std::string& wire) override;
  void Seal(std::string_view bytes, std::string& wire) override { wire.append(bytes); }
  void CloseWrite() override;

 private:
  int fd_;
};

}  // namespace reposa::server
