#include "log_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace reposa::server {

LogQueue::LogQueue(int fd, std::string prefix, std::size_t capacity)
    : fd_(fd), prefix_(std::move(prefix)), capacity_(capacity) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

void LogQueue::Add(std::string_view line) {
  if (line == last_) {
    ++repeats_;
    return;
  }
  EndRun();
  last_ = std::string(line);
  Queue(line);
  Flush();
}

void LogQueue::EndRun() {
  if (repeats_ == 0) return;
  const std::size_t n = repeats_;
  repeats_ = 0;
  Queue("(the line above repeated " + std::to_string(n) + " more time" + (n == 1 ? ")" : "s)"));
}

void LogQueue::Queue(std::string_view line) {
  if (broken_) return;
  if (waiting() + prefix_.size() + line.size() + 1 > capacity_) {
    ++dropped_;
    return;
  }
  buffer_.append(prefix_).append(line).push_back('\n');
}

bool LogQueue::Flush() {
  EndRun();
  while (!broken_ && pos_ < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + pos_, buffer_.size() - pos_);
    if (n > 0) {
      pos_ += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      broken_ = true;
    }
  }
  if (broken_ || pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  } else if (pos_ > capacity_ / 2) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  // Report the loss once the report fits; it counts itself if it does not.
  if (dropped_ > 0 && waiting() + 128 <= capacity_) {
    const std::size_t n = dropped_;
    dropped_ = 0;
    Queue(std::to_string(n) + " log line" + (n == 1 ? " was" : "s were") +
          " dropped: the log was not being read");
    return Flush();
  }
  return waiting() == 0;
}

}  // namespace reposa::server
