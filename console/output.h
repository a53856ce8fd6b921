#pragma once

#include <nlohmann/json.hpp>

namespace reposa::console {

// Writes JSON lines to a descriptor, each whole and at once. A descriptor that
// is non-blocking (standard output may share its file with standard input) is
// waited on; once the reader has gone, output is dropped and the session goes
// on.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  void Write(const nlohmann::ordered_json& value);
  bool Broken() const { return broken_; }

 private:
  int fd_;
  bool broken_ = false;
};

}  // namespace reposa::console
