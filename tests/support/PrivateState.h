#pragma once

#include "kez/KezTOCSock.h"

namespace kez {

// Reads the control's private members, for tests only.
struct KezTOCSockInspector {
  static int32_t ServerPort(const KezTOCSock& c) { return c.serverPort_; }
  static const std::string& ScreenName(const KezTOCSock& c) { return c.screenName_; }
  static const std::string& RoastedPassword(const KezTOCSock& c) { return c.roastedPassword_; }
  static const std::string& AuthServerHost(const KezTOCSock& c) { return c.authServerHost_; }
  static const std::string& TOCServerHost(const KezTOCSock& c) { return c.tocServerHost_; }
  static int32_t SequenceNumber(const KezTOCSock& c) { return c.sequenceNumber_; }
  static void SetSequenceNumber(KezTOCSock& c, int32_t n) { c.sequenceNumber_ = n; }
  static const std::array<ChatEntry, kChatTableSize>& ChatTable(const KezTOCSock& c) {
    return c.chatTable_;
  }
  static void SetChatEntry(KezTOCSock& c, std::size_t index, int32_t id, std::string name) {
    c.chatTable_.at(index) = ChatEntry{id, std::move(name)};
  }
  static const std::string& Config2Pending(const KezTOCSock& c) { return c.config2Pending_; }
  // Hands one frame straight to the handler, bypassing the reader.
  static bool ProcessFrame(KezTOCSock& c, std::string_view frame) { return c.ProcessFrame(frame); }
  static std::size_t BufferedBytes(const KezTOCSock& c) { return c.rx_.size() - c.rxPos_; }
};

}  // namespace kez
