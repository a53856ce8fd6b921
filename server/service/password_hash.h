#pragma once

// Passwords are kept only as Argon2id hash strings. Hashing and checking take
// milliseconds on purpose, so the server does them on worker threads: the
// event loop hands a job over and hears of the result through a descriptor
// it watches, and never waits for a hash itself.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server_limits.h"

namespace reposa::server {

// An Argon2id string that records its own parameters and salt; its cost is
// the limits' hash passes and memory (see docs/decisions.md). Throws
// std::runtime_error when the library cannot hash (out of memory).
std::string HashPassword(std::string_view password, const Limits& limits);
// Whether `password` matches `hash`, whatever parameters `hash` was made with.
bool VerifyPassword(std::string_view hash, std::string_view password);

class PasswordWorker {
 public:
  struct Job {
    std::string hash;         // checked against `password` when not empty
    std::string password;     // the password to check
    std::string newPassword;  // hashed when not empty (and the check passed)
  };
  struct Result {
    bool matches = false;
    std::string newHash;  // empty when not asked for or not made
  };
  using Done = std::function<void(const Result&)>;

  // Runs the limits' number of password threads; new hashes cost what the
  // limits say.
  explicit PasswordWorker(const Limits& limits);
  ~PasswordWorker();
  PasswordWorker(const PasswordWorker&) = delete;
  PasswordWorker& operator=(const PasswordWorker&) = delete;

  // Queues a job; `done` runs on the loop thread, from Collect().
  void Submit(Job job, Done done);
  // The descriptor that becomes readable when results wait.
  int fd() const { return eventFd_; }
  // Runs the `done` of every finished job; call when fd() is readable.
  void Collect();
  std::size_t pending() const;

 private:
  void Work();

  struct Queued {
    Job job;
    Done done;
  };
  struct Finished {
    Result result;
    Done done;
  };
  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Queued> jobs_;
  std::vector<Finished> finished_;
  std::size_t inFlight_ = 0;
  bool stopping_ = false;
  int eventFd_ = -1;
  std::vector<std::thread> threads_;
};

}  // namespace reposa::server
