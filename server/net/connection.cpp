#include "net/connection.h"

#include "metrics/metrics.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace reposa::server {

using kez::posix::EventLoop;

Connection::Connection(ConnectionOwner& owner, EventLoop& loop, const Limits& limits, SessionId id,
                       std::unique_ptr<Stream> stream, std::string address, Service& service,
                       Session::Log log)
    : owner_(owner),
      loop_(loop),
      limits_(limits),
      id_(id),
      stream_(std::move(stream)),
      address_(std::move(address)),
      opened_(Clock::now()),
      lastFrame_(opened_),
      session_(id, service, *this, std::move(log), Source::Of(address_)) {}

Connection::~Connection() {
  if (watch_) loop_.Unwatch(watch_);
}

void Connection::Watch(std::function<void(short)> ready) {
  watch_ = loop_.Watch(stream_->fd(), POLLIN, std::move(ready));
}

// Output is only gathered here; it goes out once a turn.
void Connection::Write(std::string_view bytes) {
  if (dead_ || lingering_) return;
  if (stream_->SealsOnce()) {
    gathered_.append(bytes);
    return owner_.Queued(*this, bytes.size());
  }
  const std::size_t before = out_.size();
  stream_->Seal(bytes, out_);
  owner_.Queued(*this, out_.size() - before);
}

void Connection::Hold(std::chrono::milliseconds delay) {
  heldUntil_ = Clock::now() + delay;
  owner_.ReleaseAfter(*this, delay);
}

void Connection::Finish() {
  if (finishing_) return;
  finishing_ = true;
  closingSince_ = std::max(Clock::now(), heldUntil_);
  owner_.Closing(*this);
  if (!dead_ && queued() == 0 && heldUntil_ == Clock::time_point{}) StartLinger();
}

void Connection::SealGathered() {
  if (dead_ || gathered_.empty()) return;
  const std::size_t before = out_.size();
  stream_->Seal(gathered_, out_);
  const std::size_t sealed = out_.size() - before;
  // What was counted as queued is now in `out_`, with its framing (or, before
  // the handshake's end, held by the stream, to be counted when it comes).
  if (sealed >= gathered_.size())
    owner_.Sealed(sealed - gathered_.size());
  else
    owner_.Sent(gathered_.size() - sealed);
  // Sealed bytes wait in `out_`; an idle session keeps no second buffer.
  gathered_ = std::string();
}

bool Connection::ReadyToWrite() const {
  return !dead_ && heldUntil_ == Clock::time_point{} && outPos_ < out_.size();
}

SendJob Connection::Job() const {
  return SendJob{stream_->fd(), out_.data() + outPos_, out_.size() - outPos_};
}

void Connection::Flush() {
  if (dead_ || heldUntil_ != Clock::time_point{}) return;
  SendJob job = Job();
  Send(job);
  Settle(job);
}

void Connection::Settle(const SendJob& job) {
  if (dead_) return;
  if (job.error != 0) return owner_.Drop(*this, "");
  outPos_ += job.sent;
  owner_.Sent(job.sent);
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
    // A burst's buffer is not kept for an idle connection.
    if (out_.capacity() > limits_.keptOutputBuffer) out_.shrink_to_fit();
  } else if (outPos_ > limits_.compactOutputAt) {
    out_.erase(0, outPos_);
    outPos_ = 0;
  }
  WatchFor();
  if (finishing_ && !lingering_ && queued() == 0) StartLinger();
  if (awaitingDrain && queued() == 0) {
    awaitingDrain = false;
    owner_.Drained(*this);
  }
}

void Connection::WatchFor() {
  short events = 0;
  if (!backlogged_ && !lingering_) events |= POLLIN;
  if (!out_.empty()) events |= POLLOUT;
  if (lingering_) events |= POLLIN;  // to see the client close its side
  loop_.SetEvents(watch_, events);
}

// Our side is done: half-close, then wait a little for the client to close
// its side, so what we sent last is not lost to a reset.
void Connection::StartLinger() {
  lingering_ = true;
  lingerSince_ = Clock::now();
  stream_->CloseWrite();
  WatchFor();
}

void Connection::OnReady(short revents, std::span<char> scratch) {
  if (revents & POLLNVAL) return owner_.Drop(*this, "");
  if (revents & POLLOUT) Flush();
  if (dead_ || backlogged_ || !(revents & (POLLIN | POLLHUP | POLLERR))) return;
  // One chunk a turn, so a client that floods cannot starve the others.
  // The stream may answer by itself (a TLS handshake): that goes out as
  // any output does.
  const std::size_t before = out_.size();
  const ssize_t n = stream_->Read(scratch.data(), scratch.size(), out_);
  if (out_.size() > before) {
    if (lingering_)
      out_.resize(before);  // nothing more goes out
    else
      owner_.Queued(*this, out_.size() - before);
    if (dead_) return;
  }
  if (n == 0) return owner_.Drop(*this, finishing_ ? "" : "connection closed by the client");
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    const std::string_view why = stream_->Failure();
    return owner_.Drop(*this, why.empty() ? std::string() : "closed: " + std::string(why));
  }
  if (finishing_) return;
  Handle(std::string_view(scratch.data(), static_cast<std::size_t>(n)));
}

void Connection::Handle(std::string_view bytes) {
  const bool wasSignedOn = session_.signedOn();
  // A fault in one command ends that connection, never the server.
  try {
    if (session_.Receive(bytes, limits_.framesPerTurn) > 0) lastFrame_ = Clock::now();
  } catch (const std::exception& e) {
    metrics::Count(metrics::Counter::dropFault);
    return owner_.Drop(*this, std::string("closed: a fault while handling its input: ") + e.what());
  } catch (...) {
    metrics::Count(metrics::Counter::dropFault);
    return owner_.Drop(*this, "closed: a fault while handling its input");
  }
  if (dead_) return;
  if (!wasSignedOn && session_.signedOn()) owner_.SignedOn(*this);
  const bool more = session_.more() && !finishing_;
  if (more != backlogged_) {
    backlogged_ = more;
    WatchFor();
  }
  if (more) owner_.Backlogged(*this);
}

std::optional<std::string> Connection::Expired(Clock::time_point now) const {
  if (dead_) return std::nullopt;
  if (lingering_) {
    if (now - lingerSince_ >= limits_.linger) return std::string();
  } else if (finishing_) {
    if (now - closingSince_ >= limits_.closeTimeout)
      return metrics::Count(metrics::Counter::dropCloseTimeout),
             "closed: its output was still queued at the deadline";
  } else if (!session_.signedOn()) {
    if (now - opened_ >= limits_.signOnTimeout)
      return metrics::Count(metrics::Counter::dropSignOnTimeout), "sign-on timed out";
  } else {
    const auto idle = limits_.keepAlive * static_cast<std::int64_t>(limits_.idleKeepAlives);
    if (idle.count() > 0 && now - lastFrame_ >= idle)
      return metrics::Count(metrics::Counter::dropIdle),
             "closed: no whole frame for " + std::to_string(limits_.idleKeepAlives) +
                 " keep-alive intervals";
  }
  return std::nullopt;
}

std::size_t Connection::Kill() {
  if (dead_) return 0;
  dead_ = true;
  session_.Abandon();
  loop_.Unwatch(watch_);
  watch_ = 0;
  stream_.reset();
  const std::size_t dropped = queued();
  out_ = std::string();
  gathered_ = std::string();
  outPos_ = 0;
  return dropped;
}

bool Connection::LeaveSigningOn() {
  return std::exchange(signingOn_, false);
}

}  // namespace reposa::server
