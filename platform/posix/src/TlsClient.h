#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "kez/host/TlsText.h"

namespace kez::posix {

// The client's side of one TLS connection, over memory: bytes off the wire
// go in, plain bytes come out, and what must go on the wire is appended to
// a buffer the caller sends. It verifies the server's certificate against
// the system's store (or a CA file) and the host name asked for, and sends
// that name (SNI) when it is not an IP address.
class TlsClient {
 public:
  enum class Step { Handshaking, Ready, Closed, Failed };

  // Throws std::runtime_error, worded for a person, when the CA file cannot
  // be read. `caFile` empty: the system's store.
  TlsClient(const std::string& caFile, const std::string& host);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // The client's first handshake message, for the wire.
  void Start(std::string& wire);
  // Takes bytes from the wire: plain bytes go to `plain`, handshake answers
  // to `wire`. Ready once the handshake is done; Closed at the server's
  // close_notify; Failed with failure() saying why.
  Step Take(std::string_view bytes, std::string& plain, std::string& wire);
  // Encrypts `plain` for the wire; only once Ready.
  void Seal(std::string_view plain, std::string& wire);
  // The close_notify alert, for the wire.
  void Shutdown(std::string& wire);

  Step step() const { return step_; }
  // Whether the server sent anything at all yet.
  bool heard() const { return anyByte_; }
  // Why it failed, for the socket's error text.
  const kez::host::TlsFailure& failure() const { return failure_; }

 private:
  struct Ssl;
  void Drain(std::string& wire);
  void Fail();

  std::unique_ptr<Ssl> ssl_;
  Step step_ = Step::Handshaking;
  bool anyByte_ = false;  // whether the server sent anything yet
  kez::host::TlsFailure failure_;
};

}  // namespace kez::posix
