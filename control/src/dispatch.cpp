// Data frames are sorted by message name: the text before the first ":".

#include "kez/KezTOCSock.h"

namespace kez {

// Tested in this order; the first equal name wins.
const std::array<KezTOCSock::DispatchEntry, 22> KezTOCSock::kDispatch = {{
    {"SIGN_ON", &KezTOCSock::HandleSignOn},
    {"NICK", &KezTOCSock::HandleNick},
    {"CONFIG2", &KezTOCSock::HandleConfig2},
    {"ERROR", &KezTOCSock::HandleError},
    {"UPDATE_BUDDY2", &KezTOCSock::HandleUpdateBuddy2},
    {"BUDDY_CAPS2", &KezTOCSock::HandleBuddyCaps2},
    {"BART2", &KezTOCSock::HandleBart2},
    {"CHAT_JOIN", &KezTOCSock::HandleChatJoin},
    {"CHAT_UPDATE_BUDDY", &KezTOCSock::HandleChatUpdateBuddy},
    {"CHAT_IN_ENC", &KezTOCSock::HandleChatInEnc},
    {"CHAT_LEFT", &KezTOCSock::HandleChatLeft},
    {"IM_IN_ENC2", &KezTOCSock::HandleImInEnc2},
    {"INSERTED2", &KezTOCSock::HandleInserted2},
    {"CHAT_INVITE", &KezTOCSock::HandleChatInvite},
    {"UPDATED2", &KezTOCSock::HandleUpdated2},
    {"DELETED2", &KezTOCSock::HandleDeleted2},
    {"GOTO_URL", &KezTOCSock::HandleGotoUrl},
    {"EVILED", &KezTOCSock::HandleEviled},
    {"ADMIN_NICK_STATUS", &KezTOCSock::HandleAdminNickStatus},
    {"ADMIN_PASSWD_STATUS", &KezTOCSock::HandleAdminPasswdStatus},
    {"RVOUS_PROPOSE", &KezTOCSock::HandleRvousPropose},
    {"CLIENT_EVENT2", &KezTOCSock::HandleClientEvent2},
}};

void KezTOCSock::DispatchMessage(std::string_view payload) {
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
