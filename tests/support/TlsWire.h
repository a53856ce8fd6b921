#pragma once

// TLS for a test's or a driver's end of a connection, over memory: FlapPeer
// hands it what comes off the socket and sends what it puts on the wire, so
// the same peer speaks plain or TLS, blocking or in a driver's poll loop.
// Either side: a client verifying the server against a CA file and a name,
// or a server presenting a certificate.

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace reposa::test {

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslContext = std::shared_ptr<SSL_CTX>;

// A client's context trusting `caFile` alone.
inline SslContext ClientContext(const std::string& caFile) {
  SslContext ctx(SSL_CTX_new(TLS_client_method()), SslCtxFree{});
  if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1)
    throw std::runtime_error("cannot set up a TLS client with " + caFile);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

// A server's context presenting `cert` (a chain) and `key`.
inline SslContext ServerContext(const std::string& cert, const std::string& key) {
  SslContext ctx(SSL_CTX_new(TLS_server_method()), SslCtxFree{});
  if (!ctx || SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("cannot set up a TLS server with " + cert);
  return ctx;
}

class TlsWire {
 public:
  // The client's side, checking the certificate is for `host`; `resume`
  // offers an earlier session.
  static std::unique_ptr<TlsWire> Client(const SslContext& ctx, const std::string& host,
                                         SSL_SESSION* resume = nullptr) {
    auto wire = std::unique_ptr<TlsWire>(new TlsWire(ctx));
    SSL_set_connect_state(wire->ssl_);
    unsigned char any[16];
    if (::inet_pton(AF_INET, host.c_str(), any) == 1)
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(wire->ssl_), host.c_str());
    else
      SSL_set1_host(wire->ssl_, host.c_str());
    if (resume) SSL_set_session(wire->ssl_, resume);
    return wire;
  }
  static std::unique_ptr<TlsWire> Server(const SslContext& ctx) {
    auto wire = std::unique_ptr<TlsWire>(new TlsWire(ctx));
    SSL_set_accept_state(wire->ssl_);
    return wire;
  }
  ~TlsWire() { SSL_free(ssl_); }
  TlsWire(const TlsWire&) = delete;
  TlsWire& operator=(const TlsWire&) = delete;

  SSL* ssl() const { return ssl_; }
  bool ready() const { return ready_; }
  // Why the handshake or the connection failed; empty while it has not.
  const std::string& error() const { return error_; }

  void Start(std::string& wire) {
    Step();
    Drain(wire);
  }
  // Takes bytes off the wire; false once the other side ended TLS (a
  // close_notify) or it failed.
  bool Take(std::string_view bytes, std::string& plain, std::string& wire) {
    if (!bytes.empty()) BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    bool open = Step();
    char chunk[16 * 1024];
    while (open && ready_) {
      const int n = SSL_read(ssl_, chunk, sizeof chunk);
      if (n > 0) {
        plain.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      open = Failed(n);
      break;
    }
    Drain(wire);
    return open;
  }
  // Plain bytes for the wire; held until the handshake is done.
  void Seal(std::string_view plain, std::string& wire) {
    held_.append(plain);
    if (!ready_ || held_.empty()) return;
    SSL_write(ssl_, held_.data(), static_cast<int>(held_.size()));
    held_.clear();
    Drain(wire);
  }
  void Shutdown(std::string& wire) {
    SSL_shutdown(ssl_);
    Drain(wire);
  }

 private:
  explicit TlsWire(const SslContext& ctx)
      : ctx_(ctx), ssl_(SSL_new(ctx.get())), in_(BIO_new(BIO_s_mem())), out_(BIO_new(BIO_s_mem())) {
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_, in_, out_);
  }
  // Moves the handshake on; false once it failed.
  bool Step() {
    if (ready_) return true;
    const int r = SSL_do_handshake(ssl_);
    if (r != 1) return Failed(r);
    ready_ = true;
    // What was held goes now; the caller's Drain takes it to the wire.
    if (!held_.empty()) SSL_write(ssl_, held_.data(), static_cast<int>(held_.size()));
    held_.clear();
    return true;
  }
  // After a call that returned `r` <= 0: false when the connection is over.
  bool Failed(int r) {
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ) return true;
    if (e == SSL_ERROR_ZERO_RETURN) return false;
    const unsigned long code = ERR_get_error();
    const long verified = SSL_get_verify_result(ssl_);
    error_ = verified != X509_V_OK ? X509_verify_cert_error_string(verified)
             : code                ? ERR_reason_error_string(code)
                                   : "failed";
    ERR_clear_error();
    return false;
  }
  void Drain(std::string& wire) {
    char chunk[16 * 1024];
    for (int n; (n = BIO_read(out_, chunk, sizeof chunk)) > 0;)
      wire.append(chunk, static_cast<std::size_t>(n));
  }

  SslContext ctx_;
  SSL* ssl_;
  BIO* in_;
  BIO* out_;
  bool ready_ = false;
  std::string held_;  // plain bytes waiting for the handshake
  std::string error_;
};

}  // namespace reposa::test
