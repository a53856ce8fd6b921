// Data frames are sorted by message name: the text before the first ":".

#include "core.h"

namespace kez {

namespace {

struct DispatchEntry {
  std::string_view name;
  SessionCore::Impl::Handler handler;
};

// Tested in this order; the first equal name wins.
const std::array<DispatchEntry, 22> kDispatch = {{
    {"SIGN_ON", &SessionCore::Impl::HandleSignOn},
    {"NICK", &SessionCore::Impl::HandleNick},
    {"CONFIG2", &SessionCore::Impl::HandleConfig2},
    {"ERROR", &SessionCore::Impl::HandleError},
    {"UPDATE_BUDDY2", &SessionCore::Impl::HandleUpdateBuddy2},
    {"BUDDY_CAPS2", &SessionCore::Impl::HandleBuddyCaps2},
    {"BART2", &SessionCore::Impl::HandleBart2},
    {"CHAT_JOIN", &SessionCore::Impl::HandleChatJoin},
    {"CHAT_UPDATE_BUDDY", &SessionCore::Impl::HandleChatUpdateBuddy},
    {"CHAT_IN_ENC", &SessionCore::Impl::HandleChatInEnc},
    {"CHAT_LEFT", &SessionCore::Impl::HandleChatLeft},
    {"IM_IN_ENC2", &SessionCore::Impl::HandleImInEnc2},
    {"INSERTED2", &SessionCore::Impl::HandleInserted2},
    {"CHAT_INVITE", &SessionCore::Impl::HandleChatInvite},
    {"UPDATED2", &SessionCore::Impl::HandleUpdated2},
    {"DELETED2", &SessionCore::Impl::HandleDeleted2},
    {"GOTO_URL", &SessionCore::Impl::HandleGotoUrl},
    {"EVILED", &SessionCore::Impl::HandleEviled},
    {"ADMIN_NICK_STATUS", &SessionCore::Impl::HandleAdminNickStatus},
    {"ADMIN_PASSWD_STATUS", &SessionCore::Impl::HandleAdminPasswdStatus},
    {"RVOUS_PROPOSE", &SessionCore::Impl::HandleRvousPropose},
    {"CLIENT_EVENT2", &SessionCore::Impl::HandleClientEvent2},
}};

}  // namespace

void SessionCore::Impl::DispatchMessage(std::string_view payload) {
  const std::string_view name = payload.substr(0, payload.find(':'));
  for (const DispatchEntry& entry : kDispatch) {
    if (entry.name == name) {
      (this->*entry.handler)(payload);
      return;
    }
  }
  // Unknown names are ignored.
}

}  // namespace kez
