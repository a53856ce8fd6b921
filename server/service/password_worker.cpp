#include "service/password_worker.h"

#include <sodium.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

#include "service/password_hash.h"

namespace reposa::server {

namespace {

// Passwords leave memory as soon as they are no longer needed.
void Forget(PasswordWorker::Job& job) {
  sodium_memzero(job.password.data(), job.password.size());
  sodium_memzero(job.newPassword.data(), job.newPassword.size());
}

}  // namespace

PasswordWorker::PasswordWorker(const Limits& limits)
    : limits_(limits), queue_(limits.maxQueuedChecks, limits.maxChecksPerAddress) {
  if (sodium_init() < 0) throw std::runtime_error("cannot start the password hashing library");
  eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd_ < 0) throw std::runtime_error("cannot create an event descriptor");
  for (std::size_t i = 0; i < limits_.passwordThreads; ++i)
    threads_.emplace_back([this] { Work(); });
}

PasswordWorker::~PasswordWorker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
  for (auto& [ticket, queued] : jobs_) Forget(queued.job);
  ::close(eventFd_);
}

PasswordWorker::Ticket PasswordWorker::Submit(Job job, Done done, const std::string& address,
                                              const std::string& network,
                                              Clock::time_point notBefore) {
  Ticket ticket = 0;
  {
    std::lock_guard lock(mutex_);
    if (!queue_.Add(lastTicket_ + 1, address, network, notBefore)) {
      Forget(job);
      return 0;
    }
    ticket = ++lastTicket_;
    jobs_.emplace(ticket, Queued{std::move(job), std::move(done)});
  }
  wake_.notify_one();
  return ticket;
}

bool PasswordWorker::Cancel(Ticket ticket) {
  std::lock_guard lock(mutex_);
  if (!queue_.Remove(ticket)) return false;
  auto it = jobs_.find(ticket);
  Forget(it->second.job);
  jobs_.erase(it);
  return true;
}

std::size_t PasswordWorker::pending() const {
  std::lock_guard lock(mutex_);
  return jobs_.size() + inFlight_ + finished_.size();
}

PasswordWorker::Result PasswordWorker::Run(const Job& job) const {
  Result result;
  if (job.nobody) {
    VerifyPassword(DummyHash(limits_), job.password);
    return result;
  }
  result.matches = job.hash.empty() || VerifyPassword(job.hash, job.password);
  const std::string* fresh = !job.newPassword.empty() ? &job.newPassword
                             : job.rehash && !job.hash.empty() && NeedsRehash(job.hash, limits_)
                                 ? &job.password
                                 : nullptr;
  if (result.matches && fresh) {
    try {
      result.newHash = HashPassword(*fresh, limits_);
    } catch (const std::exception&) {
      result.newHash.clear();  // reported as not made
    }
  }
  return result;
}

void PasswordWorker::Work() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    Clock::time_point next;
    const std::optional<Ticket> ticket = queue_.Take(Clock::now(), &next);
    if (!ticket) {
      if (next == Clock::time_point::max()) {
        wake_.wait(lock);
      } else {
        wake_.wait_until(lock, next);
      }
      continue;
    }
    auto it = jobs_.find(*ticket);
    Queued queued = std::move(it->second);
    jobs_.erase(it);
    ++inFlight_;
    lock.unlock();
    Result result = Run(queued.job);
    Forget(queued.job);
    lock.lock();
    --inFlight_;
    finished_.push_back(Finished{std::move(result), std::move(queued.done)});
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(eventFd_, &one, sizeof one);
  }
}

std::size_t PasswordWorker::RunDue(Clock::time_point now) {
  std::size_t ran = 0;
  for (;; ++ran) {
    Queued queued;
    {
      std::lock_guard lock(mutex_);
      const std::optional<Ticket> ticket = queue_.Take(now);
      if (!ticket) return ran;
      auto it = jobs_.find(*ticket);
      queued = std::move(it->second);
      jobs_.erase(it);
    }
    // Unlocked: `done` may submit or cancel other jobs.
    const Result result = Run(queued.job);
    Forget(queued.job);
    queued.done(result);
  }
}

void PasswordWorker::Collect() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(eventFd_, &count, sizeof count);
  std::vector<Finished> finished;
  {
    std::lock_guard lock(mutex_);
    finished.swap(finished_);
  }
  for (Finished& f : finished) f.done(f.result);
}

}  // namespace reposa::server
