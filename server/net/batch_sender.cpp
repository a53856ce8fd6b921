#include "net/batch_sender.h"

#include <liburing.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace reposa::server {

struct BatchSender::Ring {
  io_uring ring{};
};

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
  if (!batch) return;
  auto ring = std::make_unique<Ring>();
  // Only this thread submits, and completions are reaped right away.
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN;
  if (io_uring_queue_init_params(ringEntries_, &ring->ring, &params) < 0) {
    params = {};
    if (io_uring_queue_init_params(ringEntries_, &ring->ring, &params) < 0) return;
  }
  ring_ = std::move(ring);
}

BatchSender::~BatchSender() {
  if (ring_) io_uring_queue_exit(&ring_->ring);
}

void BatchSender::Run(std::span<SendJob> jobs) {
  if (!ring_ || jobs.size() < batchFrom_) {
    for (SendJob& job : jobs) Send(job);
    return;
  }
  io_uring& ring = ring_->ring;
  for (std::size_t first = 0; first < jobs.size(); first += ringEntries_) {
    const std::size_t count = std::min<std::size_t>(ringEntries_, jobs.size() - first);
    for (std::size_t i = first; i < first + count; ++i) {
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      SendJob& job = jobs[i];
      job.sent = 0;
      job.error = 0;
      // MSG_DONTWAIT: a full socket answers EAGAIN instead of waiting.
      io_uring_prep_send(sqe, job.fd, job.data, job.size, MSG_NOSIGNAL | MSG_DONTWAIT);
      io_uring_sqe_set_data64(sqe, i);
    }
    // SQEs go in order, so the first `submitted` jobs are the kernel's.
    std::size_t submitted = 0;
    bool failed = false;
    while (submitted < count) {
      const int n = io_uring_submit(&ring);
      if (n <= 0 && n != -EINTR && n != -EAGAIN) {
        failed = true;
        break;
      }
      if (n > 0) submitted += static_cast<std::size_t>(n);
    }
    for (std::size_t reaped = 0; reaped < submitted; ++reaped) {
      io_uring_cqe* cqe = nullptr;
      int rc = 0;
      while ((rc = io_uring_wait_cqe(&ring, &cqe)) == -EINTR) {
      }
      if (rc < 0) {
        // What became of the rest is unknown: their connections are closed
        // rather than sent twice or not at all.
        for (std::size_t i = first; i < first + count; ++i)
          if (jobs[i].sent == 0 && jobs[i].error == 0) jobs[i].error = EIO;
        failed = true;
        break;
      }
      SendJob& job = jobs[io_uring_cqe_get_data64(cqe)];
      if (cqe->res >= 0) {
        job.sent = static_cast<std::size_t>(cqe->res);
      } else if (cqe->res != -EAGAIN && cqe->res != -EINTR) {
        job.error = -cqe->res;
      }
      io_uring_cqe_seen(&ring, cqe);
    }
    if (failed) {
      // What the kernel did not take goes by send(), and there is no ring
      // from now on; its unsubmitted entries go with it.
      io_uring_queue_exit(&ring);
      ring_.reset();
      for (std::size_t i = first + submitted; i < jobs.size(); ++i) Send(jobs[i]);
      return;
    }
  }
}

}  // namespace reposa::server
