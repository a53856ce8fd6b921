#include "net/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <span>
#include <vector>

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
// Both of our BIOs answer only a flush (there is nothing to flush).
long FlushOnly(BIO*, int command, long, void*) {
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
    BIO_meth_set_ctrl(m, FlushOnly);
    BIO_meth_set_create(m, SinkCreate);
    return m;
  }();
  return method;
}

// The library reads the client's records from what one recv() brought in
// this turn (TlsStream::Read), not from the socket itself: a record is then
// a copy, not two system calls, and no bytes are taken from the socket that
// the turn cannot open.
int FeedRead(BIO* bio, char* data, std::size_t size, std::size_t* read) {
  return static_cast<TlsStream*>(BIO_get_data(bio))->Take(bio, data, size, read);
}

BIO_METHOD* FeedMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "reposa input");
    BIO_meth_set_read_ex(m, FeedRead);
    BIO_meth_set_ctrl(m, FlushOnly);
    BIO_meth_set_create(m, SinkCreate);
    return m;
  }();
  return method;
}

// Where one turn's recv() puts a connection's records: one buffer for the
// loop's thread, since a turn reads one connection at a time.
std::span<char> CipherBuffer() {
  static thread_local std::vector<char> buffer(64 * 1024);
  return buffer;
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
  BIO* in = BIO_new(FeedMethod());
  BIO* out = BIO_new(SinkMethod());
  if (!ssl_ || !in || !out) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl_);
    ssl_ = nullptr;
    failure_ = "cannot set up TLS for it (out of memory)";
    return;
  }
  BIO_set_data(in, this);
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

int TlsStream::Take(BIO* bio, char* data, std::size_t size, std::size_t* read) {
  BIO_clear_retry_flags(bio);
  *read = std::min(size, feed_.size());
  if (*read == 0) {
    if (!ended_) BIO_set_retry_read(bio);  // more comes with a later turn
    return 0;
  }
  std::copy_n(feed_.data(), *read, data);
  feed_.remove_prefix(*read);
  return 1;
}

ssize_t TlsStream::Read(char* buffer, std::size_t size, std::string& wire) {
  if (!ssl_) {
    errno = EPROTO;
    return -1;
  }
  // One recv() a turn, of no more than opens into `buffer`: a record's
  // plain bytes are never more than its sealed ones, and the library holds
  // at most the start of one record from before, so every whole record read
  // opens now and none waits inside the library, where the loop's readiness
  // would not see it.
  const std::span<char> cipher = CipherBuffer();
  const std::size_t room = size > kRecordRoom ? size - kRecordRoom : 1;
  const ssize_t n = ::recv(fd_, cipher.data(), std::min(room, cipher.size()), 0);
  if (n < 0) return -1;  // errno says why; EAGAIN: nothing for now
  feed_ = std::string_view(cipher.data(), static_cast<std::size_t>(n));
  ended_ = n == 0;
  const Sinking into(*this, wire);
  ERR_clear_error();
  std::size_t got = 0;
  int error = SSL_ERROR_NONE;
  while (got < size) {
    const int r =
        SSL_read(ssl_, buffer + got, static_cast<int>(std::min<std::size_t>(size - got, INT_MAX)));
    if (r <= 0) {
      error = SSL_get_error(ssl_, r);
      break;
    }
    got += static_cast<std::size_t>(r);
  }
  feed_ = {};
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
    case SSL_ERROR_SYSCALL:  // the end inside a record
      if (got > 0) return static_cast<ssize_t>(got);
      errno = ECONNRESET;
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
