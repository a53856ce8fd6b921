#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "json_bytes.h"

namespace reposa::console {

namespace {

std::string DroppedNotice(std::size_t count) {
  return ToLine(nlohmann::ordered_json{{"notice", "dropped"}, {"lines", count}}) + '\n';
}

}  // namespace

OutputQueue::OutputQueue(kez::posix::EventLoop& loop, int fd, std::size_t limit,
                         std::function<void(bool)> onFull)
    : loop_(loop), fd_(fd), limit_(limit), onFull_(std::move(onFull)) {
  savedFlags_ = ::fcntl(fd_, F_GETFL);
  if (savedFlags_ >= 0) ::fcntl(fd_, F_SETFL, savedFlags_ | O_NONBLOCK);
}

OutputQueue::~OutputQueue() {
  if (watch_) loop_.Unwatch(watch_);
  // The descriptor may be shared with the shell that started us.
  if (savedFlags_ >= 0) ::fcntl(fd_, F_SETFL, savedFlags_);
}

void OutputQueue::Write(const nlohmann::ordered_json& value, std::size_t source) {
  if (broken_) return;
  const bool event = value.is_object() && value.contains("event");
  Line line{ToLine(value) + '\n', event ? Kind::Event : Kind::Kept, 0, source};
  bytes_ += line.text.size();
  if (event) {
    if (source >= eventBytes_.size()) eventBytes_.resize(source + 1);
    eventBytes_[source] += line.text.size();
  }
  lines_.push_back(std::move(line));
  if (bytes_ > limit_) DropOldEvents();
  Flush();
}

// Drops event lines from the oldest on, never the front line once partly
// written. A notice in the dropped lines' place counts them; while it waits
// unwritten it is updated rather than repeated.
void OutputQueue::DropOldEvents() {
  const std::size_t at = written_ > 0 ? 1 : 0;
  std::size_t count = 0;
  while (bytes_ > limit_ && DropOneEvent(at)) ++count;
  if (count > 0) {
    if (at == lines_.size() || lines_[at].kind != Kind::Notice)
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{"", Kind::Notice});
    Line& notice = lines_[at];
    bytes_ -= notice.text.size();
    notice.dropped += count;
    notice.text = DroppedNotice(notice.dropped);
    bytes_ += notice.text.size();
  }
  if (bytes_ > limit_) SetFull(true);
}

// The oldest event, from line `from` on, of the source with the most event
// bytes queued; false when no event can go.
bool OutputQueue::DropOneEvent(std::size_t from) {
  const auto heaviest = std::max_element(eventBytes_.begin(), eventBytes_.end());
  if (heaviest == eventBytes_.end() || *heaviest == 0) return false;
  const std::size_t source = static_cast<std::size_t>(heaviest - eventBytes_.begin());
  // Its only event may be the line being written: then any source's oldest.
  for (const bool anySource : {false, true}) {
    for (std::size_t i = from; i < lines_.size(); ++i) {
      Line& line = lines_[i];
      if (line.kind != Kind::Event || (!anySource && line.source != source)) continue;
      bytes_ -= line.text.size();
      eventBytes_[line.source] -= line.text.size();
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

void OutputQueue::Flush() {
  while (!lines_.empty()) {
    const std::string& text = lines_.front().text;
    const ssize_t n = ::write(fd_, text.data() + written_, text.size() - written_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      // EPIPE and the like: nobody is listening any more; the session goes on.
      broken_ = true;
      lines_.clear();
      eventBytes_.clear();
      bytes_ = written_ = 0;
      break;
    }
    written_ += static_cast<std::size_t>(n);
    if (written_ < text.size()) continue;
    bytes_ -= text.size();
    if (lines_.front().kind == Kind::Event) eventBytes_[lines_.front().source] -= text.size();
    lines_.pop_front();
    written_ = 0;
  }
  if (full_ && (broken_ || bytes_ <= limit_ / 2)) SetFull(false);
  UpdateWatch();
}

void OutputQueue::UpdateWatch() {
  const bool waiting = !lines_.empty();
  if (waiting && !watch_) {
    watch_ = loop_.Watch(fd_, POLLOUT, [this](short) { Flush(); });
  } else if (!waiting && watch_) {
    loop_.Unwatch(watch_);
    watch_ = 0;
  }
}

void OutputQueue::SetFull(bool full) {
  if (full_ == full) return;
  full_ = full;
  if (onFull_) onFull_(full);
}

void OutputQueue::Drain(std::chrono::steady_clock::time_point deadline) {
  Flush();
  while (!lines_.empty() && !broken_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
    Flush();
  }
}

}  // namespace reposa::console
