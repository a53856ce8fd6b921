#include "service/password_hash.h"

#include <sodium.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

namespace reposa::server {

namespace {

void InitSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("cannot start the password hashing library");
}

}  // namespace

std::string HashPassword(std::string_view password, const Limits& limits) {
  InitSodium();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, password.data(), password.size(), limits.hashPasses,
                            limits.hashMemory, crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("cannot hash a password: out of memory");
  return out;
}

bool VerifyPassword(std::string_view hash, std::string_view password) {
  InitSodium();
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  const std::string terminated(hash);
  return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

PasswordWorker::PasswordWorker(const Limits& limits) : limits_(limits) {
  InitSodium();
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
  ::close(eventFd_);
}

void PasswordWorker::Submit(Job job, Done done) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(Queued{std::move(job), std::move(done)});
  }
  wake_.notify_one();
}

std::size_t PasswordWorker::pending() const {
  std::lock_guard lock(mutex_);
  return jobs_.size() + inFlight_ + finished_.size();
}

void PasswordWorker::Work() {
  for (;;) {
    Queued queued;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      queued = std::move(jobs_.front());
      jobs_.pop_front();
      ++inFlight_;
    }
    Result result;
    const Job& job = queued.job;
    result.matches = job.hash.empty() || VerifyPassword(job.hash, job.password);
    if (result.matches && !job.newPassword.empty()) {
      try {
        result.newHash = HashPassword(job.newPassword, limits_);
      } catch (const std::exception&) {
        result.newHash.clear();  // reported as not made
      }
    }
    // Passwords leave memory as soon as they are no longer needed.
    sodium_memzero(queued.job.password.data(), queued.job.password.size());
    sodium_memzero(queued.job.newPassword.data(), queued.job.newPassword.size());
    {
      std::lock_guard lock(mutex_);
      --inFlight_;
      finished_.push_back(Finished{std::move(result), std::move(queued.done)});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(eventFd_, &one, sizeof one);
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
