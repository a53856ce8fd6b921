#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "kez/posix/EventLoop.h"

namespace reposa::console {

// Cuts a byte stream into lines at each line feed. A line longer than
// `maxLine` is never kept whole: as soon as it is known to be too long its
// bytes are dropped up to its line feed and `onTooLong` runs, once for it.
class LineSplitter {
 public:
  using OnLine = std::function<void(std::string_view line)>;
  // A call's line is far shorter: the longest frame the server takes is 64 KB.
  static constexpr std::size_t kMaxLine = 1024 * 1024;

  explicit LineSplitter(std::size_t maxLine = kMaxLine, std::function<void()> onTooLong = {})
      : maxLine_(maxLine), onTooLong_(std::move(onTooLong)) {}

  void Feed(std::string_view bytes, const OnLine& onLine);
  // End of the stream: a last line without its line feed still counts.
  void Finish(const OnLine& onLine);

 private:
  void TooLong();

  std::size_t maxLine_;
  std::function<void()> onTooLong_;
  std::string pending_;
  bool skipping_ = false;  // inside a line too long to keep
};

// Reads lines from a file descriptor through the event loop: non-blocking,
// one read per turn, so a flood of input cannot starve the socket. The
// descriptor's flags are restored on destruction.
class LineReader {
 public:
  LineReader(kez::posix::EventLoop& loop, int fd, LineSplitter::OnLine onLine,
             std::function<void()> onEnd, std::function<void()> onTooLong = {});
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
