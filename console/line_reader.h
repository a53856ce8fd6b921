#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "kez/posix/EventLoop.h"

namespace reposa::console {

// Cuts a byte stream into lines at each line feed. A line may be of any
// length; nothing is dropped.
class LineSplitter {
 public:
  using OnLine = std::function<void(std::string_view line)>;

  void Feed(std::string_view bytes, const OnLine& onLine);
  // End of the stream: a last line without its line feed still counts.
  void Finish(const OnLine& onLine);

 private:
  std::string pending_;
  std::size_t scanned_ = 0;  // bytes of pending_ known to hold no line feed
};

// Reads lines from a file descriptor through the event loop: non-blocking,
// one read per turn, so a flood of input cannot starve the socket. The
// descriptor's flags are restored on destruction.
class LineReader {
 public:
  LineReader(kez::posix::EventLoop& loop, int fd, LineSplitter::OnLine onLine,
             std::function<void()> onEnd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Ended() const { return ended_; }
  // A paused reader leaves its input waiting in the descriptor.
  void SetPaused(bool paused);

 private:
  void OnReady();
  void End();

  kez::posix::EventLoop& loop_;
  int fd_;
  int savedFlags_ = -1;
  kez::posix::EventLoop::Id watch_ = 0;
  bool ended_ = false;
  bool paused_ = false;
  LineSplitter splitter_;
  LineSplitter::OnLine onLine_;
  std::function<void()> onEnd_;
};

}  // namespace reposa::console
