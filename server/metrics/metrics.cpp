#include "metrics/metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <array>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace reposa::server::metrics {

namespace {

struct CounterRow {
  std::string_view family;
  std::string_view label;
};

constexpr CounterRow kCounters[] = {
#define REPOSA_COUNTER_ROW(id, family, label) {#family, label},
    REPOSA_SERVER_COUNTERS(REPOSA_COUNTER_ROW)
#undef REPOSA_COUNTER_ROW
};
constexpr std::size_t kCounterCount = std::size(kCounters);

struct FamilyText {
  std::string_view family;
  std::string_view labelName;  // empty: the family has one counter
  std::string_view help;
};

constexpr FamilyText kFamilies[] = {
    {"drops", "reason", "connections the server ended against the client's will"},
    {"refusals", "reason", "connections, sign-ons and list changes turned away"},
    {"rate_limited", "limit", "actions refused because their rate was spent"},
    {"store_commits", "", "transactions of stored changes committed"},
    {"store_failures", "", "transactions of stored changes that failed"},
};

const FamilyText& FamilyOf(std::string_view family) {
  for (const FamilyText& f : kFamilies)
    if (f.family == family) return f;
  throw std::logic_error("a counter of no known family");
}

// Seconds; each bucket about three times the one before.
const prometheus::Histogram::BucketBoundaries kShortBuckets = {
    0.00001, 0.00003, 0.0001, 0.0003, 0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1};
const prometheus::Histogram::BucketBoundaries kLongBuckets = {0.0003, 0.001, 0.003, 0.01, 0.03,
                                                              0.1,    0.3,   1,     3,    10};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct State {
  prometheus::Registry registry;
  std::array<prometheus::Counter*, kCounterCount> counters{};
  prometheus::Family<prometheus::Counter>* commandFamily = nullptr;
  std::unordered_map<std::string, prometheus::Counter*, StringHash, std::equal_to<>> commands;
  std::array<prometheus::Histogram*, 4> timings{};
  prometheus::Gauge* sessions = nullptr;
  prometheus::Gauge* signingOn = nullptr;
  prometheus::Gauge* signedOn = nullptr;
  prometheus::Gauge* closing = nullptr;
  prometheus::Gauge* queuedBytes = nullptr;
  prometheus::Gauge* uptime = nullptr;
  std::size_t imsQueued = 0;

  State() {
    std::unordered_map<std::string_view, prometheus::Family<prometheus::Counter>*> families;
    for (std::size_t i = 0; i < kCounterCount; ++i) {
      const FamilyText& f = FamilyOf(kCounters[i].family);
      auto& family = families[f.family];
      if (!family)
        family = &prometheus::BuildCounter()
                      .Name("reposa_" + std::string(f.family) + "_total")
                      .Help(std::string(f.help))
                      .Register(registry);
      prometheus::Labels labels;
      if (!f.labelName.empty()) labels.emplace(f.labelName, kCounters[i].label);
      counters[i] = &family->Add(labels);
    }
    commandFamily = &prometheus::BuildCounter()
                         .Name("reposa_commands_total")
                         .Help("client commands handled, by their word")
                         .Register(registry);
    AddTimings();
    AddGauges();
  }

  void AddTimings() {
    const struct {
      Timing timing;
      const char* name;
      const char* help;
      const prometheus::Histogram::BucketBoundaries& buckets;
    } rows[] = {
        {Timing::SignOn, "reposa_sign_on_seconds",
         "from a connection accepted to its sign-on accepted", kLongBuckets},
        {Timing::Im, "reposa_im_seconds",
         "an instant message through the server: read to handed to the kernel", kShortBuckets},
        {Timing::StoreCommit, "reposa_store_commit_seconds",
         "one transaction of a turn's stored changes", kShortBuckets},
        {Timing::LoopTurn, "reposa_loop_turn_seconds", "the loop's work between two waits",
         kShortBuckets},
    };
    for (const auto& r : rows)
      timings[static_cast<std::size_t>(r.timing)] =
          &prometheus::BuildHistogram().Name(r.name).Help(r.help).Register(registry).Add({},
                                                                                         r.buckets);
  }

  prometheus::Gauge& Gauge(const char* name, const char* help, prometheus::Labels labels = {}) {
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry).Add(labels);
  }

  void AddGauges() {
    sessions = &Gauge("reposa_sessions", "sessions signed on");
    auto& connections = prometheus::BuildGauge()
                            .Name("reposa_connections")
                            .Help("client connections, by state")
                            .Register(registry);
    signingOn = &connections.Add({{"state", "signing_on"}});
    signedOn = &connections.Add({{"state", "signed_on"}});
    closing = &connections.Add({{"state", "closing"}});
    queuedBytes = &Gauge("reposa_queued_output_bytes", "output waiting to be sent, all clients");
    uptime = &Gauge("reposa_uptime_seconds", "since the server started");
  }
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace

void Count(Counter counter, std::uint64_t n) {
  TheState().counters[static_cast<std::size_t>(counter)]->Increment(static_cast<double>(n));
}

void Command(std::string_view word) {
  State& s = TheState();
  auto it = s.commands.find(word);
  if (it == s.commands.end())
    it = s.commands.emplace(word, &s.commandFamily->Add({{"command", std::string(word)}})).first;
  it->second->Increment();
}

void Observe(Timing timing, Clock::duration elapsed) {
  TheState().timings[static_cast<std::size_t>(timing)]->Observe(
      std::chrono::duration<double>(elapsed).count());
}

void ImQueued() {
  ++TheState().imsQueued;
}

void ImsSent(Clock::time_point turnStarted) {
  State& s = TheState();
  if (s.imsQueued == 0) return;
  const Clock::duration elapsed = Clock::now() - turnStarted;
  for (; s.imsQueued > 0; --s.imsQueued) Observe(Timing::Im, elapsed);
}

std::string Exposition(const Gauges& g) {
  State& s = TheState();
  s.sessions->Set(static_cast<double>(g.sessions));
  s.signingOn->Set(static_cast<double>(g.signingOn));
  s.signedOn->Set(static_cast<double>(g.signedOn));
  s.closing->Set(static_cast<double>(g.closing));
  s.queuedBytes->Set(static_cast<double>(g.queuedBytes));
  s.uptime->Set(g.uptimeSeconds);
  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, s.registry.Collect());
  return text.str();
}

}  // namespace reposa::server::metrics
