#pragma once

#include <nlohmann/json.hpp>

namespace reposa::console {

// Writes JSON lines to a descriptor, each whole and at once. A descriptor that
// is non-blocking (standard output may share its file with standard input) is
// waited on. Output is given up once the reader has gone (the session goes on
// without it) or once `stopRequested` says the program is ending.
class LineWriter {
 public:
  explicit LineWriter(int fd, bool (*stopRequested)() = nullptr)
      : fd_(fd), stopRequested_(stopRequested) {}
  void Write(const nlohmann::ordered_json& value);
  bool Broken() const { return broken_; }

 private:
  int fd_;
  bool (*stopRequested_)();
  bool broken_ = false;
};

}  // namespace reposa::console
