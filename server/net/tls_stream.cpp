#include "net/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "metrics/metrics.h"

namespace reposa::server {

namespace {

// Plain bytes of one TLS record at most: a read is only made with room for
// a whole one, so none is left half-taken inside the library, where the
// loop's readiness would not see it.
constexpr std::size_t kRecordRoom = 16 * 1024;
// Reads of 4 KiB after a failure, at most.
constexpr int kDrainReads = 16;

// The library's writes go into the connection's own output buffer, whole:
// nothing is ever refused, so a write never stops half-way.
int SinkWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
  static_cast<TlsStream*>(BIO_get_data(bio))->sink().append(data, size);
  *written = size;
  return 1;
}
long SinkControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}
int SinkCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* SinkMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "reposa output");
    BIO_meth_set_write_ex(m, SinkWrite);
    BIO_meth_set_ctrl(m, SinkControl);
    BIO_meth_set_create(m, SinkCreate);
    return m;
  }();
  return method;
}

// Reasons the library gives when the first bytes are not a TLS handshake.
bool NotTls(int reason) {
  return reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_HTTP_REQUEST ||
         reason == SSL_R_HTTPS_PROXY_REQUEST || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
         reason == SSL_R_UNKNOWN_PROTOCOL;
}

}  // namespace

// Points the library's writes at `wire` for as long as it lives.
class TlsStream::Sinking {
 public:
  Sinking(TlsStream& stream, std::string& wire) : stream_(stream) {
    wire.append(stream.stray_);
    stream.stray_.clear();
    stream.sink_ = &wire;
  }
  ~Sinking() { stream_.sink_ = nullptr; }
  Sinking(const Sinking&) = delete;
  Sinking& operator=(const Sinking&) = delete;

 private:
  TlsStream& stream_;
};

TlsStream::TlsStream(int fd, SSL_CTX* ctx) : fd_(fd), ssl_(SSL_new(ctx)) {
  BIO* in = BIO_new_socket(fd, BIO_NOCLOSE);
  BIO* out = BIO_new(SinkMethod());
  if (!ssl_ || !in || !out) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl_);
    ssl_ = nullptr;
    failure_ = "cannot set up TLS for it (out of memory)";
    return;
  }
  BIO_set_data(out, this);
  SSL_set_bio(ssl_, in, out);
  SSL_set_accept_state(ssl_);
}

TlsStream::~TlsStream() {
  SSL_free(ssl_);
  if (fd_ >= 0) ::close(fd_);
}

void TlsStream::Failed() {
  const unsigned long error = ERR_peek_error();
  const char* reason = error ? ERR_reason_error_string(error) : nullptr;
  const std::string what = reason ? reason : "a TLS error";
  if (!SSL_is_init_finished(ssl_)) metrics::Count(metrics::Counter::dropTlsHandshake);
  if (SSL_is_init_finished(ssl_))
    failure_ = "TLS error: " + what;
  else if (NotTls(ERR_GET_REASON(error)))
    failure_ = "not a TLS handshake (" + what + "): a plain client on the TLS port?";
  else
    failure_ = "TLS handshake failed: " + what;
  ERR_clear_error();
  // What the client sent beyond the broken record is read and dropped, so
  // the close that follows is an orderly end for it (a plain client then
  // reads "closed by the server"), not a reset.
  char rest[4096];
  for (int i = 0; i<kDrainReads&& ::recv(fd_, rest, sizeof rest, MSG_DONTWAIT)> 0; ++i) {
  }
}

ssize_t TlsStream::Read(char* buffer, std::size_t size, std::string& wire) {
  if (!ssl_) {
    errno = EPROTO;
    return -1;
  }
  const Sinking into(*this, wire);
  ERR_clear_error();
  std::size_t got = 0;
  int error = SSL_ERROR_NONE;
  while (got == 0 || size - got >= kRecordRoom) {
    const int n =
        SSL_read(ssl_, buffer + got, static_cast<int>(std::min<std::size_t>(size - got, INT_MAX)));
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    error = SSL_get_error(ssl_, n);
    break;
  }
  if (!held_.empty() && SSL_is_init_finished(ssl_)) {
    SSL_write(ssl_, held_.data(), static_cast<int>(held_.size()));
    held_ = std::string();
  }
  switch (error) {
    case SSL_ERROR_NONE:
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      if (got > 0) return static_cast<ssize_t>(got);
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:  // a close_notify, or the end without one
      return static_cast<ssize_t>(got);
    case SSL_ERROR_SYSCALL:  // the socket's own error, errno says which
      if (got > 0) return static_cast<ssize_t>(got);
      if (errno == 0) errno = ECONNRESET;
      return -1;
    default:
      // What a broken record came with is not handed on.
      Failed();
      errno = EPROTO;
      return -1;
  }
}

void TlsStream::Seal(std::string_view bytes, std::string& wire) {
  if (!ssl_ || bytes.empty()) return;
  // The session speaks only after the client did, so after the handshake;
  // should it not, its bytes wait for the handshake's end.
  if (!SSL_is_init_finished(ssl_)) {
    held_.append(bytes);
    return;
  }
  const Sinking into(*this, wire);
  ERR_clear_error();
  SSL_write(ssl_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)));
  ERR_clear_error();
}

void TlsStream::CloseWrite() {
  if (ssl_ && SSL_is_init_finished(ssl_)) {
    std::string alert;
    const Sinking into(*this, alert);
    SSL_shutdown(ssl_);
    [[maybe_unused]] const ssize_t n =
        ::send(fd_, alert.data(), alert.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  ::shutdown(fd_, SHUT_WR);
}

}  // namespace reposa::server
