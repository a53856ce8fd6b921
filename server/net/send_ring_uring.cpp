// The ring over liburing.

#include <liburing.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "net/send_ring.h"

namespace reposa::server {

namespace {

class UringSendRing final : public SendRing {
 public:
  ~UringSendRing() override {
    if (open_) io_uring_queue_exit(&ring_);
  }
  bool Init(unsigned entries, std::string& why);
  bool Send(std::span<SendJob> jobs, std::size_t& settled) override;

 private:
  // Takes the results of the first `submitted` jobs; false when waiting failed.
  bool Reap(std::span<SendJob> jobs, std::size_t submitted);

  io_uring ring_{};
  bool open_ = false;
};

bool UringSendRing::Init(unsigned entries, std::string& why) {
  // Only this thread submits, and completions are reaped right away.
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN;
  int rc = io_uring_queue_init_params(entries, &ring_, &params);
  if (rc < 0) {
    params = {};
    rc = io_uring_queue_init_params(entries, &ring_, &params);
  }
  if (rc < 0) why = std::string("the kernel refused io_uring: ") + std::strerror(-rc);
  open_ = rc >= 0;
  return open_;
}

bool UringSendRing::Send(std::span<SendJob> jobs, std::size_t& settled) {
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
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
  while (submitted < jobs.size()) {
    const int n = io_uring_submit(&ring_);
    if (n <= 0 && n != -EINTR && n != -EAGAIN) {
      failed = true;
      break;
    }
    if (n > 0) submitted += static_cast<std::size_t>(n);
  }
  settled = submitted;
  return Reap(jobs, submitted) && !failed;
}

bool UringSendRing::Reap(std::span<SendJob> jobs, std::size_t submitted) {
  for (std::size_t reaped = 0; reaped < submitted; ++reaped) {
    io_uring_cqe* cqe = nullptr;
    int rc = 0;
    while ((rc = io_uring_wait_cqe(&ring_, &cqe)) == -EINTR) {
    }
    if (rc < 0) {
      // What became of the rest is unknown: their connections are closed
      // rather than sent twice or not at all.
      for (SendJob& job : jobs.first(submitted))
        if (job.sent == 0 && job.error == 0) job.error = EIO;
      return false;
    }
    SendJob& job = jobs[io_uring_cqe_get_data64(cqe)];
    if (cqe->res >= 0) {
      job.sent = static_cast<std::size_t>(cqe->res);
    } else if (cqe->res != -EAGAIN && cqe->res != -EINTR) {
      job.error = -cqe->res;
    }
    io_uring_cqe_seen(&ring_, cqe);
  }
  return true;
}

}  // namespace

std::unique_ptr<SendRing> SendRing::Open(unsigned entries, std::string& why) {
  auto ring = std::make_unique<UringSendRing>();
  if (!ring->Init(entries, why)) return nullptr;
  return ring;
}

}  // namespace reposa::server
