#pragma once

// reposa-console as a process: requests go in as JSON lines, and every line
// it prints is kept, parsed.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace reposa::e2e {

using json = nlohmann::ordered_json;

class ConsoleProcess : public ChildProcess {
 public:
  explicit ConsoleProcess(std::vector<std::string> args) : ChildProcess(WithBinary(args)) {}

  bool Send(const json& request) { return Write(request.dump() + "\n"); }
  bool Call(const std::string& method, json args) {
    return Send(json{{"call", method}, {"args", std::move(args)}});
  }

  // Reads printed lines until one satisfies `match`; that line, or nothing
  // when the bound passes first. Every line read stays in `lines`.
  template <class Match>
  std::optional<json> Await(Match match, std::chrono::milliseconds bound = 5s) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      std::optional<std::string> line = NextLine(left);
      if (!line) return std::nullopt;
      json value = json::parse(*line, nullptr, /*allow_exceptions=*/false);
      lines.push_back(value);
      if (match(value)) return value;
    }
    return std::nullopt;
  }
  std::optional<json> AwaitEvent(const std::string& name, std::chrono::milliseconds bound = 5s) {
    return Await([&](const json& v) { return v.value("event", "") == name; }, bound);
  }
  std::optional<json> AwaitError(std::chrono::milliseconds bound = 5s) {
    return Await([](const json& v) { return v.contains("error"); }, bound);
  }

  std::vector<json> lines;

 private:
  static std::vector<std::string> WithBinary(std::vector<std::string> args) {
    args.insert(args.begin(), REPOSA_CONSOLE_BINARY);
    return args;
  }
};

}  // namespace reposa::e2e
