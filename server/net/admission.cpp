#include "net/admission.h"

namespace reposa::server {

const char* Admission::Admit(const std::string& address, std::size_t connections) {
  auto found = addresses_.find(address);
  const Count count = found == addresses_.end() ? Count{} : found->second;
  if (connections >= limits_.maxConnections) return "connections in all";
  if (count.all >= limits_.maxPerAddress) return "connections from its address";
  if (signingOn_ >= limits_.maxSigningOn) return "connections signing on";
  if (count.signingOn >= limits_.maxSigningOnPerAddress)
    return "connections signing on from its address";
  Count& counted = addresses_[address];
  ++counted.all;
  ++counted.signingOn;
  ++signingOn_;
  return nullptr;
}

void Admission::SignedOn(const std::string& address) {
  --signingOn_;
  --addresses_[address].signingOn;
}

void Admission::Gone(const std::string& address, bool signingOn) {
  if (signingOn) SignedOn(address);
  if (auto it = addresses_.find(address); it != addresses_.end() && --it->second.all == 0)
    addresses_.erase(it);
}

}  // namespace reposa::server
