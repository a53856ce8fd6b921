#pragma once

// What the server counts and times, for the metrics endpoint. One small
// seam: the rooms call it at the points where things happen, one line each,
// and know nothing of how the numbers are served. Every call is on the
// loop's thread and costs a few nanoseconds; nothing here does I/O.
//
// Labels name a fixed set of words chosen in this code, never text a client
// sent, so no client can make the set grow. A new reason for a drop or a
// refusal, or a new rate limit, is one row in REPOSA_SERVER_COUNTERS.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace reposa::server::metrics {

// X(id, family, label): one counter, shown as reposa_<family>_total{...}.
// The families: drops (connections the server ended against the client's
// will), refusals (connections and sign-ons turned away), rate_limited (an
// action refused by a rate), store_commits and store_failures.
#define REPOSA_SERVER_COUNTERS(X)                                     \
  X(dropNotReading, drops, "not_reading")                             \
  X(dropOverBudget, drops, "over_budget")                             \
  X(dropSignOnTimeout, drops, "sign_on_timeout")                      \
  X(dropIdle, drops, "idle")                                          \
  X(dropCloseTimeout, drops, "close_timeout")                         \
  X(dropFault, drops, "fault")                                        \
  X(dropAbuse, drops, "abuse")                                        \
  X(dropRemovedAccount, drops, "account_removed")                     \
  X(dropTlsHandshake, drops, "tls_handshake")                         \
  X(refusedConnections, refusals, "connections")                      \
  X(refusedFromAddress, refusals, "connections_from_address")         \
  X(refusedSigningOn, refusals, "signing_on")                         \
  X(refusedSigningOnFromAddress, refusals, "signing_on_from_address") \
  X(refusedFromNetwork, refusals, "connections_from_network")         \
  X(refusedSigningOnFromNetwork, refusals, "signing_on_from_network") \
  X(refusedSignOn, refusals, "wrong_name_or_password")                \
  X(refusedTooSoon, refusals, "sign_on_too_soon")                     \
  X(refusedCheckQueueFull, refusals, "check_queue_full")              \
  X(refusedBadInput, refusals, "bad_input")                           \
  X(refusedKeptMessage, refusals, "kept_message_over_bound")          \
  X(refusedListFull, refusals, "list_full")                           \
  X(ratePresence, rate_limited, "presence")                           \
  X(rateInvite, rate_limited, "invite")                               \
  X(rateLists, rate_limited, "lists")                                 \
  X(rateIm, rate_limited, "im")                                       \
  X(rateImNetwork, rate_limited, "im_network")                        \
  X(rateJoins, rate_limited, "joins")                                 \
  X(ratePasswordChanges, rate_limited, "password_changes")            \
  X(storeCommit, store_commits, "")                                   \
  X(storeFailure, store_failures, "")

enum class Counter : std::size_t {
#define REPOSA_COUNTER_ID(id, family, label) id,
  REPOSA_SERVER_COUNTERS(REPOSA_COUNTER_ID)
#undef REPOSA_COUNTER_ID
};

// The timings, each a histogram in seconds.
enum class Timing : std::size_t {
  SignOn,       // a connection accepted until its sign-on is accepted
  Im,           // an instant message read until its delivery goes to the kernel
  StoreCommit,  // one transaction of a turn's changes
  LoopTurn,     // the loop's work between two waits
};

using Clock = std::chrono::steady_clock;

void Count(Counter counter, std::uint64_t n = 1);
// A command of the command table, by its word.
void Command(std::string_view word);
void Observe(Timing timing, Clock::duration elapsed);
// An instant message was queued in this turn; ImsSent times all of them once
// the turn's output has gone.
void ImQueued();
void ImsSent(Clock::time_point turnStarted);

// What is true now rather than counted: read when the metrics are served.
struct Gauges {
  std::size_t sessions = 0;  // signed on
  std::size_t signingOn = 0;
  std::size_t signedOn = 0;
  std::size_t closing = 0;
  std::size_t queuedBytes = 0;  // output waiting for all clients
  double uptimeSeconds = 0;
};

// Everything, in the Prometheus text format (version 0.0.4).
std::string Exposition(const Gauges& gauges);

}  // namespace reposa::server::metrics
