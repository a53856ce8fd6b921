#include "TlsClient.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kez::posix {

using kez::host::TlsProblem;

namespace {

// OpenSSL is loaded at the first TLS connection, not with the program: a
// console that never uses TLS does not pay the megabytes its libraries cost
// at load. Only these functions are used, each with its declared type.
// clang-format off
#define KEZ_TLS_FUNCTIONS(X)                                                                   \
  X(SSL_CTX_new) X(TLS_client_method) X(SSL_CTX_ctrl) X(SSL_CTX_set_default_verify_paths)      \
  X(SSL_CTX_load_verify_locations) X(ERR_clear_error) X(SSL_new) X(BIO_new) X(BIO_s_mem)       \
  X(BIO_free) X(BIO_ctrl) X(SSL_set_bio) X(SSL_set_connect_state) X(SSL_set_verify)            \
  X(X509_VERIFY_PARAM_set1_ip_asc) X(SSL_get0_param) X(SSL_set1_host) X(SSL_ctrl) X(SSL_free)  \
  X(SSL_CTX_free) X(BIO_read) X(BIO_write) X(SSL_do_handshake) X(SSL_get_verify_result)        \
  X(X509_verify_cert_error_string) X(SSL_get_peer_cert_chain) X(OPENSSL_sk_num)                \
  X(OPENSSL_sk_value) X(ERR_peek_last_error) X(ERR_reason_error_string) X(SSL_get_error)       \
  X(SSL_read) X(SSL_write) X(SSL_shutdown) X(X509_get_ext_d2i) X(GENERAL_NAMES_free)           \
  X(X509_get_subject_name) X(X509_NAME_get_index_by_NID) X(X509_NAME_get_entry)                \
  X(X509_NAME_ENTRY_get_data) X(ASN1_STRING_length) X(ASN1_STRING_get0_data)
// clang-format on

struct OpenSsl {
#define KEZ_TLS_MEMBER(name) decltype(&::name) name = nullptr;
  KEZ_TLS_FUNCTIONS(KEZ_TLS_MEMBER)
#undef KEZ_TLS_MEMBER
  std::string error;  // why it could not be loaded; empty once it was
};

OpenSsl Load() {
  OpenSsl api;
  void* library = ::dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = ::dlerror();
    api.error = std::string("TLS needs OpenSSL 3 (libssl.so.3): ") + (why ? why : "not found");
    return api;
  }
#define KEZ_TLS_RESOLVE(name)                                              \
  api.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name)); \
  if (!api.name) api.error = "TLS needs OpenSSL 3: libssl.so.3 lacks " #name;
  KEZ_TLS_FUNCTIONS(KEZ_TLS_RESOLVE)
#undef KEZ_TLS_RESOLVE
  return api;
}

// The loaded functions; throws std::runtime_error when OpenSSL is missing.
const OpenSsl& Tls() {
  static const OpenSsl api = Load();
  if (!api.error.empty()) throw std::runtime_error(api.error);
  return api;
}

// TLS records that a server may send first: a handshake message or an alert.
constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kAlertRecord = 21;

bool IsIpAddress(const std::string& host) {
  unsigned char any[16];
  return ::inet_pton(AF_INET, host.c_str(), any) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), any) == 1;
}

// Why OpenSSL refused the CA file, for a person.
std::string UnusableCaFile(const std::string& caFile) {
  if (std::FILE* f = std::fopen(caFile.c_str(), "r")) {
    std::fclose(f);
    return "cannot use the CA file " + caFile + ": it holds no PEM certificate";
  }
  return "cannot read the CA file " + caFile + ": " + std::strerror(errno);
}

TlsProblem ProblemOf(long verifyResult) {
  switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return TlsProblem::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsProblem::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsProblem::WrongName;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return TlsProblem::Untrusted;
    default:
      return TlsProblem::Other;
  }
}

std::string AddressText(const ASN1_OCTET_STRING* ip) {
  char text[INET6_ADDRSTRLEN] = {};
  const int length = Tls().ASN1_STRING_length(ip);
  if (length != 4 && length != 16) return "?";
  ::inet_ntop(length == 4 ? AF_INET : AF_INET6, Tls().ASN1_STRING_get0_data(ip), text, sizeof text);
  return text;
}

std::string Text(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(Tls().ASN1_STRING_get0_data(s)),
                     static_cast<std::size_t>(Tls().ASN1_STRING_length(s)));
}

// The host names and addresses a certificate is for: its alternative names,
// else its common name.
std::vector<std::string> NamesOf(X509* cert) {
  std::vector<std::string> names;
  auto* alternatives = static_cast<GENERAL_NAMES*>(
      Tls().X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  const auto* list = reinterpret_cast<const OPENSSL_STACK*>(alternatives);
  for (int i = 0; alternatives && i < Tls().OPENSSL_sk_num(list); ++i) {
    const auto* name = static_cast<const GENERAL_NAME*>(Tls().OPENSSL_sk_value(list, i));
    if (name->type == GEN_DNS) names.push_back(Text(name->d.dNSName));
    if (name->type == GEN_IPADD) names.push_back(AddressText(name->d.iPAddress));
  }
  Tls().GENERAL_NAMES_free(alternatives);
  const X509_NAME* subject = Tls().X509_get_subject_name(cert);
  const int cn = Tls().X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (names.empty() && cn >= 0)
    names.push_back(Text(Tls().X509_NAME_ENTRY_get_data(Tls().X509_NAME_get_entry(subject, cn))));
  return names;
}

// What the library's own error queue says last, in its words.
std::string LastError() {
  const unsigned long e = Tls().ERR_peek_last_error();
  const char* reason = e ? Tls().ERR_reason_error_string(e) : nullptr;
  return reason ? reason : "unknown reason";
}

}  // namespace

struct TlsClient::Ssl {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // read by the library, filled from the wire
  BIO* out = nullptr;  // written by the library, emptied onto the wire
  // Nothing was made, and nothing is called, when OpenSSL could not load.
  ~Ssl() {
    if (ssl) Tls().SSL_free(ssl);  // and both BIOs with it
    if (ctx) Tls().SSL_CTX_free(ctx);
  }
};

TlsClient::TlsClient(const std::string& caFile, const std::string& host)
    : ssl_(std::make_unique<Ssl>()) {
  Tls().ERR_clear_error();
  SSL_CTX* ctx = ssl_->ctx = Tls().SSL_CTX_new(Tls().TLS_client_method());
  if (!ctx) throw std::runtime_error("cannot set up TLS: " + LastError());
  Tls().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  Tls().SSL_CTX_ctrl(ctx, SSL_CTRL_MODE, SSL_MODE_RELEASE_BUFFERS, nullptr);
  if (caFile.empty()) {
    Tls().SSL_CTX_set_default_verify_paths(ctx);
  } else if (Tls().SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
    Tls().ERR_clear_error();
    throw std::runtime_error(UnusableCaFile(caFile));
  }
  SSL* ssl = ssl_->ssl = Tls().SSL_new(ctx);
  ssl_->in = Tls().BIO_new(Tls().BIO_s_mem());
  ssl_->out = Tls().BIO_new(Tls().BIO_s_mem());
  if (!ssl || !ssl_->in || !ssl_->out) {
    Tls().BIO_free(ssl_->in);
    Tls().BIO_free(ssl_->out);
    throw std::runtime_error("cannot set up TLS: " + LastError());
  }
  Tls().BIO_ctrl(ssl_->in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1,
                 nullptr);  // empty: wait for more, not the end
  Tls().SSL_set_bio(ssl, ssl_->in, ssl_->out);
  Tls().SSL_set_connect_state(ssl);
  Tls().SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
  if (IsIpAddress(host)) {
    Tls().X509_VERIFY_PARAM_set1_ip_asc(Tls().SSL_get0_param(ssl), host.c_str());
  } else {
    Tls().SSL_set1_host(ssl, host.c_str());
    Tls().SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                   const_cast<char*>(host.c_str()));
  }
}

TlsClient::~TlsClient() = default;

void TlsClient::Drain(std::string& wire) {
  char chunk[16 * 1024];
  for (int n; (n = Tls().BIO_read(ssl_->out, chunk, sizeof chunk)) > 0;)
    wire.append(chunk, static_cast<std::size_t>(n));
}

void TlsClient::Start(std::string& wire) {
  Tls().SSL_do_handshake(ssl_->ssl);
  Drain(wire);
}

void TlsClient::Fail() {
  step_ = Step::Failed;
  SSL* ssl = ssl_->ssl;
  const long verified = Tls().SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) {
    failure_.problem = ProblemOf(verified);
    failure_.detail = Tls().X509_verify_cert_error_string(verified);
    STACK_OF(X509)* chain = Tls().SSL_get_peer_cert_chain(ssl);
    const auto* certs = reinterpret_cast<const OPENSSL_STACK*>(chain);
    if (failure_.problem == TlsProblem::WrongName && chain && Tls().OPENSSL_sk_num(certs) > 0)
      failure_.names = NamesOf(static_cast<X509*>(Tls().OPENSSL_sk_value(certs, 0)));
  } else {
    const int reason = ERR_GET_REASON(Tls().ERR_peek_last_error());
    const bool plain = reason == SSL_R_WRONG_VERSION_NUMBER ||
                       reason == SSL_R_PACKET_LENGTH_TOO_LONG || reason == SSL_R_UNKNOWN_PROTOCOL;
    failure_.problem = plain ? TlsProblem::NotTls : TlsProblem::Other;
    failure_.detail = LastError();
  }
  Tls().ERR_clear_error();
}

TlsClient::Step TlsClient::Take(std::string_view bytes, std::string& plain, std::string& wire) {
  if (step_ == Step::Failed || step_ == Step::Closed) return step_;
  if (!anyByte_ && !bytes.empty()) {
    anyByte_ = true;
    const auto first = static_cast<unsigned char>(bytes.front());
    if (first != kHandshakeRecord && first != kAlertRecord) {
      step_ = Step::Failed;
      failure_.problem = TlsProblem::NotTls;
      return step_;
    }
  }
  Tls().BIO_write(ssl_->in, bytes.data(), static_cast<int>(bytes.size()));
  SSL* ssl = ssl_->ssl;
  Tls().ERR_clear_error();
  if (step_ == Step::Handshaking) {
    const int done = Tls().SSL_do_handshake(ssl);
    if (done == 1) {
      step_ = Step::Ready;
    } else if (Tls().SSL_get_error(ssl, done) != SSL_ERROR_WANT_READ) {
      Fail();
    }
  }
  char chunk[16 * 1024];
  while (step_ == Step::Ready) {
    const int n = Tls().SSL_read(ssl, chunk, sizeof chunk);
    if (n > 0) {
      plain.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    const int error = Tls().SSL_get_error(ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN) step_ = Step::Closed;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_ZERO_RETURN) Fail();
    break;
  }
  Drain(wire);
  return step_;
}

void TlsClient::Seal(std::string_view plain, std::string& wire) {
  if (step_ != Step::Ready || plain.empty()) return;
  Tls().SSL_write(ssl_->ssl, plain.data(), static_cast<int>(plain.size()));
  Drain(wire);
}

void TlsClient::Shutdown(std::string& wire) {
  if (step_ != Step::Ready) return;
  Tls().SSL_shutdown(ssl_->ssl);
  Drain(wire);
}

}  // namespace kez::posix
