#pragma once

#include <string>
#include <utility>
#include <vector>

#include "service/outbox.h"

namespace reposa::server::test {

// Keeps every message the service sends, per session, in order.
struct RecordingOutbox : Outbox {
  std::vector<std::pair<SessionId, std::string>> sent;
  std::vector<SessionId> ended;
  std::vector<std::pair<SessionId, bool>> verdicts;
  std::vector<SessionId> drains;  // AwaitDrain requests, in order

  void Deliver(SessionId to, std::string_view message) override {
    sent.emplace_back(to, std::string(message));
  }
  void EndSession(SessionId id, std::string_view) override { ended.push_back(id); }
  void SignOnVerdict(SessionId id, bool accepted) override { verdicts.emplace_back(id, accepted); }
  void AwaitDrain(SessionId to) override { drains.push_back(to); }

  // The messages for `to` since the last Take, removed from the record.
  std::vector<std::string> Take(SessionId to) {
    std::vector<std::string> out;
    std::vector<std::pair<SessionId, std::string>> rest;
    for (auto& [id, m] : sent) {
      if (id == to) {
        out.push_back(std::move(m));
      } else {
        rest.emplace_back(id, std::move(m));
      }
    }
    sent = std::move(rest);
    return out;
  }
};

}  // namespace reposa::server::test
