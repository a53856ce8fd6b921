#include "TlsClient.h"

#include <arpa/inet.h>
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
  const int length = ASN1_STRING_length(ip);
  if (length != 4 && length != 16) return "?";
  ::inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text, sizeof text);
  return text;
}

std::string Text(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<std::size_t>(ASN1_STRING_length(s)));
}

// The host names and addresses a certificate is for: its alternative names,
// else its common name.
std::vector<std::string> NamesOf(X509* cert) {
  std::vector<std::string> names;
  auto* alternatives =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; i < sk_GENERAL_NAME_num(alternatives); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
    if (name->type == GEN_DNS) names.push_back(Text(name->d.dNSName));
    if (name->type == GEN_IPADD) names.push_back(AddressText(name->d.iPAddress));
  }
  GENERAL_NAMES_free(alternatives);
  const X509_NAME* subject = X509_get_subject_name(cert);
  const int cn = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (names.empty() && cn >= 0)
    names.push_back(Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, cn))));
  return names;
}

// What the library's own error queue says last, in its words.
std::string LastError() {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  return reason ? reason : "unknown reason";
}

}  // namespace

struct TlsClient::Ssl {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // read by the library, filled from the wire
  BIO* out = nullptr;  // written by the library, emptied onto the wire
  ~Ssl() {
    SSL_free(ssl);  // and both BIOs with it
    SSL_CTX_free(ctx);
  }
};

TlsClient::TlsClient(const std::string& caFile, const std::string& host)
    : ssl_(std::make_unique<Ssl>()) {
  ERR_clear_error();
  SSL_CTX* ctx = ssl_->ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) throw std::runtime_error("cannot set up TLS: " + LastError());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (caFile.empty()) {
    SSL_CTX_set_default_verify_paths(ctx);
  } else if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
    ERR_clear_error();
    throw std::runtime_error(UnusableCaFile(caFile));
  }
  SSL* ssl = ssl_->ssl = SSL_new(ctx);
  ssl_->in = BIO_new(BIO_s_mem());
  ssl_->out = BIO_new(BIO_s_mem());
  if (!ssl || !ssl_->in || !ssl_->out) {
    BIO_free(ssl_->in);
    BIO_free(ssl_->out);
    throw std::runtime_error("cannot set up TLS: " + LastError());
  }
  BIO_set_mem_eof_return(ssl_->in, -1);  // empty: wait for more, not the end
  SSL_set_bio(ssl, ssl_->in, ssl_->out);
  SSL_set_connect_state(ssl);
  SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
  if (IsIpAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
  } else {
    SSL_set1_host(ssl, host.c_str());
    SSL_set_tlsext_host_name(ssl, host.c_str());
  }
}

TlsClient::~TlsClient() = default;

void TlsClient::Drain(std::string& wire) {
  char chunk[16 * 1024];
  for (int n; (n = BIO_read(ssl_->out, chunk, sizeof chunk)) > 0;)
    wire.append(chunk, static_cast<std::size_t>(n));
}

void TlsClient::Start(std::string& wire) {
  SSL_do_handshake(ssl_->ssl);
  Drain(wire);
}

void TlsClient::Fail() {
  step_ = Step::Failed;
  SSL* ssl = ssl_->ssl;
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) {
    failure_.problem = ProblemOf(verified);
    failure_.detail = X509_verify_cert_error_string(verified);
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
    if (failure_.problem == TlsProblem::WrongName && sk_X509_num(chain) > 0)
      failure_.names = NamesOf(sk_X509_value(chain, 0));
  } else {
    const int reason = ERR_GET_REASON(ERR_peek_last_error());
    const bool plain = reason == SSL_R_WRONG_VERSION_NUMBER ||
                       reason == SSL_R_PACKET_LENGTH_TOO_LONG || reason == SSL_R_UNKNOWN_PROTOCOL;
    failure_.problem = plain ? TlsProblem::NotTls : TlsProblem::Other;
    failure_.detail = LastError();
  }
  ERR_clear_error();
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
  BIO_write(ssl_->in, bytes.data(), static_cast<int>(bytes.size()));
  SSL* ssl = ssl_->ssl;
  ERR_clear_error();
  if (step_ == Step::Handshaking) {
    const int done = SSL_do_handshake(ssl);
    if (done == 1) {
      step_ = Step::Ready;
    } else if (SSL_get_error(ssl, done) != SSL_ERROR_WANT_READ) {
      Fail();
    }
  }
  char chunk[16 * 1024];
  while (step_ == Step::Ready) {
    const int n = SSL_read(ssl, chunk, sizeof chunk);
    if (n > 0) {
      plain.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_ZERO_RETURN) step_ = Step::Closed;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_ZERO_RETURN) Fail();
    break;
  }
  Drain(wire);
  return step_;
}

void TlsClient::Seal(std::string_view plain, std::string& wire) {
  if (step_ != Step::Ready || plain.empty()) return;
  SSL_write(ssl_->ssl, plain.data(), static_cast<int>(plain.size()));
  Drain(wire);
}

void TlsClient::Shutdown(std::string& wire) {
  if (step_ != Step::Ready) return;
  SSL_shutdown(ssl_->ssl);
  Drain(wire);
}

}  // namespace kez::posix
