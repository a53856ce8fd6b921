#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "json_bytes.h"

namespace reposa::console {

void LineWriter::Write(const nlohmann::ordered_json& value) {
  if (broken_) return;
  std::string line = ToLine(value);
  line.push_back('\n');
  std::size_t done = 0;
  while (done < line.size()) {
    if (stopRequested_ && stopRequested_()) {
      broken_ = true;  // ending: a stalled reader must not hold us
      return;
    }
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, -1);  // a stop signal interrupts this too
    } else if (errno != EINTR) {
      broken_ = true;  // EPIPE and the like: nobody is listening any more
      return;
    }
  }
}

}  // namespace reposa::console
