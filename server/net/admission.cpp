#include "net/admission.h"

#include "metrics/metrics.h"
#include "service/source_network.h"

namespace reposa::server {

const char* Admission::Admit(const std::string& address, std::size_t connections) {
  const std::string network = NetworkOf(address);
  const Count count = CountOf(addresses_, address);
  const Count inNetwork = CountOf(networks_, network);
  using metrics::Counter;
  if (connections >= limits_.maxConnections)
    return metrics::Count(Counter::refusedConnections), "connections in all";
  if (count.all >= limits_.maxPerAddress)
    return metrics::Count(Counter::refusedFromAddress), "connections from its address";
  if (inNetwork.all >= limits_.maxPerNetwork)
    return metrics::Count(Counter::refusedFromNetwork), "connections from its network";
  if (signingOn_ >= limits_.maxSigningOn)
    return metrics::Count(Counter::refusedSigningOn), "connections signing on";
  if (count.signingOn >= limits_.maxSigningOnPerAddress)
    return metrics::Count(Counter::refusedSigningOnFromAddress),
           "connections signing on from its address";
  if (inNetwork.signingOn >= limits_.maxSigningOnPerNetwork)
    return metrics::Count(Counter::refusedSigningOnFromNetwork),
           "connections signing on from its network";
  for (Count* c : {&addresses_[address], &networks_[network]}) {
    ++c->all;
    ++c->signingOn;
  }
  ++signingOn_;
  return nullptr;
}

Admission::Count Admission::CountOf(const Counts& counts, const std::string& key) {
  auto found = counts.find(key);
  return found == counts.end() ? Count{} : found->second;
}

void Admission::Lower(Counts& counts, const std::string& key, std::size_t Count::*which) {
  auto it = counts.find(key);
  if (it == counts.end() || it->second.*which == 0) return;
  --(it->second.*which);
  if (it->second.all == 0 && it->second.signingOn == 0) counts.erase(it);
}

void Admission::SignedOn(const std::string& address) {
  if (signingOn_ > 0) --signingOn_;
  Lower(addresses_, address, &Count::signingOn);
  Lower(networks_, NetworkOf(address), &Count::signingOn);
}

void Admission::Gone(const std::string& address, bool signingOn) {
  if (signingOn) SignedOn(address);
  Lower(addresses_, address, &Count::all);
  Lower(networks_, NetworkOf(address), &Count::all);
}

}  // namespace reposa::server
