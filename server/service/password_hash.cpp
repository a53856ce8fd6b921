#include "service/password_hash.h"

#include <sodium.h>

#include <mutex>
#include <stdexcept>

namespace reposa::server {

namespace {

void InitSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("cannot start the password hashing library");
}

}  // namespace

std::string HashPassword(std::string_view password, const Limits& limits) {
  InitSodium();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, password.data(), password.size(), limits.hashPasses,
                            limits.hashMemory, crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("cannot hash a password: out of memory");
  return out;
}

bool VerifyPassword(std::string_view hash, std::string_view password) {
  InitSodium();
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  const std::string terminated(hash);
  return crypto_pwhash_str_verify(terminated.c_str(), password.data(), password.size()) == 0;
}

bool IsPasswordHash(std::string_view hash, const Limits& limits) {
  InitSodium();
  if (!hash.starts_with("$argon2id$") || hash.size() >= crypto_pwhash_STRBYTES) return false;
  const std::string terminated(hash);
  // -1: not a hash string this library can read.
  return crypto_pwhash_str_needs_rehash(terminated.c_str(), limits.hashPasses, limits.hashMemory) !=
         -1;
}

bool NeedsRehash(std::string_view hash, const Limits& limits) {
  InitSodium();
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return true;
  const std::string terminated(hash);
  return crypto_pwhash_str_needs_rehash(terminated.c_str(), limits.hashPasses, limits.hashMemory) !=
         0;
}

std::string DummyHash(const Limits& limits) {
  static std::mutex mutex;
  static std::string hash;
  static std::size_t passes = 0, memory = 0;
  std::lock_guard lock(mutex);
  if (hash.empty() || passes != limits.hashPasses || memory != limits.hashMemory) {
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    hash = HashPassword(std::string_view(reinterpret_cast<const char*>(random), sizeof random),
                        limits);
    passes = limits.hashPasses;
    memory = limits.hashMemory;
  }
  return hash;
}

}  // namespace reposa::server
