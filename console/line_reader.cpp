#include "line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace reposa::console {

void LineSplitter::Feed(std::string_view bytes, const OnLine& onLine) {
  pending_.append(bytes);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = pending_.find('\n', scanned_);
    if (end == std::string::npos) break;
    onLine(std::string_view(pending_).substr(start, end - start));
    start = end + 1;
    scanned_ = start;
  }
  pending_.erase(0, start);
  // Only the new bytes are searched next time, so a long line costs linear time.
  scanned_ = pending_.size();
}

void LineSplitter::Finish(const OnLine& onLine) {
  if (!pending_.empty()) onLine(pending_);
  pending_.clear();
  scanned_ = 0;
}

LineReader::LineReader(kez::posix::EventLoop& loop, int fd, LineSplitter::OnLine onLine,
                       std::function<void()> onEnd)
    : loop_(loop), fd_(fd), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {
  savedFlags_ = ::fcntl(fd_, F_GETFL);
  if (savedFlags_ >= 0) ::fcntl(fd_, F_SETFL, savedFlags_ | O_NONBLOCK);
  // A descriptor that is not open polls as POLLNVAL and then reads as the end.
  watch_ = loop_.Watch(fd_, POLLIN, [this](short) { OnReady(); });
}

LineReader::~LineReader() {
  if (watch_ != 0) loop_.Unwatch(watch_);
  // A terminal or pipe may be shared with the shell that started us.
  if (savedFlags_ >= 0) ::fcntl(fd_, F_SETFL, savedFlags_);
}

void LineReader::SetPaused(bool paused) {
  if (paused_ == paused || ended_) return;
  paused_ = paused;
  if (paused) {
    loop_.Unwatch(watch_);
    watch_ = 0;
  } else {
    watch_ = loop_.Watch(fd_, POLLIN, [this](short) { OnReady(); });
  }
}

void LineReader::OnReady() {
  char buffer[65536];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    End();
    return;
  }
  splitter_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), onLine_);
}

void LineReader::End() {
  loop_.Unwatch(watch_);
  watch_ = 0;
  ended_ = true;
  splitter_.Finish(onLine_);
  if (onEnd_) onEnd_();
}

}  // namespace reposa::console
