#include "Figures.h"

#include <gtest/gtest.h>

namespace kez::bench {
namespace {

// Args copies the words, so they need not outlive it.
Args Make(std::vector<std::string> words) {
  words.insert(words.begin(), "driver");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  return Args(static_cast<int>(argv.size()), argv.data());
}

TEST(Args, TakesKnownOptionsAndRefusesOthers) {
  Args given = Make({"--runs", "5", "--json", "out.json"});
  EXPECT_EQ(given.Number("--runs", 3), 5);
  EXPECT_EQ(given.Text("--json", ""), "out.json");
  EXPECT_EQ(given.Number("--idle", 10), 10);
  EXPECT_NO_THROW(given.Check());

  Args unknown = Make({"--rusn", "5"});
  EXPECT_EQ(unknown.Number("--runs", 3), 3);
  EXPECT_THROW(unknown.Check(), std::invalid_argument);

  Args missing = Make({"--runs"});
  EXPECT_EQ(missing.Number("--runs", 3), 3);
  EXPECT_THROW(missing.Check(), std::invalid_argument);
}

TEST(Figures, WritesMediansAndSamples) {
  Figures figures("driver");
  figures.Add("a.latency", "ms", {3, 1, 2});
  figures.Add("a.memory", "MiB", 4.5);
  const std::string path = ::testing::TempDir() + "/figures.json";
  figures.Write(path);
  const auto json = nlohmann::json::parse(ReadFile(path));
  EXPECT_EQ(json["program"], "driver");
  ASSERT_EQ(json["figures"].size(), 2u);
  EXPECT_EQ(json["figures"][0]["name"], "a.latency");
  EXPECT_EQ(json["figures"][0]["median"], 2.0);
  EXPECT_EQ(json["figures"][0]["samples"], nlohmann::json({3.0, 1.0, 2.0}));
  EXPECT_EQ(json["figures"][1]["unit"], "MiB");
  EXPECT_EQ(json["figures"][1]["median"], 4.5);
}

}  // namespace
}  // namespace kez::bench
