#include "line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace reposa::console {

void LineSplitter::TooLong() {
  if (onTooLong_) onTooLong_();
}

// Each byte is looked at once, so a long line costs linear time; a line
// grows in one buffer reserved at the cap, never copied as it grows.
void LineSplitter::Feed(std::string_view bytes, const OnLine& onLine) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (skipping_) {
      // dropped up to the line feed
    } else if (pending_.size() + piece.size() > maxLine_) {
      pending_.clear();
      skipping_ = true;
      TooLong();
    } else if (end != std::string_view::npos && pending_.empty()) {
      onLine(piece);
    } else {
      if (pending_.capacity() < pending_.size() + piece.size()) pending_.reserve(maxLine_);
      pending_.append(piece);
      if (end != std::string_view::npos) {
        onLine(pending_);
        pending_.clear();
      }
    }
    if (end == std::string_view::npos) return;
    skipping_ = false;
    bytes.remove_prefix(end + 1);
  }
}

void LineSplitter::Finish(const OnLine& onLine) {
  if (!pending_.empty()) onLine(pending_);
  pending_.clear();
  skipping_ = false;
}

LineReader::LineReader(kez::posix::EventLoop& loop, int fd, LineSplitter::OnLine onLine,
                       std::function<void()> onEnd, std::function<void()> onTooLong)
    : loop_(loop),
      fd_(fd),
      splitter_(LineSplitter::kMaxLine, std::move(onTooLong)),
      onLine_(std::move(onLine)),
      onEnd_(std::move(onEnd)) {
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
