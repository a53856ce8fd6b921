#pragma once

// Certificates made when a test or a driver runs, with OpenSSL: a test CA,
// and server certificates it (or a CA nobody trusts) signs for the names a
// test asks for, valid, expired or not valid yet. ECDSA P-256 throughout.
// Everything is written as PEM into a folder the caller owns.

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace reposa::test {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

// What a server certificate is made for.
struct CertSpec {
  std::vector<std::string> names = {"localhost", "127.0.0.1"};  // IP addresses as such
  long validFromDays = -1;                                      // relative to now
  long validToDays = 30;
  bool untrusted = false;  // signed by a CA that is not in caFile()
};

// A certificate and its key as files.
struct Issued {
  std::string cert;
  std::string key;
};

class TestCertificates {
 public:
  // Makes the trusted CA (written to caFile()) and the untrusted one.
  explicit TestCertificates(std::string dir) : dir_(std::move(dir)) {
    ca_ = MakeCa("Reposa Test CA", caKey_);
    other_ = MakeCa("Nobody's CA", otherKey_);
    Write(dir_ + "/ca.pem", ca_.get(), nullptr);
  }

  const std::string& dir() const { return dir_; }
  std::string caFile() const { return dir_ + "/ca.pem"; }

  // A server certificate `name`.pem with its key `name`.key (a chain of the
  // certificate and its CA in the .pem, as a server is given it).
  Issued Issue(const std::string& name, const CertSpec& spec = {}) {
    Key key = NewKey();
    X509* issuer = spec.untrusted ? other_.get() : ca_.get();
    EVP_PKEY* issuerKey = spec.untrusted ? otherKey_.get() : caKey_.get();
    Cert cert = Make(key.get(), spec.names.empty() ? "server" : spec.names[0], issuer,
                     spec.validFromDays, spec.validToDays);
    std::string alternatives;
    for (const std::string& n : spec.names) {
      unsigned char any[16];
      const bool ip =
          ::inet_pton(AF_INET, n.c_str(), any) == 1 || ::inet_pton(AF_INET6, n.c_str(), any) == 1;
      alternatives += (alternatives.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + n;
    }
    if (!alternatives.empty()) Extend(cert.get(), issuer, NID_subject_alt_name, alternatives);
    Extend(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    Extend(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
    Sign(cert.get(), issuerKey);
    Issued files{dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
    Write(files.cert, cert.get(), issuer);
    WriteKey(files.key, key.get());
    return files;
  }

 private:
  static Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("cannot make a P-256 key");
    return key;
  }
  Cert Make(EVP_PKEY* key, const std::string& commonName, X509* issuer, long fromDays,
            long toDays) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial_);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer ? issuer : cert.get()));
    return cert;
  }
  Cert MakeCa(const std::string& commonName, Key& key) {
    key = NewKey();
    Cert cert = Make(key.get(), commonName, nullptr, -1, 3650);
    Extend(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    Extend(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    Sign(cert.get(), key.get());
    return cert;
  }
  static void Extend(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext || !X509_add_ext(cert, ext, -1)) throw std::runtime_error("bad extension " + value);
    X509_EXTENSION_free(ext);
  }
  static void Sign(X509* cert, EVP_PKEY* key) {
    if (X509_sign(cert, key, EVP_sha256()) <= 0) throw std::runtime_error("cannot sign");
  }
  static std::FILE* Open(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path);
    return f;
  }
  static void Write(const std::string& path, X509* cert, X509* chain) {
    std::FILE* f = Open(path);
    PEM_write_X509(f, cert);
    if (chain) PEM_write_X509(f, chain);
    std::fclose(f);
  }
  static void WriteKey(const std::string& path, EVP_PKEY* key) {
    std::FILE* f = Open(path);
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
  }

  std::string dir_;
  Key caKey_, otherKey_;
  Cert ca_, other_;
  long serial_ = 0;
};

}  // namespace reposa::test
