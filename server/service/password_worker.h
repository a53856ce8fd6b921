#pragma once

// The threads that check and hash passwords, off the event loop: the loop
// hands a job over and hears of its result through a descriptor it watches.
// Jobs wait in a fair, bounded queue (service/check_queue.h), may be held
// back until a time of their own, and may be taken back until they start;
// a job that was taken back never reports.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server_limits.h"
#include "service/check_queue.h"

namespace reposa::server {

class PasswordWorker {
 public:
  using Clock = CheckQueue::Clock;
  using Ticket = CheckQueue::Ticket;
  struct Job {
    std::string hash;         // checked against `password` when not empty
    std::string password;     // the password to check
    std::string newPassword;  // hashed when not empty (and the check passed)
    // Hash `password` anew when it matches a hash weaker than the limits'.
    bool rehash = false;
    // The name is no account: check against a hash of no one's password, at
    // the same cost, and never match.
    bool nobody = false;
  };
  struct Result {
    bool matches = false;
    std::string newHash;  // empty when not asked for or not made
  };
  using Done = std::function<void(const Result&)>;

  // Runs the limits' number of password threads; new hashes cost what the
  // limits say, and the queue holds what they allow.
  explicit PasswordWorker(const Limits& limits);
  ~PasswordWorker();
  PasswordWorker(const PasswordWorker&) = delete;
  PasswordWorker& operator=(const PasswordWorker&) = delete;

  // Queues a job from `address` in `network`, to start no earlier than
  // `notBefore`; `done` runs on the loop thread, from Collect(). 0 when the
  // queue is full (in all, or for the address).
  Ticket Submit(Job job, Done done, const std::string& address = {},
                const std::string& network = {}, Clock::time_point notBefore = {});
  // Takes a job back that has not started; false when it has (its `done`
  // will still run).
  bool Cancel(Ticket ticket);
  // The descriptor that becomes readable when results wait.
  int fd() const { return eventFd_; }
  // Runs the `done` of every finished job; call when fd() is readable.
  void Collect();
  // Runs the jobs whose time has come by `now`, and their `done`, on the
  // calling thread: how a worker without threads of its own (passwordThreads
  // 0, as in the fuzz target) gets through its queue in a time of the
  // caller's choosing. Returns how many ran.
  std::size_t RunDue(Clock::time_point now);
  std::size_t pending() const;

 private:
  struct Queued {
    Job job;
    Done done;
  };
  struct Finished {
    Result result;
    Done done;
  };
  void Work();
  Result Run(const Job& job) const;

  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  CheckQueue queue_;
  std::unordered_map<Ticket, Queued> jobs_;
  Ticket lastTicket_ = 0;
  std::vector<Finished> finished_;
  std::size_t inFlight_ = 0;
  bool stopping_ = false;
  int eventFd_ = -1;
  std::vector<std::thread> threads_;
};

}  // namespace reposa::server
