#include "admin/metrics_endpoint.h"

#include "net/listener.h"

namespace reposa::server {

namespace {

std::string Response(std::string_view status, std::string_view type, const std::string& body,
                     bool withBody = true) {
  std::string text = "HTTP/1.1 ";
  text.append(status)
      .append("\r\nContent-Type: ")
      .append(type)
      .append("\r\nContent-Length: ")
      .append(std::to_string(body.size()))
      .append("\r\nConnection: close\r\n\r\n");
  if (withBody) text += body;
  return text;
}

std::string Plain(std::string_view status, std::string_view why) {
  return Response(status, "text/plain; charset=utf-8", std::string(why) + "\n");
}

}  // namespace

std::size_t HttpRequestLength(std::string_view bytes) {
  const std::size_t end = bytes.find("\r\n\r\n");
  if (end != std::string_view::npos) return end + 4;
  const std::size_t bare = bytes.find("\n\n");  // a client that ends lines with LF alone
  return bare == std::string_view::npos ? 0 : bare + 2;
}

std::string HttpAnswer(std::string_view request, const std::function<std::string()>& body) {
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  const std::size_t space = line.find(' ');
  const std::size_t second = line.find(' ', space == std::string_view::npos ? space : space + 1);
  if (space == std::string_view::npos || second == std::string_view::npos ||
      !line.substr(second + 1).starts_with("HTTP/1."))
    return Plain("400 Bad Request", "not an HTTP/1 request");
  const std::string_view method = line.substr(0, space);
  std::string_view target = line.substr(space + 1, second - space - 1);
  target = target.substr(0, target.find('?'));
  if (method != "GET" && method != "HEAD") return Plain("405 Method Not Allowed", "GET /metrics");
  if (target != "/metrics") return Plain("404 Not Found", "the metrics are at /metrics");
  return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", body(), method == "GET");
}

MetricsEndpoint::MetricsEndpoint(kez::posix::EventLoop& loop, const Limits& limits,
                                 std::function<metrics::Gauges()> gauges)
    : gauges_(std::move(gauges)),
      server_(loop,
              RequestServer::Rules{
                  limits.maxMetricsConnections,
                  limits.maxMetricsRequest,
                  limits.metricsTimeout,
                  HttpRequestLength,
                  [](RequestServer::Refusal why) {
                    switch (why) {
                      case RequestServer::Refusal::TooMany:
                        return Plain("503 Service Unavailable", "too many scrapes at once");
                      case RequestServer::Refusal::TooLong:
                        return Plain("431 Request Header Fields Too Large", "request too long");
                      case RequestServer::Refusal::NotAllowed:
                      case RequestServer::Refusal::Timeout:
                        break;
                    }
                    return std::string();
                  },
                  {}},
              [this](std::string request, RequestServer::Reply reply) {
                reply(HttpAnswer(request, [this] { return metrics::Exposition(gauges_()); }));
              }) {}

void MetricsEndpoint::Start(const std::string& host, const std::string& port) {
  const int fd = ListenTcp(host, port);
  address_ = BoundAddress(fd);
  server_.Serve(fd);
}

}  // namespace reposa::server
