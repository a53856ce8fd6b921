#include "kez/host/TlsText.h"

#include <algorithm>

namespace kez::host {

namespace {

constexpr std::size_t kLongestName = 64;

// A name as the server's certificate gives it, safe to show.
std::string Printable(std::string_view name) {
  std::string shown;
  for (const char c : name.substr(0, kLongestName)) shown.push_back(c > ' ' && c < 0x7f ? c : '?');
  if (name.size() > kLongestName) shown += "...";
  return shown.empty() ? std::string("(an empty name)") : shown;
}

std::string NameList(const std::vector<std::string>& names) {
  if (names.empty()) return "no host name";
  std::string text;
  const std::size_t shown = std::min(names.size(), kTlsNamesShown);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) text += ", ";
    text += Printable(names[i]);
  }
  if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

}  // namespace

std::string TlsFailureText(const TlsFailure& failure, std::string_view host) {
  switch (failure.problem) {
    case TlsProblem::Expired:
      return "certificate has expired";
    case TlsProblem::NotYetValid:
      return "certificate is not valid yet";
    case TlsProblem::WrongName:
      return "certificate is for " + NameList(failure.names) + ", not " + std::string(host);
    case TlsProblem::Untrusted:
      return "certificate is not signed by a trusted authority";
    case TlsProblem::NotTls:
      return "the server does not speak TLS";
    case TlsProblem::NoAnswer:
      return "no TLS handshake within " + std::to_string(kTlsHandshakeSeconds) + " s";
    case TlsProblem::Other:
      break;
  }
  return "TLS handshake failed" + (failure.detail.empty() ? "" : ": " + failure.detail);
}

}  // namespace kez::host
