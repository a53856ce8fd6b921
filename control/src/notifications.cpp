// Presence, instant-message and list notifications. Recognised by the
// dispatch table; they raise their events once their handlers land.

#include "kez/KezTOCSock.h"

namespace kez {

void KezTOCSock::HandleUpdateBuddy2(std::string_view) {}
void KezTOCSock::HandleBuddyCaps2(std::string_view) {}
void KezTOCSock::HandleBart2(std::string_view) {}
void KezTOCSock::HandleImInEnc2(std::string_view) {}
void KezTOCSock::HandleInserted2(std::string_view) {}
void KezTOCSock::HandleUpdated2(std::string_view) {}
void KezTOCSock::HandleDeleted2(std::string_view) {}
void KezTOCSock::HandleGotoUrl(std::string_view) {}
void KezTOCSock::HandleEviled(std::string_view) {}
void KezTOCSock::HandleAdminNickStatus(std::string_view) {}
void KezTOCSock::HandleAdminPasswdStatus(std::string_view) {}
void KezTOCSock::HandleRvousPropose(std::string_view) {}
void KezTOCSock::HandleClientEvent2(std::string_view) {}

}  // namespace kez
