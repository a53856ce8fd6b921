// The window's start: time from starting the program to its window painted
// (offscreen platform), and its resident memory then; and, in turns with it,
// the same for a bare Qt window, the floor it is weighed against. Each run is
// a fresh process; the first one also pays for cold caches.
//
//   bench_window [--runs 11] [--json FILE]

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Figures.h"

int main(int argc, char** argv) {
  using namespace kez::bench;
  try {
    Args args(argc, argv);
    const std::string program = args.Text("--program", REPOSA_WINDOW_SHOWN_PATH);
    const int runs = static_cast<int>(args.Number("--runs", 11));
    const std::string json = args.Text("--json", "");
    args.Check();

    std::vector<double> shownMs, bareMs, rss, hwm, anon, file;
    const auto start = [&](std::vector<std::string> argv) {
      ChildProcess window(std::move(argv), {"QT_QPA_PLATFORM=offscreen"});
      if (window.WaitOut("shown\n") == std::string::npos)
        throw std::runtime_error("the window was not shown: " + window.err());
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - window.started()).count();
      return std::make_pair(ms, Sample(window.pid()));
    };
    for (int i = 0; i < runs; ++i) {
      // The bare window in turns with ours, in the same caches.
      bareMs.push_back(start({program, "--bare"}).first);
      const auto [ms, s] = start({program});
      shownMs.push_back(ms);
      rss.push_back(static_cast<double>(s.rssKiB) / 1024);
      hwm.push_back(static_cast<double>(s.hwmKiB) / 1024);
      anon.push_back(static_cast<double>(s.anonKiB) / 1024);
      file.push_back(static_cast<double>(s.fileKiB) / 1024);
    }
    Figures figures("bench_window");
    figures.Add("window.start_to_shown", "ms", shownMs);
    figures.Add("window.bare_start_to_shown", "ms", bareMs);
    figures.Add("window.rss_shown", "MiB", rss);
    figures.Add("window.peak_rss_shown", "MiB", hwm);
    figures.Add("window.rss_anon_shown", "MiB", anon);
    figures.Add("window.rss_file_shown", "MiB", file);
    figures.Write(json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_window: %s\n", e.what());
    return 1;
  }
  return 0;
}
