#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kez/KezTOCSockEvents.h"

namespace kez::test {

// Records every event as one line, "Name|arg|arg...", so tests compare whole
// sequences against spelled-out tables. Booleans read "true"/"false"; lists
// read "[a,b]". `onEvent` runs after recording, for hosts that call back.
class RecordingListener : public KezTOCSockEvents {
 public:
  std::vector<std::string> events;
  std::function<void(const std::string& line)> onEvent;
  bool recordPackets = false;  // IncomingPacket is noise for most tests

  void Clear() { events.clear(); }

  void JoinedChat(const std::string& a, int32_t b) override { Add("JoinedChat", a, b); }
  void ChatMessage(int32_t a, const std::string& b, const std::string& c) override {
    Add("ChatMessage", a, b, c);
  }
  void ChatInvite(const std::string& a, int32_t b, const std::string& c,
                  const std::string& d) override {
    Add("ChatInvite", a, b, c, d);
  }
  void LeftChat(int32_t a) override { Add("LeftChat", a); }
  void ChatUserUpdate(const std::string& a, bool b, int32_t c) override {
    Add("ChatUserUpdate", a, b, c);
  }
  void BuddyUpdate(const std::string& a, bool b, int16_t c, int32_t d, int32_t e,
                   const std::string& f) override {
    Add("BuddyUpdate", a, b, c, d, e, f);
  }
  void BuddyCapabilities(const std::string& a, const std::string& b) override {
    Add("BuddyCapabilities", a, b);
  }
  void BuddyBart(const std::string& a, const std::string& b) override { Add("BuddyBart", a, b); }
  void BuddyAdded(const std::string& a, const std::string& b, const std::string& c) override {
    Add("BuddyAdded", a, b, c);
  }
  void GroupAdded(const std::string& a) override { Add("GroupAdded", a); }
  void PrivateBuddyAdded(const std::string& a) override { Add("PrivateBuddyAdded", a); }
  void BuddyBlocked(const std::string& a) override { Add("BuddyBlocked", a); }
  void BuddyRemoved(const std::string& a, const std::string& b) override {
    Add("BuddyRemoved", a, b);
  }
  void GroupRemoved(const std::string& a) override { Add("GroupRemoved", a); }
  void PrivateBuddyRemoved(const std::string& a) override { Add("PrivateBuddyRemoved", a); }
  void BuddyUnblocked(const std::string& a) override { Add("BuddyUnblocked", a); }
  void LoggedIn(const std::string& a, std::vector<std::string> b, std::vector<std::string> c,
                std::vector<std::string> d, std::vector<std::string> e, const std::string& f,
                int16_t g) override {
    Add("LoggedIn", a, List(b), List(c), List(d), List(e), f, g);
  }
  void LoggedOut(const std::string& a) override { Add("LoggedOut", a); }
  void ScreennameFormat(const std::string& a) override { Add("ScreennameFormat", a); }
  void InstantMessage(const std::string& a, const std::string& b, bool c,
                      const std::string& d) override {
    Add("InstantMessage", a, b, c, d);
  }
  void UserProfile(const std::string& a) override { Add("UserProfile", a); }
  void Error(int16_t a, const std::string& b) override { Add("Error", a, b); }
  void Warned(const std::string& a, const std::string& b) override { Add("Warned", a, b); }
  void TypingStatus(const std::string& a, int16_t b) override { Add("TypingStatus", a, b); }
  void WinsockError(const std::string& a) override { Add("WinsockError", a); }
  void RendevousRequest(const std::string& a, const std::string& b, const std::string& c,
                        const std::string& d, const std::string& e, const std::string& f,
                        int32_t g) override {
    Add("RendevousRequest", a, b, c, d, e, f, g);
  }
  void IncomingPacket(const std::string& a) override {
    if (recordPackets) Add("IncomingPacket", a);
  }
  void PasswordChanged() override { Add("PasswordChanged"); }
  void ScreenNameFormatted() override { Add("ScreenNameFormatted"); }
  void ConnectionClosed() override { Add("ConnectionClosed"); }

 private:
  static std::string Text(const std::string& s) { return s; }
  static std::string Text(const char* s) { return s; }
  static std::string Text(bool b) { return b ? "true" : "false"; }
  static std::string Text(int16_t n) { return std::to_string(n); }
  static std::string Text(int32_t n) { return std::to_string(n); }
  static std::string List(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
  }
  template <class... Args>
  void Add(const char* name, const Args&... args) {
    std::string line = name;
    ((line += "|" + Text(args)), ...);
    events.push_back(line);
    if (onEvent) onEvent(line);
  }
};

}  // namespace kez::test
