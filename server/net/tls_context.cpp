#include "net/tls_context.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "net/tls_stream.h"

namespace reposa::server {

namespace {

// Session tickets sent after a full TLS 1.3 handshake: one is enough for
// a client that signs on again.
constexpr std::size_t kTickets = 1;
// The ticket keys: a name, an HMAC key and an AES key.
constexpr std::size_t kTicketKeys = 16 + 32 + 32;

struct ContextFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;

// Why `file` cannot be used as `what`: the system's word when it cannot be
// opened, else the library's first complaint about its content.
[[noreturn]] void Refuse(const std::string& what, const std::string& file) {
  std::string why;
  if (std::FILE* f = std::fopen(file.c_str(), "r")) {
    std::fclose(f);
    const unsigned long error = ERR_get_error();
    const char* reason = error ? ERR_reason_error_string(error) : nullptr;
    why = reason ? reason : "not usable";
  } else {
    why = std::strerror(errno);
  }
  ERR_clear_error();
  throw std::runtime_error("cannot use " + file + " as the TLS " + what + ": " + why);
}

Context Load(const std::string& certFile, const std::string& keyFile) {
  ERR_clear_error();
  Context ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) throw std::runtime_error("cannot set up TLS (out of memory)");
  SSL_CTX* c = ctx.get();
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  // A client that ends without a close_notify has simply gone: the frames
  // tell a whole message from a cut one.
  SSL_CTX_set_options(
      c, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(c, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(c, kTickets);
  if (SSL_CTX_use_certificate_chain_file(c, certFile.c_str()) != 1) Refuse("certificate", certFile);
  if (SSL_CTX_use_PrivateKey_file(c, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    Refuse("key", keyFile);
  if (SSL_CTX_check_private_key(c) != 1) {
    ERR_clear_error();
    throw std::runtime_error("the TLS key in " + keyFile +
                             " is not the key of the certificate in " + certFile);
  }
  return ctx;
}

// Tickets issued before a reload still resume after it.
void KeepTicketKeys(SSL_CTX* from, SSL_CTX* to) {
  unsigned char keys[kTicketKeys];
  if (SSL_CTX_get_tlsext_ticket_keys(from, keys, sizeof keys) == 1)
    SSL_CTX_set_tlsext_ticket_keys(to, keys, sizeof keys);
  OPENSSL_cleanse(keys, sizeof keys);
}

}  // namespace

TlsContext::TlsContext(std::string certFile, std::string keyFile)
    : certFile_(std::move(certFile)), keyFile_(std::move(keyFile)) {
  ctx_ = Load(certFile_, keyFile_).release();
}

TlsContext::~TlsContext() {
  SSL_CTX_free(ctx_);
}

void TlsContext::Reload() {
  Context fresh = Load(certFile_, keyFile_);
  KeepTicketKeys(ctx_, fresh.get());
  // Streams under way hold their own reference to the old settings.
  SSL_CTX_free(ctx_);
  ctx_ = fresh.release();
}

std::unique_ptr<Stream> TlsContext::Wrap(int fd) const {
  return std::make_unique<TlsStream>(fd, ctx_);
}

}  // namespace reposa::server
