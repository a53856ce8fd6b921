#pragma once

// Passwords are kept only as Argon2id hash strings. Hashing and checking take
// milliseconds on purpose, so the server does them on worker threads
// (service/password_worker.h) and never on its loop.

#include <string>
#include <string_view>

#include "server_limits.h"

namespace reposa::server {

// An Argon2id string that records its own parameters and salt; its cost is
// the limits' hash passes and memory (see docs/decisions.md). Throws
// std::runtime_error when the library cannot hash (out of memory).
std::string HashPassword(std::string_view password, const Limits& limits);
// Whether `password` matches `hash`, whatever parameters `hash` was made with.
bool VerifyPassword(std::string_view hash, std::string_view password);
// Whether `hash` was made with other parameters than the limits' own, so a
// new one should be made once its password is known.
bool NeedsRehash(std::string_view hash, const Limits& limits);
// A hash of no one's password at the limits' cost, made once: checking a
// name that is not an account against it costs what a real check does.
std::string DummyHash(const Limits& limits);
// Whether `hash` is an Argon2id string VerifyPassword can check: what a
// password handed over already hashed must be. One made at another cost is
// made again at the limits' cost, on the password worker, at its account's
// next sign-on (NeedsRehash).
bool IsPasswordHash(std::string_view hash, const Limits& limits);

}  // namespace reposa::server
