// The chat room commands of the service.

#include "service/service.h"

#include "metrics/metrics.h"
#include "service/command_arguments.h"
#include "service/messages.h"
#include "service/names.h"

namespace reposa::server {

// toc_chat_join <exchange> <room>
void Service::ChatJoin(OnlineUser& me, const Args& args) {
  const auto exchange = Number(args[0], 0, 65535);
  const std::string_view room = TrimSpaces(args[1]);
  if (!exchange || !IsValidRoomName(room, limits_)) return BadInput(me);
  if (!JoinWithinRate(me, room)) return;
  AnswerJoin(me, rooms_.JoinByName(me.session, me.display(), static_cast<int>(*exchange), room),
             room);
}

// Joins belong to the name's rate; past it the join is refused as rated
// (951 with sub-code 48), which the client reports as such.
bool Service::JoinWithinRate(OnlineUser& me, std::string_view room) {
  if (rates_.Take(me.name(), RateBook::kJoins, now_())) return true;
  CountRateHit(RateBook::kJoins);
  Send(me, msg::Error(msg::kChatJoinFailed, std::string(room) + ":48"));
  return false;
}

void Service::AnswerJoin(OnlineUser& me, ChatRooms::Join result, std::string_view room) {
  // 24: the room is full; 48: this session is in too many rooms.
  if (result == ChatRooms::Join::Full)
    Send(me, msg::Error(msg::kChatJoinFailed, std::string(room) + ":24"));
  if (result == ChatRooms::Join::TooMany)
    Send(me, msg::Error(msg::kChatJoinFailed, std::string(room) + ":48"));
}

// toc_chat_leave <chat id>
void Service::ChatLeave(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  if (!id) return BadInput(me);
  rooms_.Leave(me.session, *id);
}

// toc_chat_send <chat id> <message>
void Service::ChatSend(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  if (!id || !rooms_.Send(me.session, *id, args[1])) BadInput(me);
}

// toc_chat_invite <chat id> <message> <name>[,<name>...] [<name>...]
void Service::ChatInvite(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  const ChatRoom* room = id ? rooms_.Find(*id) : nullptr;
  if (!room || !room->Has(me.session)) return BadInput(me);
  std::vector<std::string> invitees;
  for (std::size_t i = 2; i < args.size(); ++i) {
    std::string_view names = args[i];
    while (!names.empty()) {
      const std::size_t comma = names.find(',');
      std::string name = NormalizeName(names.substr(0, comma));
      names.remove_prefix(comma == std::string_view::npos ? names.size() : comma + 1);
      if (name.empty() || std::find(invitees.begin(), invitees.end(), name) != invitees.end())
        continue;
      if (invitees.size() == limits_.maxInvitees) return BadInput(me);
      invitees.push_back(std::move(name));
    }
  }
  if (!WithinRate(me, RateBook::kInvites, static_cast<std::int64_t>(invitees.size()))) return;
  const std::string invite = msg::ChatInvite(room->name, room->id, me.display(), args[1]);
  for (const std::string& name : invitees) {
    if (OnlineUser* other = Reachable(me, name)) {
      other->Invite(room->id, limits_.maxInvitations);
      Send(*other, invite);
    } else {
      Send(me, msg::Error(msg::kNotAvailable, name));
    }
  }
}

// toc_chat_accept <chat id>
void Service::ChatAccept(OnlineUser& me, const Args& args) {
  const auto id = ChatId(args[0]);
  ChatRooms::Join result{};
  // Only a room this session was invited to: a chat ID alone is no key.
  const ChatRoom* room = id && me.invitations.count(*id) ? rooms_.Find(*id) : nullptr;
  if (!room) return BadInput(me);
  if (!JoinWithinRate(me, room->name)) return;
  me.invitations.erase(*id);
  if (!rooms_.JoinById(me.session, me.display(), *id, result)) return BadInput(me);
  AnswerJoin(me, result, rooms_.Find(*id)->name);
}

}  // namespace reposa::server
