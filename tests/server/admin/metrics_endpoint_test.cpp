// The metrics endpoint: its answers to good and bad requests, and a scrape
// of a running server whose counters move with the traffic.

#include "admin/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "FlapPeer.h"
#include "Http.h"
#include "ServerProcess.h"

namespace reposa::server::test {
namespace {

using reposa::test::FlapPeer;
using reposa::test::HttpExchange;
using reposa::test::kMetricsGet;
using reposa::test::MetricsPort;
using reposa::test::ServerProcess;

TEST(MetricsEndpoint, AnswersEachRequest) {
  const struct {
    std::string request;
    std::string status;
  } rows[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"GET /metrics?name[]=x HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"\x16\x03\x01 hello\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
  };
  for (const auto& r : rows) {
    const std::string answer = HttpAnswer(r.request, [] { return std::string("m 1\n"); });
    EXPECT_TRUE(answer.starts_with(r.status)) << r.request << " -> " << answer;
    const bool body = r.status.find("200") != std::string::npos && r.request.starts_with("GET");
    EXPECT_EQ(answer.ends_with("\r\n\r\nm 1\n"), body) << r.request;
  }
  EXPECT_EQ(HttpRequestLength("GET / HTTP/1.1\r\nHost: x\r\n"), 0u);
  EXPECT_EQ(HttpRequestLength("GET / HTTP/1.1\r\n\r\nmore"), 18u);
  EXPECT_EQ(HttpRequestLength("GET / HTTP/1.0\n\n"), 16u);
}

// The samples of a scrape by their full names (labels included), after
// checking that every line is a comment or a sample of the text format.
std::map<std::string, double> Samples(const std::string& answer) {
  std::map<std::string, double> samples;
  const std::size_t body = answer.find("\r\n\r\n");
  EXPECT_NE(body, std::string::npos);
  std::istringstream lines(answer.substr(body + 4));
  const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*(\{[^}]*\})?) (-?[0-9.e+-]+|\+Inf|NaN))");
  const std::regex comment(R"(# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .*)");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || std::regex_match(line, comment)) continue;
    if (!std::regex_match(line, m, sample)) {
      ADD_FAILURE() << "not the text format: " << line;
      continue;
    }
    samples[m[1]] = std::stod(m[3]);
  }
  return samples;
}

TEST(MetricsEndpoint, AScrapeParsesAndMovesWithTheTraffic) {
  ServerProcess server({"--metrics", "0"});
  const std::uint16_t port = MetricsPort(server);
  ASSERT_NE(port, 0);
  const auto before = Samples(HttpExchange(port, kMetricsGet));
  EXPECT_EQ(before.at("reposa_sessions"), 0);
  {
    FlapPeer al(server.port()), bo(server.port()), garbled(server.port());
    ASSERT_TRUE(al.SignOn("Al"));
    ASSERT_TRUE(bo.SignOn("Bo"));
    for (int i = 0; i < 5; ++i) al.SendLine("toc_send_im bo \"hi\"");
    for (int i = 0; i < 5; ++i) ASSERT_FALSE(bo.Expect("IM_IN_ENC2:").empty());
    garbled.SendRaw("FLAPON\n\nX");  // a bad frame marker is refused
    EXPECT_TRUE(garbled.WaitClosed());
    auto after = Samples(HttpExchange(port, kMetricsGet));
    EXPECT_EQ(after["reposa_sessions"], 2);
    EXPECT_EQ(after["reposa_connections{state=\"signed_on\"}"], 2);
    EXPECT_EQ(after["reposa_commands_total{command=\"toc_send_im\"}"], 5);
    EXPECT_EQ(after["reposa_commands_total{command=\"toc_init_done\"}"], 2);
    EXPECT_EQ(after["reposa_im_seconds_count"] - before.at("reposa_im_seconds_count"), 5);
    EXPECT_EQ(after["reposa_sign_on_seconds_count"], 2);
    EXPECT_EQ(after["reposa_refusals_total{reason=\"bad_input\"}"], 1);
    EXPECT_GT(after["reposa_loop_turn_seconds_count"], before.at("reposa_loop_turn_seconds_count"));
    EXPECT_EQ(after["reposa_im_seconds_bucket{le=\"+Inf\"}"], after["reposa_im_seconds_count"]);
  }
  // Bad requests get an answer each, and the endpoint goes on.
  EXPECT_TRUE(HttpExchange(port, "DELETE /metrics HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 405"));
  EXPECT_TRUE(HttpExchange(port, std::string(9000, 'G')).starts_with("HTTP/1.1 431"));
  EXPECT_TRUE(HttpExchange(port, kMetricsGet).starts_with("HTTP/1.1 200 OK"));
}

// toc2_new_buddies adding groups G0 to G<n - 1>.
std::string Groups(int n) {
  std::string line = "toc2_new_buddies \"";
  for (int i = 0; i < n; ++i) line += "g:G" + std::to_string(i) + "\n";
  return line + "\"";
}

// Each refusal by a rate of a screen name, or by a full list, is counted on
// its own line.
TEST(MetricsEndpoint, RateHitsAndFullListsAreCountedEachOnItsLine) {
  ServerProcess server({"--metrics", "0"});
  const std::uint16_t port = MetricsPort(server);
  ASSERT_NE(port, 0);
  const struct {
    const char* name;
    std::string line;  // sent again and again
    int times;
    const char* sample;
  } rows[] = {
      {"Imer", "toc_send_im nobody \"" + std::string(2000, 'x') + "\"", 100,
       "reposa_rate_limited_total{limit=\"im\"}"},
      {"Lister", "toc2_new_group G", 80, "reposa_rate_limited_total{limit=\"lists\"}"},
      {"Grouper", Groups(201), 1,  // one past the 200 groups of one list
       "reposa_refusals_total{reason=\"list_full\"}"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.sample);
    FlapPeer peer(server.port());
    ASSERT_TRUE(peer.SignOn(r.name));
    for (int i = 0; i < r.times; ++i) peer.SendLine(r.line);
    double seen = 0;
    for (int i = 0; i < 100 && seen == 0; ++i) {
      seen = Samples(HttpExchange(port, kMetricsGet))[r.sample];
      if (seen == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(seen, 1);
  }
}

}  // namespace
}  // namespace reposa::server::test
