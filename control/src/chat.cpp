// Chat room messages. Recognised by the dispatch table; they raise their
// events once the chat table lands.

#include "kez/KezTOCSock.h"

namespace kez {

void KezTOCSock::HandleChatJoin(std::string_view) {}
void KezTOCSock::HandleChatUpdateBuddy(std::string_view) {}
void KezTOCSock::HandleChatInEnc(std::string_view) {}
void KezTOCSock::HandleChatLeft(std::string_view) {}
void KezTOCSock::HandleChatInvite(std::string_view) {}

}  // namespace kez
