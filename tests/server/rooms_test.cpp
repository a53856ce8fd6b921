// The server's rooms depend one way: service/ on none of the others, net/
// and store/ on service/ but not on each other, and none of them on the
// program's own files at the top, the limits list and the metrics seam
// excepted; the metrics seam depends on no room.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace reposa::server {
namespace {

TEST(ServerRooms, IncludeOneWay) {
  const struct {
    const char* room;
    const char* allowed;  // the rooms its headers may come from
  } rows[] = {{"service", "service"},
              {"net", "net|service"},
              {"store", "store|service"},
              {"metrics", "metrics"}};
  const std::regex include(R"re(#include "([^"]+)")re");
  for (const auto& r : rows) {
    const std::regex allowed(std::string("(") + r.allowed +
                             ")/.*|server_limits\\.h|metrics/metrics\\.h|kez/.*");
    const auto root = std::filesystem::path(REPOSA_SERVER_SOURCE_DIR) / r.room;
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
      std::ifstream in(entry.path());
      ++files;
      for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, include)) continue;
        EXPECT_TRUE(std::regex_match(m[1].str(), allowed)) << entry.path() << ": " << line;
      }
    }
    EXPECT_GE(files, 2u) << root;
  }
}

}  // namespace
}  // namespace reposa::server
