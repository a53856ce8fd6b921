#pragma once

// The server's log on a descriptor that may stop taking bytes (standard error
// piped to a reader that stalled). Writing never blocks: at most `capacity`
// bytes wait; lines that do not fit are counted and the count is written once
// there is room; a run of identical lines is written once, then summarised.

#include <cstddef>
#include <string>
#include <string_view>

namespace reposa::server {

class LogQueue {
 public:
  // Puts `fd` in non-blocking mode. Each line gets `prefix` and a line feed.
  LogQueue(int fd, std::string prefix, std::size_t capacity);

  void Add(std::string_view line);
  // Writes what the descriptor takes now, and the summary of a run of
  // repeated lines; false while bytes still wait.
  bool Flush();
  std::size_t dropped() const { return dropped_; }
  std::size_t waiting() const { return buffer_.size() - pos_; }
  // Whether a Flush has anything to do: bytes wait, a run of repeats or a
  // count of dropped lines is not written yet.
  bool pending() const { return waiting() > 0 || repeats_ > 0 || dropped_ > 0; }

 private:
  void Queue(std::string_view line);
  void EndRun();

  int fd_;
  std::string prefix_;
  std::size_t capacity_;
  std::string buffer_;
  std::size_t pos_ = 0;
  std::size_t dropped_ = 0;  // since the last report
  std::string last_;
  std::size_t repeats_ = 0;  // of last_, not yet written
  bool broken_ = false;      // the descriptor failed: nothing more is kept
};

}  // namespace reposa::server
