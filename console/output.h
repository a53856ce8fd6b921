#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kez/posix/EventLoop.h"

namespace reposa::console {

// Standard output as a bounded queue of JSON lines, written without blocking
// whenever the descriptor takes bytes. A reader that stalls therefore never
// stalls the loop, which keeps answering the server. Past `limit` bytes the
// oldest event lines are dropped and one notice line counts them; results,
// errors and notices are never dropped: while they alone fill the queue,
// `onFull(true)` asks the caller to stop taking input, and `onFull(false)`
// lets it go on once half the room is free again. Lines come from sources
// (the accounts of one program): the events dropped are the oldest of the
// source that holds the most event bytes, so one account's flood costs the
// others' events nothing.
class OutputQueue {
 public:
  static constexpr std::size_t kDefaultLimit = 8 * 1024 * 1024;

  OutputQueue(kez::posix::EventLoop& loop, int fd, std::size_t limit = kDefaultLimit,
              std::function<void(bool full)> onFull = {});
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  void Write(const nlohmann::ordered_json& value, std::size_t source = 0);
  // Writes what is queued, waiting for the reader at most until `deadline`:
  // for the last lines before the program ends.
  void Drain(std::chrono::steady_clock::time_point deadline);

  std::size_t QueuedBytes() const { return bytes_; }
  bool Broken() const { return broken_; }

 private:
  enum class Kind { Event, Kept, Notice };
  struct Line {
    std::string text;  // with its line feed
    Kind kind;
    std::size_t dropped = 0;  // for a notice: the lines it counts
    std::size_t source = 0;
  };
  void DropOldEvents();
  bool DropOneEvent(std::size_t from);
  void Flush();
  void UpdateWatch();
  void SetFull(bool full);

  kez::posix::EventLoop& loop_;
  int fd_;
  std::size_t limit_;
  std::function<void(bool)> onFull_;
  int savedFlags_ = -1;
  kez::posix::EventLoop::Id watch_ = 0;
  std::deque<Line> lines_;
  std::vector<std::size_t> eventBytes_;  // queued event bytes of each source
  std::size_t bytes_ = 0;                // queued, the written part of the front included
  std::size_t written_ = 0;              // bytes of the front line already written
  bool broken_ = false;
  bool full_ = false;
};

}  // namespace reposa::console
