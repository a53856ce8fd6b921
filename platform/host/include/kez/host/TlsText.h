#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kez::host {

// Why a TLS connection to a server could not be made. The posix and the Qt
// socket both word their failures through TlsFailureText, so a person reads
// the same words whichever program or library they use.
enum class TlsProblem {
  Expired,      // the server's certificate is past its end date
  NotYetValid,  // ... or before its start date
  WrongName,    // it names other hosts than the one asked for
  Untrusted,    // no trusted authority signed it (an unknown CA, self-signed)
  NotTls,       // what came back is not TLS: a plain server, say
  NoAnswer,     // the handshake did not end within kTlsHandshakeSeconds
  Other,        // anything else; `detail` says what
};

struct TlsFailure {
  TlsProblem problem = TlsProblem::Other;
  // WrongName: the names the certificate is for, as it gives them.
  std::vector<std::string> names;
  std::string detail;
};

// A server that takes the connection but does not finish the handshake
// within this long is given up.
inline constexpr int kTlsHandshakeSeconds = 30;

// Past this many names a certificate is "for a, b, c, d and 7 more".
inline constexpr std::size_t kTlsNamesShown = 4;

// "certificate has expired", "certificate is for other.example, not
// chat.example", "the server does not speak TLS", ... for `host`, the name
// the client asked for. Names from the certificate are the server's text:
// each is cut short and stripped of bytes that are not printable ASCII.
std::string TlsFailureText(const TlsFailure& failure, std::string_view host);

}  // namespace kez::host
