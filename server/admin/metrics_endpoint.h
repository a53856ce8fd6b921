#pragma once

// The metrics endpoint: GET /metrics over HTTP, answered on the loop with
// the Prometheus text format. A small responder of our own rather than the
// metrics library's web server (docs/decisions.md says why): one request a
// connection, bounded like every other input, and nothing runs while no
// one scrapes.

#include <functional>
#include <string>
#include <string_view>

#include "admin/request_server.h"
#include "kez/posix/EventLoop.h"
#include "metrics/metrics.h"
#include "server_limits.h"

namespace reposa::server {

// The length of the request head at the front of `bytes` (up to its blank
// line), or 0 while it is not whole.
std::size_t HttpRequestLength(std::string_view bytes);
// The whole HTTP answer to a request head; `body` makes the metrics.
std::string HttpAnswer(std::string_view request, const std::function<std::string()>& body);

class MetricsEndpoint {
 public:
  MetricsEndpoint(kez::posix::EventLoop& loop, const Limits& limits,
                  std::function<metrics::Gauges()> gauges);
  // Listens at `host:port`; throws std::runtime_error saying why it cannot.
  void Start(const std::string& host, const std::string& port);
  // Where it listens, "host:port".
  const std::string& address() const { return address_; }

 private:
  std::function<metrics::Gauges()> gauges_;
  RequestServer server_;
  std::string address_;
};

}  // namespace reposa::server
