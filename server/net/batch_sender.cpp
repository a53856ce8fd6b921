#include "net/batch_sender.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/send_ring.h"

namespace reposa::server {

void Send(SendJob& job) {
  job.sent = 0;
  job.error = 0;
  while (job.sent < job.size) {
    const ssize_t n = ::send(job.fd, job.data + job.sent, job.size - job.sent, MSG_NOSIGNAL);
    if (n > 0) {
      job.sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) job.error = errno;
      if (n == 0) job.error = EPIPE;
      return;
    }
  }
}

BatchSender::BatchSender(bool batch, const Limits& limits)
    : ringEntries_(static_cast<unsigned>(limits.sendRingEntries)), batchFrom_(limits.batchFrom) {
  if (!batch) {
    why_ = "not wanted";
    return;
  }
  ring_ = SendRing::Open(ringEntries_, why_);
}

BatchSender::~BatchSender() = default;

void BatchSender::Run(std::span<SendJob> jobs) {
  if (!ring_ || jobs.size() < batchFrom_) {
    for (SendJob& job : jobs) Send(job);
    return;
  }
  for (std::size_t first = 0; first < jobs.size(); first += ringEntries_) {
    const std::span<SendJob> batch =
        jobs.subspan(first, std::min<std::size_t>(ringEntries_, jobs.size() - first));
    std::size_t settled = 0;
    if (!ring_->Send(batch, settled)) {
      // What the kernel did not take goes by send(), and there is no ring
      // from now on.
      ring_.reset();
      why_ = "the ring failed";
      for (SendJob& job : jobs.subspan(first + settled)) Send(job);
      return;
    }
  }
}

}  // namespace reposa::server
