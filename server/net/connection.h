#pragma once

// One client connection: its bytes in and out without ever blocking, its
// deadlines, and the session that speaks the protocol over it. Output is
// only gathered here; the connection table sends it once a turn.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kez/posix/EventLoop.h"
#include "net/batch_sender.h"
#include "net/stream.h"
#include "server_limits.h"
#include "service/session.h"

namespace reposa::server {

class Connection;

// What a connection asks of the table that owns it.
class ConnectionOwner {
 public:
  virtual ~ConnectionOwner() = default;
  // `bytes` more wait to be sent.
  virtual void Queued(Connection& c, std::size_t bytes) = 0;
  // `bytes` of them went.
  virtual void Sent(std::size_t bytes) = 0;
  // Sealing what waited added `bytes` on the wire (TLS records' framing).
  virtual void Sealed(std::size_t bytes) = 0;
  // Complete frames wait for the connection's next turn.
  virtual void Backlogged(Connection& c) = 0;
  // Output is held back; it may go after `delay`.
  virtual void ReleaseAfter(Connection& c, std::chrono::milliseconds delay) = 0;
  virtual void SignedOn(Connection& c) = 0;
  // It is closing: its close deadline runs from now.
  virtual void Closing(Connection&) {}
  // Ends the connection; `why` is logged unless empty.
  virtual void Drop(Connection& c, std::string_view why) = 0;
  // Everything queued went to the network, and `awaitingDrain` was set.
  virtual void Drained(Connection& c) = 0;
};

class Connection final : private Transport {
 public:
  using Clock = kez::posix::EventLoop::Clock;
  Connection(ConnectionOwner& owner, kez::posix::EventLoop& loop, const Limits& limits,
             SessionId id, std::unique_ptr<Stream> stream, std::string address, Service& service,
             Session::Log log);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts watching the socket; `ready` is what the loop calls.
  void Watch(std::function<void(short)> ready);
  // What the loop reported; reads at most `scratch.size()` bytes.
  void OnReady(short revents, std::span<char> scratch);
  // Hands bytes to the session, at most a turn's worth of frames.
  void Handle(std::string_view bytes);

  // Seals the output its turn gathered for the stream, when the stream
  // seals a turn's output at once.
  void SealGathered();
  // Whether there is output that may go now, and the send that takes it.
  bool ReadyToWrite() const;
  SendJob Job() const;
  // What a send left behind: the rest of the buffer, the counts, the watch.
  void Settle(const SendJob& job);
  // The held output may go now.
  void Release() { heldUntil_ = {}; }
  // Why the connection is past one of its deadlines ("" to close without a
  // word), or nothing when it is not.
  std::optional<std::string> Expired(Clock::time_point now) const;
  // Ends it now: no more reads or sends. Returns the bytes that were queued.
  std::size_t Kill();

  SessionId id() const { return id_; }
  const std::string& address() const { return address_; }
  Session& session() { return session_; }
  bool dead() const { return dead_; }
  Clock::time_point opened() const { return opened_; }
  // Finishing or lingering: it will be gone within the close deadline.
  bool closing() const { return finishing_ || lingering_; }
  std::size_t queued() const { return out_.size() - outPos_ + gathered_.size(); }
  // True once: the first time it is no longer counted as signing on.
  bool LeaveSigningOn();
  // Whether the table has it on this turn's list to write.
  bool dirty = false;
  // The owner wants to hear when the output queued so far has gone.
  bool awaitingDrain = false;

 private:
  // Transport: what the session writes and asks.
  void Write(std::string_view bytes) override;
  void Hold(std::chrono::milliseconds delay) override;
  void Finish() override;

  void Flush();
  // Reading pauses while frames from the last read still wait their turn.
  void WatchFor();
  void StartLinger();

  ConnectionOwner& owner_;
  kez::posix::EventLoop& loop_;
  const Limits& limits_;
  SessionId id_;
  std::unique_ptr<Stream> stream_;
  std::string address_;
  kez::posix::EventLoop::Id watch_ = 0;
  Clock::time_point opened_;
  Clock::time_point lastFrame_;  // the last whole frame received
  Clock::time_point closingSince_;
  Clock::time_point lingerSince_;
  Clock::time_point heldUntil_;  // zero: output not held
  std::string out_;
  std::size_t outPos_ = 0;
  std::string gathered_;  // written this turn, not yet sealed
  bool signingOn_ = true;
  bool backlogged_ = false;
  bool finishing_ = false;
  bool lingering_ = false;
  bool dead_ = false;
  Session session_;
};

}  // namespace reposa::server
