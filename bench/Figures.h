#pragma once

// What a process-level driver measured: named figures, each a set of
// samples reported by its median, printed for people and written as JSON
// for bench/run's summary.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FlapPeer.h"

namespace kez::bench {

// The drivers start and watch programs, and talk to them, with the tests'
// own harness; their peers share one poll() loop, so sends never wait.
using FlapPeer = reposa::test::QueuingPeer;
using reposa::test::ChildProcess;
using reposa::test::Clock;
using reposa::test::PeerFrame;
using reposa::test::ProcSample;
using reposa::test::ReadFile;
using reposa::test::Sample;
using reposa::test::WaitAsleep;
using namespace std::chrono_literals;

// Median of a sample.
inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

inline double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

class Figures {
 public:
  explicit Figures(std::string program) : program_(std::move(program)) {}

  void Add(const std::string& name, const std::string& unit, std::vector<double> samples) {
    const double median = Median(samples);
    std::printf("%-40s %14.3f %-8s (median of %zu; min %.3f, max %.3f)\n", name.c_str(), median,
                unit.c_str(), samples.size(),
                samples.empty() ? 0.0 : *std::min_element(samples.begin(), samples.end()),
                samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end()));
    std::fflush(stdout);
    figures_.push_back({{"name", name}, {"unit", unit}, {"median", median}, {"samples", samples}});
  }
  void Add(const std::string& name, const std::string& unit, double value) {
    Add(name, unit, std::vector<double>{value});
  }

  // Writes {"program": ..., "figures": [...]} when `path` is not empty.
  void Write(const std::string& path) const {
    if (path.empty()) return;
    std::ofstream out(path);
    out << nlohmann::json{{"program", program_}, {"figures", figures_}}.dump(1) << "\n";
  }

 private:
  std::string program_;
  nlohmann::json figures_ = nlohmann::json::array();
};

// "--name value" options of a driver; unknown names are an error.
class Args {
 public:
  Args(int argc, char** argv) : args_(argv + 1, argv + argc) {}
  std::string Text(const std::string& name, std::string fallback) {
    for (std::size_t i = 0; i + 1 < args_.size(); ++i)
      if (args_[i] == name) {
        used_.push_back(name);
        return args_[i + 1];
      }
    used_.push_back(name);
    return fallback;
  }
  double Number(const std::string& name, double fallback) {
    const std::string text = Text(name, "");
    return text.empty() ? fallback : std::stod(text);
  }
  // A "--name" option without a value: whether it is given.
  bool Flag(const std::string& name) {
    const auto at = std::find(args_.begin(), args_.end(), name);
    if (at == args_.end()) return false;
    args_.erase(at);
    return true;
  }
  // Throws on an option no Text/Number call asked for.
  void Check() const {
    for (std::size_t i = 0; i < args_.size(); i += 2) {
      if (std::find(used_.begin(), used_.end(), args_[i]) == used_.end() || i + 1 >= args_.size())
        throw std::invalid_argument("unknown option or missing value: " + args_[i]);
    }
  }

 private:
  std::vector<std::string> args_;
  std::vector<std::string> used_;
};

}  // namespace kez::bench
