#pragma once

// reposa-console as a process: JSON lines in, JSON lines out.
// REPOSA_CONSOLE_PATH names the program for the target including this.

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"

namespace reposa::test {

using json = nlohmann::ordered_json;

class ConsoleProcess : public ChildProcess {
 public:
  explicit ConsoleProcess(std::vector<std::string> args = {},
                          const std::string& program = REPOSA_CONSOLE_PATH)
      : ChildProcess(WithProgram(program, std::move(args))) {}

  // Runs while a read waits (a window's event loop, say); reads then wait in
  // short slices between its runs.
  std::function<void()> whileWaiting;

  bool Send(const json& request) { return WriteLine(request.dump()); }
  bool Call(std::string_view method, json args = json::array()) {
    return Send(json{{"call", method}, {"args", std::move(args)}});
  }

  // The next printed line, parsed (a line that is not JSON is a discarded
  // value); nothing at the end of output or after the bound.
  std::optional<json> ReadJson(std::chrono::milliseconds bound = 10s) {
    const auto deadline = Clock::now() + bound;
    std::optional<std::string> line;
    while (!(line = NextLine(whileWaiting ? 10ms : bound)) && whileWaiting &&
           Clock::now() < deadline)
      whileWaiting();
    if (!line) return std::nullopt;
    return json::parse(*line, nullptr, /*allow_exceptions=*/false);
  }
  // Reads lines until one satisfies `wanted`: the lines read, that one
  // last, or nothing when it did not come within the bound.
  std::optional<std::vector<json>> ReadUntil(const std::function<bool(const json&)>& wanted,
                                             std::chrono::milliseconds bound = 10s) {
    const auto deadline = Clock::now() + bound;
    std::vector<json> lines;
    while (Clock::now() < deadline) {
      std::optional<json> line =
          ReadJson(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
      if (!line) break;
      lines.push_back(std::move(*line));
      if (wanted(lines.back())) return lines;
    }
    return std::nullopt;
  }
  std::optional<json> Await(const std::function<bool(const json&)>& wanted,
                            std::chrono::milliseconds bound = 10s) {
    std::optional<std::vector<json>> lines = ReadUntil(wanted, bound);
    if (!lines) return std::nullopt;
    return lines->back();
  }
  std::optional<json> AwaitEvent(const std::string& name, std::chrono::milliseconds bound = 10s) {
    return Await([&](const json& v) { return v.value("event", "") == name; }, bound);
  }

 private:
  static std::vector<std::string> WithProgram(const std::string& program,
                                              std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return args;
  }
};

inline json Event(std::string_view name, json args = json::array()) {
  return json{{"event", name}, {"args", std::move(args)}};
}

}  // namespace reposa::test
