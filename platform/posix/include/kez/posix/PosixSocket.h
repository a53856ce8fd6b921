#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kez/Socket.h"
#include "kez/posix/EventLoop.h"

namespace kez::posix {

class Lookup;
class TlsClient;
struct Address;

// Non-blocking TCP client over an EventLoop. Host names are looked up on a
// helper thread and sends are buffered, so neither a slow name server nor a
// peer that stops reading blocks the caller. A peer that leaves more than
// kMaxPendingSend bytes unread loses the connection with an error, so it
// cannot make us grow without bound. TlsSocket is the same over TLS.
class PosixSocket : public Socket {
 public:
  static constexpr std::size_t kMaxPendingSend = 4 * 1024 * 1024;

  explicit PosixSocket(EventLoop& loop);
  ~PosixSocket() override;

  void Close() override;
  void Connect(const std::string& host, int32_t port) override;
  void SendData(std::string_view bytes) override;
  void GetData(std::string& data) override;
  bool IsConnected() const override { return state_ == State::Connected; }

  // Bytes handed to SendData that the peer has not taken yet (as they go on
  // the wire, so encrypted over TLS).
  std::size_t PendingSend() const { return out_.size() - outPos_; }

 protected:
  // Over TLS, verified against `caFile` (empty: the system's store).
  PosixSocket(EventLoop& loop, std::string caFile);

 private:
  enum class State { Closed, Resolving, Connecting, Handshaking, Connected };

  void Resolved(int error, std::vector<Address> found);
  void TryNextAddress();
  void OnReady(short revents);
  // Reads from the kernel onto the end of `data` until it has nothing more,
  // the peer closed, an error, or `limit` bytes this turn.
  void ReadInto(std::string& data, std::size_t limit);
  void FinishConnect();
  void StartTls();
  // Over TLS: reads the turn's records from the kernel and opens them into
  // the plain bytes the listener takes.
  void ReadTls();
  // What the TLS client's state means for the connection; false once it
  // has ended it.
  bool AfterTls();
  void Flush();
  void UpdateWatch();
  void CloseFd();
  void Fail(int number, const std::string& description);
  // Reports an error on the next turn of the loop, unless the socket has been
  // closed, reconnected or destroyed by then.
  void PostError(int number, std::string description);

  EventLoop& loop_;
  State state_ = State::Closed;
  int fd_ = -1;
  EventLoop::Id watch_ = 0;
  std::string peer_;  // "host:port", for error texts
  std::string host_;
  std::unique_ptr<Lookup> lookup_;
  std::vector<Address> addresses_;
  std::size_t nextAddress_ = 0;
  int lastConnectError_ = 0;
  // What a turn read before telling the listener, when the listener did not
  // take it: normally at most one chunk.
  std::string in_;
  // True while the listener is being told of data: its GetData may then read
  // from the kernel itself, straight into its own buffer.
  bool readable_ = false;
  struct Turn {
    std::size_t taken = 0;
    bool drained = false;  // nothing more to read now
    bool peerClosed = false;
    int error = 0;
  } turn_;
  std::string out_;
  std::size_t outPos_ = 0;
  // TLS: whether to use it, the CA file, the connection's client, and the
  // bound on its handshake.
  bool tls_ = false;
  std::string caFile_;
  std::unique_ptr<TlsClient> tlsClient_;
  EventLoop::Id handshakeTimer_ = 0;
  // Bumped on every Close and Connect, so stale posted work is dropped.
  std::shared_ptr<std::uint64_t> generation_ = std::make_shared<std::uint64_t>(0);
};

}  // namespace kez::posix
