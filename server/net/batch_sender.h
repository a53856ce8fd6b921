#pragma once

// A line to a room is one send() per member, and on a busy server most of a
// turn is spent entering and leaving the kernel for them. Where the kernel
// offers io_uring, a turn's sends are handed over in one system call; where
// it does not (an old kernel, a sandbox that forbids it), each goes by
// send(). Either way no send waits: what a socket cannot take now stays
// queued for its next turn.

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "server_limits.h"

namespace reposa::server {

struct SendJob {
  int fd = -1;
  const char* data = nullptr;
  std::size_t size = 0;
  // Results: bytes written, and the error that stopped the writing (0 when
  // all was written or the socket was full).
  std::size_t sent = 0;
  int error = 0;
};

class SendRing;

class BatchSender {
 public:
  // `batch`: false to use send() alone. The ring's size and the fewest jobs
  // worth a batch come from `limits`.
  BatchSender(bool batch, const Limits& limits);
  ~BatchSender();
  BatchSender(const BatchSender&) = delete;
  BatchSender& operator=(const BatchSender&) = delete;

  // Whether sends go through io_uring, and if not, why not.
  bool batched() const { return ring_ != nullptr; }
  const std::string& why() const { return why_; }
  // Writes as much of every job as its socket takes now.
  void Run(std::span<SendJob> jobs);

 private:
  unsigned ringEntries_;
  std::size_t batchFrom_;  // fewer jobs go by send() alone
  std::unique_ptr<SendRing> ring_;
  std::string why_;
};

// One job by send(), without blocking.
void Send(SendJob& job);

}  // namespace reposa::server
