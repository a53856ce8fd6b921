#pragma once

// Every cap and rate of reposa-server, in one list: what it bounds, its
// default, the command-line option that changes it (none: fixed when the
// program is built), and why it is there. The Limits struct, the option
// parsing, --help and docs/limits.md all come from this list; the pieces
// of the server are handed the struct and take what they need from it.
// Protocol constants (the frame header, the largest payload, error numbers)
// are not limits and live with the protocol.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace reposa::server {

inline constexpr std::uint64_t kKiB = 1024;
inline constexpr std::uint64_t kMiB = 1024 * kKiB;

// X(name, unit, default, option, low, high, reason)
//   unit     Count, Bytes, Seconds or Millis: how the value is given and shown
//   default  in that unit
//   option   the long option without "--"; "" when the limit has none
//   low/high what the option accepts, in its unit (0, 0 without an option)
#define REPOSA_SERVER_LIMITS(X)                                                                   \
  /* Connections */                                                                               \
  X(keepAlive, Seconds, 60, "keepalive", 0, 86400,                                                \
    "interval of keep-alive frames to each signed-on client; 0 sends none")                       \
  X(idleKeepAlives, Count, 3, "idle-keepalives", 0, 100,                                          \
    "close a signed-on session from which no whole frame came for this many keep-alive "          \
    "intervals; 0 never")                                                                         \
  X(signOnTimeout, Seconds, 10, "sign-on-timeout", 1, 3600,                                       \
    "close a connection not signed on by then, so idle sockets cannot pile up")                   \
  X(closeTimeout, Seconds, 5, "close-timeout", 1, 3600,                                           \
    "a closing connection is gone by then, whatever it still has queued")                         \
  X(linger, Millis, 2000, "", 0, 0,                                                               \
    "a closing connection waits this long for the client to close its side, so the last "         \
    "answer is not lost to a reset")                                                              \
  X(maxConnections, Count, 10000, "max-connections", 1, 1000000,                                  \
    "connections in all; the limit of open files is raised to fit")                               \
  X(maxPerAddress, Count, 64, "max-per-address", 1, 1000000,                                      \
    "connections from one client address, so one machine cannot take them all")                   \
  X(maxSigningOn, Count, 256, "max-signing-on", 1, 1000000,                                       \
    "connections not yet signed on, in all")                                                      \
  X(maxSigningOnPerAddress, Count, 8, "max-signing-on-per-address", 1, 1000000,                   \
    "connections not yet signed on, from one address")                                            \
  X(maxPerNetwork, Count, 512, "max-per-network", 1, 1000000,                                     \
    "connections from one network (a /24 of IPv4, a /64 of IPv6), so a block of addresses "       \
    "cannot take them all")                                                                       \
  X(maxSigningOnPerNetwork, Count, 64, "max-signing-on-per-network", 1, 1000000,                  \
    "connections not yet signed on, from one network; keep it below max-signing-on, so no one "   \
    "network fills the pool")                                                                     \
  X(maxPendingOutput, Bytes, 4 * kMiB, "max-client-backlog", 512 * kKiB, 1024 * kMiB,             \
    "output one client may leave unread before it is dropped")                                    \
  X(maxTotalOutput, Bytes, 256 * kMiB, "max-total-backlog", kMiB, 64 * 1024 * kMiB,               \
    "output queued for all clients together; past it the largest backlog is dropped first")       \
  X(framesPerTurn, Count, 16, "frames-per-turn", 1, 10000,                                        \
    "frames of one connection handled in one turn of the loop; the rest wait their next turn")    \
  X(readChunk, Bytes, 64 * kKiB, "", 0, 0,                                                        \
    "bytes read from one connection in one turn, so a flood cannot starve the others")            \
  X(acceptsPerTurn, Count, 64, "", 0, 0,                                                          \
    "connections accepted in one turn, so a storm of them cannot starve the others")              \
  X(acceptPause, Millis, 100, "", 0, 0,                                                           \
    "the listener rests this long when the process is out of descriptors, instead of spinning")   \
  X(keptOutputBuffer, Bytes, 64 * kKiB, "", 0, 0,                                                 \
    "an emptied output buffer larger than this is given back, and larger ones get mappings of "   \
    "their own, so idle connections keep no burst's memory")                                      \
  X(compactOutputAt, Bytes, kMiB, "", 0, 0,                                                       \
    "sent bytes left at the front of an output buffer before it is compacted")                    \
  X(sendRingEntries, Count, 256, "", 0, 0, "sends handed to the kernel in one io_uring batch")    \
  X(batchFrom, Count, 4, "", 0, 0,                                                                \
    "fewest connections to write in a turn for a batch; below it send() alone costs no more")     \
  X(sweepAtMost, Millis, 1000, "", 0, 0,                                                          \
    "deadlines are checked a few times within the shortest of them, and at least this often")     \
  X(sweepAtLeast, Millis, 10, "", 0, 0,                                                           \
    "deadlines are checked at most this often, however short they are")                           \
  X(spareFiles, Count, 64, "", 0, 0,                                                              \
    "open files asked for beyond max-connections: the listener, the database, the log, workers")  \
  /* Sessions and the service */                                                                  \
  X(maxCommandLine, Bytes, 8192, "", 0, 0,                                                        \
    "longest command line; every answer built from a shorter one fits in one frame")              \
  X(maxInputAwaitingVerdict, Bytes, 64 * kKiB, "", 0, 0,                                          \
    "input taken while a sign-on waits for its password check; a client that sends more is "      \
    "closed")                                                                                     \
  X(maxArguments, Count, 128, "", 0, 0,                                                           \
    "arguments of one command; a command with more is refused whole")                             \
  X(maxInvitees, Count, 20, "", 0, 0, "names one chat invitation may name, repeats counted once") \
  X(maxInvitations, Count, 64, "", 0, 0,                                                          \
    "invitations one session holds unanswered; the oldest go first")                              \
  X(inviteBurst, Count, 20, "", 0, 0, "invitations one session may send at once")                 \
  X(invitesPerSecond, Count, 1, "", 0, 0, "invitations one session may send each second after")   \
  X(presenceBurst, Count, 10, "", 0, 0,                                                           \
    "presence changes (away, idle, capabilities, name format) one screen name may make at once, " \
    "over all its sessions")                                                                      \
  X(presencePerSecond, Count, 1, "", 0, 0,                                                        \
    "presence changes one screen name may make each second after")                                \
  X(updatesBurst, Count, 10, "", 0, 0,                                                            \
    "presence updates about one screen name its watchers hear at once (sign-on and sign-off "     \
    "included)")                                                                                  \
  X(updatesPerSecond, Count, 1, "", 0, 0,                                                         \
    "presence updates about one screen name its watchers hear each second after; the rest are "   \
    "coalesced into its latest state")                                                            \
  X(listChangeBurst, Count, 60, "", 0, 0,                                                         \
    "commands changing the stored lists one screen name may give at once")                        \
  X(listChangesPerSecond, Count, 10, "list-rate", 1, 1000000,                                     \
    "commands changing the stored lists one screen name may give each second after; the rest "    \
    "get ERROR:903")                                                                              \
  X(imBurst, Bytes, 64 * kKiB, "", 0, 0, "instant message bytes one screen name sends at once")   \
  X(imPerSecond, Bytes, 16 * kKiB, "im-rate", kKiB, 1024 * kMiB,                                  \
    "instant message bytes one screen name may send each second after; the rest get ERROR:903 "   \
    "instead of flooding the receiver")                                                           \
  X(imNetworkBurst, Bytes, kMiB, "", 0, 0,                                                        \
    "instant message bytes the senders of one network may send at once")                          \
  X(imNetworkPerSecond, Bytes, 256 * kKiB, "im-network-rate", kKiB, 1024 * kMiB,                  \
    "instant message bytes the senders of one network may send each second after")                \
  X(joinBurst, Count, 10, "", 0, 0, "chat rooms one screen name may join at once")                \
  X(joinsPerSecond, Count, 1, "", 0, 0,                                                           \
    "chat rooms one screen name may join each second after; the rest get ERROR:951 (rated)")      \
  X(rosterBurst, Count, 20, "", 0, 0,                                                             \
    "arrivals and departures the members of one room hear of at once")                            \
  X(rosterPerSecond, Count, 2, "", 0, 0,                                                          \
    "arrival and departure updates the members of one room hear each second after; the rest "     \
    "are gathered into one update")                                                               \
  X(coalesceEvery, Millis, 250, "", 0, 0,                                                         \
    "coalesced presence and room updates are sent this often, once their rate allows")            \
  X(maxRateEntries, Count, 100000, "", 0, 0,                                                      \
    "screen names and networks whose rates are remembered; only those idle long enough to have "  \
    "their whole allowance back are forgotten earlier")                                           \
  X(maxWrongPasswords, Count, 3, "", 0, 0,                                                        \
    "wrong old passwords a session may give when changing its password before it is closed")      \
  X(passwordChangeBurst, Count, 3, "", 0, 0,                                                      \
    "password changes one screen name may ask for at once; one is checked at a time")             \
  X(passwordChangeEvery, Seconds, 20, "", 0, 0,                                                   \
    "one more password change is allowed after this long; the rest get ERROR:903")                \
  X(maxRoomName, Bytes, 64, "", 0, 0, "longest chat room name")                                   \
  X(maxRoomMembers, Count, 1000, "", 0, 0, "members of one chat room")                            \
  X(memberListMessage, Bytes, 4096, "", 0, 0,                                                     \
    "a joiner's member list comes in messages of about this size, so a full room fits its "       \
    "frames")                                                                                     \
  X(maxRoomsPerSession, Count, 20, "", 0, 0, "chat rooms one session may be in")                  \
  X(maxOpenAccounts, Count, 100000, "max-open-names", 1, 100000000,                               \
    "screen names an open server keeps in memory; one that stored nothing is forgotten when it "  \
    "signs off, and past this the least recently used idle ones are")                             \
  /* Names and lists */                                                                           \
  X(maxScreenName, Bytes, 48, "", 0, 0, "longest screen name, normalised")                        \
  X(maxDisplayName, Bytes, 64, "", 0, 0, "longest screen name as typed, spaces included")         \
  X(maxPassword, Bytes, 64, "", 0, 0, "longest password")                                         \
  X(maxGroups, Count, 200, "", 0, 0, "groups in one buddy list")                                  \
  X(maxBuddies, Count, 1000, "", 0, 0, "buddies in one buddy list, all groups together")          \
  X(maxPrivacyNames, Count, 500, "", 0, 0, "names on each of the permit and block lists")         \
  X(maxGroupName, Bytes, 64, "", 0, 0, "longest group name")                                      \
  X(maxAlias, Bytes, 64, "", 0, 0, "longest name a user may give a buddy")                        \
  X(maxStoredConfig, Bytes, 256 * kKiB, "", 0, 0,                                                 \
    "stored configuration of one account, as its sign-on sends it; at most half the smallest "    \
    "client backlog, so its owner's sign-on always fits")                                         \
  /* Passwords */                                                                                 \
  X(hashPasses, Count, 5, "", 0, 0,                                                               \
    "Argon2id passes of a password hash; with hash-memory an accepted pair for password "         \
    "storage")                                                                                    \
  X(hashMemory, Bytes, 7 * kMiB, "", 0, 0,                                                        \
    "memory of a password hash; a stored hash weaker than this pair is made again at its "        \
    "account's next sign-on")                                                                     \
  X(passwordThreads, Count, 2, "", 0, 0,                                                          \
    "threads checking and hashing passwords, off the loop; each holds hash-memory while it "      \
    "works, so checks never take more than threads times hash-memory")                            \
  X(maxQueuedChecks, Count, 1024, "", 0, 0,                                                       \
    "password checks waiting in all; past it a sign-on is answered ERROR:983 (too soon) and a "   \
    "password change ERROR:903")                                                                  \
  X(maxChecksPerAddress, Count, 8, "", 0, 0,                                                      \
    "password checks one address may have waiting; checks are taken in turn from each network "   \
    "and each address in it, so a flood waits behind its own")                                    \
  X(refusalDelay, Millis, 250, "", 0, 0,                                                          \
    "after a wrong password, the next check of that name from that network waits this long; "     \
    "each further failure doubles it, and the answer waits, right or wrong")                      \
  X(maxRefusalDelay, Millis, 30000, "", 0, 0,                                                     \
    "the longest wait between two checks of one name from one network")                           \
  X(maxCheckWait, Millis, 5000, "", 0, 0,                                                         \
    "the longest a sign-on waits for its check; one that would wait longer is answered "          \
    "ERROR:983 (too soon) at once, unchecked")                                                    \
  X(freeFailuresPerAddress, Count, 10, "", 0, 0,                                                  \
    "wrong passwords one address may give, over all names, before its checks wait too")           \
  X(freeFailuresPerNetwork, Count, 30, "", 0, 0,                                                  \
    "wrong passwords one network may give, over all names, before its checks wait too")           \
  X(forgetFailures, Seconds, 900, "", 0, 0, "failed checks left alone this long are forgotten")   \
  X(maxFailureEntries, Count, 100000, "", 0, 0,                                                   \
    "names, addresses and networks whose failed checks are remembered; the least recently used "  \
    "go first")                                                                                   \
  /* Messages kept for accounts that are not signed on */                                         \
  X(offlineMessages, Count, 500, "offline-messages", 0, 100000,                                   \
    "IMs kept for one registered account while it is not signed on; 0 keeps none")                \
  X(offlineBytes, Bytes, kMiB, "offline-message-bytes", kKiB, 1024 * kMiB,                        \
    "bytes of the IMs kept for one account, senders' names included")                             \
  X(offlinePerSender, Count, 100, "offline-messages-per-sender", 1, 100000,                       \
    "IMs one sender may have waiting for one account, so no one sender fills its box")            \
  X(offlineTotal, Bytes, 256 * kMiB, "offline-total-bytes", kMiB, 64 * 1024 * kMiB,               \
    "bytes of the IMs kept for all accounts together; they are held in memory as well as "        \
    "stored")                                                                                     \
  X(offlineBatch, Bytes, 64 * kKiB, "", 0, 0,                                                     \
    "kept IMs handed to a client at once (at most a quarter of max-client-backlog); the next "    \
    "wait until it has taken them, so a full box stays within its output bounds")                 \
  /* The store and the log */                                                                     \
  X(storeBusyWait, Millis, 200, "", 0, 0,                                                         \
    "a write waits this long for another process holding the database; longer would stall "       \
    "the loop")                                                                                   \
  X(logBacklog, Bytes, 256 * kKiB, "", 0, 0,                                                      \
    "log bytes waiting for a stalled standard error; lines past it are counted, not kept")        \
  X(logFlush, Millis, 250, "", 0, 0, "waiting log lines are written this often")                  \
  /* Operating a running server */                                                                \
  X(backupStepPages, Count, 32, "", 0, 0,                                                         \
    "database pages an online backup copies in one step, so the loop serves between steps")       \
  X(maxControlConnections, Count, 4, "", 0, 0, "connections to the control socket at once")       \
  X(maxControlRequest, Bytes, 4 * kKiB, "", 0, 0, "longest request line on the control socket")   \
  X(controlTimeout, Seconds, 10, "", 0, 0,                                                        \
    "a control connection that has not sent its whole request by then is closed")                 \
  X(maxMetricsConnections, Count, 4, "", 0, 0, "connections to the metrics endpoint at once")     \
  X(maxMetricsRequest, Bytes, 8 * kKiB, "", 0, 0, "longest request to the metrics endpoint")      \
  X(metricsTimeout, Seconds, 5, "", 0, 0,                                                         \
    "a metrics connection not answered and gone by then is closed")

enum class LimitUnit { Count, Bytes, Seconds, Millis };

// A limit's type, and its value from a number in its unit.
template <LimitUnit U>
struct LimitValue {
  using Type = std::size_t;
  static constexpr Type From(std::uint64_t n) { return static_cast<Type>(n); }
};
template <>
struct LimitValue<LimitUnit::Seconds> {
  using Type = std::chrono::milliseconds;
  static constexpr Type From(std::uint64_t n) {
    return std::chrono::seconds(static_cast<std::int64_t>(n));
  }
};
template <>
struct LimitValue<LimitUnit::Millis> {
  using Type = std::chrono::milliseconds;
  static constexpr Type From(std::uint64_t n) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(n));
  }
};

struct Limits {
#define REPOSA_LIMIT_FIELD(name, unit, value, ...) \
  LimitValue<LimitUnit::unit>::Type name = LimitValue<LimitUnit::unit>::From(value);
  REPOSA_SERVER_LIMITS(REPOSA_LIMIT_FIELD)
#undef REPOSA_LIMIT_FIELD
};

// One row of the list, for the option parser, --help and the docs.
struct LimitInfo {
  std::string_view name;
  LimitUnit unit;
  std::uint64_t value;      // the default, in its unit
  std::string_view option;  // without "--"; empty: none
  std::uint64_t low;
  std::uint64_t high;
  std::string_view reason;
};

inline constexpr LimitInfo kLimitList[] = {
#define REPOSA_LIMIT_INFO(name, unit, value, option, low, high, reason) \
  {#name, LimitUnit::unit, value, option, low, high, reason},
    REPOSA_SERVER_LIMITS(REPOSA_LIMIT_INFO)
#undef REPOSA_LIMIT_INFO
};

// Each option accepts its own default.
constexpr bool DefaultsWithinTheirRanges() {
  for (const LimitInfo& limit : kLimitList)
    if (!limit.option.empty() && (limit.value < limit.low || limit.value > limit.high))
      return false;
  return true;
}
static_assert(DefaultsWithinTheirRanges());

// Sets the limit called `name` to `value`, in its unit; false when there is
// no such limit.
inline bool SetLimit(Limits& limits, std::string_view name, std::uint64_t value) {
#define REPOSA_LIMIT_SET(field, unit, ...)                   \
  if (name == #field) {                                      \
    limits.field = LimitValue<LimitUnit::unit>::From(value); \
    return true;                                             \
  }
  REPOSA_SERVER_LIMITS(REPOSA_LIMIT_SET)
#undef REPOSA_LIMIT_SET
  return false;
}

}  // namespace reposa::server
