#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleProcess.h"
#include "ServerProcess.h"

namespace reposa::e2e {

using json = nlohmann::ordered_json;

inline json Event(std::string_view name, json args = json::array()) {
  return json{{"event", name}, {"args", std::move(args)}};
}

// Stands for the sign-on time in a presence update, which is the server's
// clock: any time within a minute of ours matches it.
inline const json kSignOnTime = "<sign-on time>";

inline bool Matches(const json& expected, const json& actual) {
  if (expected == kSignOnTime)
    return actual.is_number_integer() &&
           std::llabs(actual.get<long long>() - static_cast<long long>(std::time(nullptr))) <= 60;
  if (expected.is_structured()) {
    if (expected.type() != actual.type() || expected.size() != actual.size()) return false;
    if (expected.is_array()) {
      for (std::size_t i = 0; i < expected.size(); ++i)
        if (!Matches(expected[i], actual[i])) return false;
      return true;
    }
    for (auto it = expected.begin(); it != expected.end(); ++it)
      if (!actual.contains(it.key()) || !Matches(it.value(), actual[it.key()])) return false;
    return true;
  }
  return expected == actual;
}

// A file only its owner may read (mkstemp makes it so), removed at the end:
// a password file, or the server's accounts.
class PrivateFile {
 public:
  explicit PrivateFile(std::string_view content) {
    char name[] = "/tmp/reposa-e2e-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    path_ = name;
    const bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    if (!written) {
      ::unlink(path_.c_str());
      throw std::runtime_error("cannot write " + path_);
    }
  }
  ~PrivateFile() { ::unlink(path_.c_str()); }
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A reposa-console signed on at the server at start: JSON calls go in, and
// its lines are checked against the ones a scenario spells out.
class ConsoleClient {
 public:
  ConsoleClient(const ServerProcess& server, std::string_view screenName, std::string_view password,
                std::vector<std::string> options = {})
      : password_(std::string(password) + "\n"), process_([&] {
          std::vector<std::string> args = {"--server",        server.address(),
                                           "--screen-name",   std::string(screenName),
                                           "--password-file", password_.path()};
          args.insert(args.end(), options.begin(), options.end());
          return args;
        }()) {}

  // Runs while a read waits (a window's event loop, say); reads then wait in
  // short slices between its runs.
  std::function<void()> whileWaiting;

  void Call(std::string_view method, json args = json::array()) {
    process_.WriteLine(json{{"call", method}, {"args", std::move(args)}}.dump());
  }

  // Reads one line per expected one and compares them in order: an empty
  // text when all match, else what differed.
  std::string Receive(const std::vector<json>& expected) {
    for (const json& want : expected) {
      const std::optional<std::string> line = NextLine();
      if (!line) return "expected " + want.dump() + ", got nothing within the bound";
      json got;
      try {
        got = json::parse(*line);
      } catch (const json::exception&) {
        return "expected " + want.dump() + ", got a line that is not JSON: " + *line;
      }
      if (!Matches(want, got)) return "expected " + want.dump() + ", got " + got.dump();
    }
    return {};
  }

  // Reads lines until one satisfies `wanted`; the lines read, that one last,
  // or nothing when it did not come within the bound.
  std::optional<std::vector<json>> ReadUntil(const std::function<bool(const json&)>& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    std::vector<json> lines;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::optional<std::string> line = NextLine();
      if (!line) break;
      lines.push_back(json::parse(*line, nullptr, false));
      if (wanted(lines.back())) return lines;
    }
    return std::nullopt;
  }

  // Nothing unread is waiting: a call made now is answered next.
  std::string Quiet() {
    Call("RemoveHtml", {"<b>quiet?</b>"});
    return Receive({json{{"result", "quiet?"}}});
  }

  // Ends the program as a user would (SIGTERM): its exit status, or nothing
  // when it does not end within the bound.
  std::optional<int> End() {
    process_.Signal(SIGTERM);
    const int status = process_.WaitExit();
    if (status < 0) return std::nullopt;
    return status;
  }
  // Waits for the program to end by itself: its exit status, or -1.
  int WaitExit() { return process_.WaitExit(); }
  const std::string& Output() const { return process_.Output(); }
  const std::string& Errors() const { return process_.Errors(); }

 private:
  static constexpr int kBoundMs = 10000;

  std::optional<std::string> NextLine() {
    if (!whileWaiting) return process_.ReadLine(kBoundMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::optional<std::string> line = process_.ReadLine(10)) return line;
      whileWaiting();
    }
    return std::nullopt;
  }

  PrivateFile password_;
  console::test::ConsoleProcess process_;
};

}  // namespace reposa::e2e
