#pragma once

// The kernel ring a turn's sends go through, where io_uring is built in and
// the kernel allows it. Built with send_ring_uring.cpp when liburing is
// there, with send_ring_none.cpp when it is not.

#include <memory>
#include <span>
#include <string>

#include "net/batch_sender.h"

namespace reposa::server {

class SendRing {
 public:
  // A ring of `entries` sends, or null with `why` saying why there is none.
  static std::unique_ptr<SendRing> Open(unsigned entries, std::string& why);
  virtual ~SendRing() = default;

  // Sends every job (at most `entries`) in one system call. `settled`: how
  // many jobs, from the first, the kernel took, each with its result; a job
  // whose fate is unknown reports EIO. False when the ring failed and must
  // not be used again; the jobs past `settled` are untouched.
  virtual bool Send(std::span<SendJob> jobs, std::size_t& settled) = 0;
};

}  // namespace reposa::server
